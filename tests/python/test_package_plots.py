# Every figure of the package renders to a non-empty PNG with its axes labelled by quantity and
# unit, the time axis of the abundance plot agrees with the run's t(T), and the eta_10 axis of the
# Schramm plot with the conversion.
import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
import pytest  # noqa: E402

import nuvex  # noqa: E402
from nuvex.plots import temperature_of_time, time_of_temperature  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def fast(cache_dir):
    return {"cache_dir": cache_dir, "thermal_corrections": False, "show_progress": False}


def save(fig, path):
    """Render to PNG; the image must hold clearly more than an empty figure of the same size."""
    fig.savefig(path, dpi=60)
    data = path.read_bytes()
    empty = matplotlib.pyplot.figure(figsize=fig.get_size_inches())
    empty.savefig(path.with_suffix(".empty.png"), dpi=60)
    assert data.startswith(PNG_SIGNATURE) and len(data) > 2 * path.with_suffix(".empty.png").stat().st_size
    matplotlib.pyplot.close(fig)
    matplotlib.pyplot.close(empty)


def test_abundance_plot(fast, tmp_path):
    r = nuvex.run(**fast, output_time_evolution=True, output_n_points=80)
    ax = r.plot()
    assert ax.get_xlabel() == r"photon temperature $T_\gamma$ [MeV]"
    assert ax.get_ylabel() == r"mass fraction $X = A\,Y$"
    top = ax.child_axes[0]
    assert top.get_xlabel() == "time $t$ [s]"
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert labels == ["n", "p", "D", "T", "$^{3}$He", "$^{4}$He", "$^{7}$Li", "$^{7}$Be"]
    # the helium curve ends at 4 Y(He4)
    he4 = ax.get_lines()[5].get_ydata()
    assert he4[-1] == pytest.approx(r.Yp, rel=1e-12)
    save(ax.figure, tmp_path / "abundances.png")


def test_time_axis_follows_the_run(fast):
    ev = nuvex.run(**fast, output_time_evolution=True, output_n_points=80).evolution
    T, t = ev.T_gamma, ev.t
    assert np.allclose(time_of_temperature(T, T, t), t, rtol=1e-12)
    mid = np.sqrt(T[10] * T[11])
    assert T[11] < temperature_of_time(time_of_temperature(mid, T, t), T, t) * (1 + 1e-12)
    assert temperature_of_time(time_of_temperature(mid, T, t), T, t) == pytest.approx(mid, rel=1e-12)
    # beyond the sampled range the extension keeps radiation-era scaling t ~ T^-2
    hot = time_of_temperature(4 * T[0], T, t)
    assert hot == pytest.approx(t[0] / 16, rel=0.02)


def test_abundance_plot_needs_the_evolution(fast):
    with pytest.raises(ValueError, match="output_time_evolution=True"):
        nuvex.run(**fast).plot()
    r = nuvex.run(**fast, output_time_evolution=True, output_n_points=10)
    with pytest.raises(ValueError, match=r"not in this run's network: \['Li6'\]"):
        r.plot(nuclides=["He4", "Li6"])


def test_monte_carlo_plots(fast, tmp_path):
    mc = nuvex.monte_carlo(12, ("Yp", "DoH", "Li7oH"), seed=2, progress=False, **fast)
    fig = mc.plot()
    axes = np.array(fig.axes).reshape(3, 3)
    assert [a.get_xlabel() for a in axes[2]] == ["$Y_p$", "D/H", "$^7$Li/H"]
    assert [a.get_ylabel() for a in axes[1:, 0]] == ["D/H", "$^7$Li/H"]
    assert not axes[0, 2].axison
    # the off-diagonal panels show the sample pairs
    x, y = axes[1, 0].get_lines()[0].get_data()
    assert np.array_equal(x, mc.samples["Yp"]) and np.array_equal(y, mc.samples["DoH"])
    save(fig, tmp_path / "corner.png")
    fig = mc.plot(kind="hist", quantities=["DoH"])
    assert [a.get_xlabel() for a in fig.axes] == ["D/H"] and fig.axes[0].get_ylabel() == "samples"
    save(fig, tmp_path / "hist.png")
    with pytest.raises(ValueError, match="kind must be"):
        mc.plot(kind="violin")
    with pytest.raises(ValueError, match="not sampled"):
        mc.plot(quantities=["He3oH"])


def test_schramm_plot(fast, tmp_path):
    grid = [0.012, 0.02242, 0.035]
    fig = nuvex.plot_schramm(grid, n=6, progress=False, **fast)
    axes = fig.axes[:4]
    assert [a.get_ylabel() for a in axes] == ["$Y_p$", "D/H", "$^3$He/H", "$^7$Li/H"]
    assert axes[-1].get_xlabel() == r"baryon density $\Omega_b h^2$"
    eta_axis = axes[0].child_axes[0]
    assert eta_axis.get_xlabel() == r"$\eta_{10} = 10^{10}\, n_b / n_\gamma$"
    # central lines through the unperturbed runs, D/H falling with the baryon density
    x, dh = axes[1].get_lines()[0].get_data()
    assert list(x) == grid
    assert dh[1] == nuvex.run(**fast).DoH and dh[0] > dh[1] > dh[2]
    # the band holds the Monte Carlo spread around the line
    band = axes[1].collections[0].get_paths()[0].vertices[:, 1]
    assert band.min() < dh.min() and band.max() > dh.max()
    save(fig, tmp_path / "schramm.png")


def test_schramm_plot_from_given_runs(fast, tmp_path):
    runs = [nuvex.run(**fast, Omegabh2=ob) for ob in (0.03, 0.01, 0.02)]
    fig = nuvex.plot_schramm(runs=runs, quantities=("Yp", "DoH"))
    x, yp = fig.axes[0].get_lines()[0].get_data()
    assert list(x) == [0.01, 0.02, 0.03] and yp[0] < yp[1] < yp[2]
    assert not fig.axes[0].collections  # single runs: no band
    save(fig, tmp_path / "schramm_runs.png")
    with pytest.raises(ValueError, match="at least one run"):
        nuvex.plot_schramm(runs=[])
    mc = nuvex.monte_carlo(2, ("YPBBN", "DoH"), progress=False, **fast)
    fig = nuvex.plot_schramm(runs=[mc], quantities=("Yp", "DoH"))  # an alias finds the key
    assert fig.axes[0].get_lines()[0].get_ydata()[0] == mc.central["YPBBN"]
    with pytest.raises(ValueError, match=r"did not sample 'He3oH'; it holds \['YPBBN', 'DoH'\]"):
        nuvex.plot_schramm(runs=[mc])

