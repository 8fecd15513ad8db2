# Logarithmic sensitivities against published BBN sensitivity tables (Cyburt, Fields, Olive & Yeh 2016,
# Rev. Mod. Phys. 88 015004; Fields et al. 2020, JCAP 03 010), their step-size independence and plot.
import math

import numpy as np
import pytest

nuvex = pytest.importorskip("nuvex")



@pytest.fixture(scope="module")
def fast(cache_dir):
    # the session's cache directory: the cold tables are built once for all suites
    return dict(show_progress=False, cache_dir=cache_dir)
RATES = ("n_p__d_g", "d_p__He3_g", "d_d__He3_n", "d_d__t_p")


@pytest.fixture(scope="module")
def sens(fast):
    return nuvex.sensitivities(["Yp", "DoH"], reactions=RATES, jobs=1, **fast)


def test_deuterium_and_helium_sensitivities_agree_with_published_tables(sens):
    # published d ln Q / d ln x at the Planck baryon density, quoted to two digits; our rates and
    # corrections differ slightly from theirs, hence tolerances of a few hundredths
    published_DoH = {"Omegabh2": -1.60, "d_d__He3_n": -0.54, "d_d__t_p": -0.46, "d_p__He3_g": -0.32,
                     "n_p__d_g": -0.20, "tau_n": 0.41, "DeltaNeff": 0.41}
    for var, value in published_DoH.items():
        assert sens["DoH", var] == pytest.approx(value, abs=0.05), var
    published_Yp = {"tau_n": 0.73, "DeltaNeff": 0.163, "Omegabh2": 0.039}
    for var, value in published_Yp.items():
        assert sens["Yp", var] == pytest.approx(value, abs=0.01), var
    # helium barely depends on the deuterium-burning rates
    assert all(abs(sens["Yp", r]) < 0.01 for r in RATES)


def test_a_rate_entry_is_the_log_slope_of_direct_runs(sens, fast):
    # d ln(D/H) / d ln k from two direct runs with the d(d,n)3He rate scaled by 0.95 and 1.05
    lo = nuvex.run(delta_d_d__He3_n=-0.05, **fast).DoH
    hi = nuvex.run(delta_d_d__He3_n=0.05, **fast).DoH
    assert sens["DoH", "d_d__He3_n"] == pytest.approx(math.log(hi / lo) / math.log(1.05 / 0.95), abs=2e-3)


def test_two_step_sizes_agree(sens, fast):
    coarse = nuvex.sensitivities(["Yp", "DoH"], reactions=RATES, step=0.03, jobs=2, **fast)
    assert coarse.variables == sens.variables
    assert np.nanmax(np.abs(coarse.matrix - sens.matrix)) < 2e-3


def test_table_is_sorted_by_magnitude_and_the_plot_renders(sens, scratch):
    order = [abs(v) for _, v in sens.sorted("DoH")]
    assert order == sorted(order, reverse=True)
    text = sens.table()
    assert text.index("Omegabh2") < text.index("n_p__d_g")
    assert "N_eff = 3.044 + DeltaNeff" in text
    import matplotlib

    matplotlib.use("Agg")
    fig = sens.plot(top=5)
    assert [ax.get_xlabel() for ax in fig.axes] == ["d ln($Y_p$) / d ln x", "d ln(D/H) / d ln x"]
    png = scratch / "sens.png"
    fig.savefig(png)
    assert png.stat().st_size > 5000


def test_bad_requests_are_refused(fast):
    with pytest.raises(ValueError, match="Li6_p__Be7_g.*not in this run's network"):
        nuvex.sensitivities(["DoH"], reactions=["Li6_p__Be7_g"], params=(), jobs=1, **fast)
    with pytest.raises(ValueError, match="only numeric"):
        nuvex.sensitivities(["DoH"], reactions=(), params=("network",), jobs=1, **fast)
    with pytest.raises(ValueError, match="p_d_d__t_p is set"):
        nuvex.sensitivities(["DoH"], reactions=["d_d__t_p"], params=(), jobs=1, p_d_d__t_p=1.0, **fast)
    with pytest.raises(ValueError, match="step"):
        nuvex.sensitivities(["DoH"], step=0.7, **fast)


def test_derivative_is_local_not_the_one_unit_difference(sens, fast):
    # dYp/dDeltaNeff from the logarithmic entry equals the slope of two close runs (DeltaNeff = -+0.05)
    # and is larger than the difference over a whole unit of N_eff (Yp grows more slowly than
    # linearly): 0.0134 against 0.0125 at the defaults.
    d = sens.derivative("Yp", "DeltaNeff")
    lo, hi = (nuvex.run(DeltaNeff=x, **fast).Yp for x in (-0.05, 0.05))
    assert d == pytest.approx((hi - lo) / 0.1, rel=2e-3)
    one_unit = nuvex.run(DeltaNeff=1.0, **fast).Yp - sens.central["Yp"]
    assert d == pytest.approx(0.0134, abs=3e-4)
    assert one_unit == pytest.approx(0.0125, abs=3e-4) and one_unit < d - 5e-4
    # a parameter's entry: dYp/dtau_n per second
    assert sens.derivative("Yp", "tau_n") == pytest.approx(sens.central["Yp"] * sens["Yp", "tau_n"] / 878.4)
    assert "dYp/dDeltaNeff = +0.013" in sens.table()
    with pytest.raises(KeyError):
        sens.derivative("Yp", "no_such_variable")
