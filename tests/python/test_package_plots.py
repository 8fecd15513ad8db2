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


def texts_of(fig):
    """Every piece of text a reader sees (tick labels, axis labels, offsets), with its box on the canvas."""
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    out = []
    for ax in fig.axes:
        if not (ax.get_visible() and ax.axison):
            continue
        for axis in (ax.xaxis, ax.yaxis):
            pieces = list(axis.get_ticklabels()) + [axis.label, axis.get_offset_text()]
            out += [(ax, t.get_text(), t.get_window_extent(renderer)) for t in pieces if t.get_visible() and t.get_text()]
    return out


def assert_no_collisions(fig, within=None):
    """No two labels of the figure overlap (on different axes, or tick labels of one axis)."""
    texts = texts_of(fig)
    for i, (ax1, t1, b1) in enumerate(texts):
        for ax2, t2, b2 in texts[i + 1:]:
            if within is not None and (ax1 not in within or ax2 not in within):
                continue
            assert not b1.overlaps(b2) or (b1.width == 0 or b2.width == 0), f"{t1!r} runs into {t2!r}"


def test_monte_carlo_plots(fast, tmp_path):
    mc = nuvex.monte_carlo(12, ("Yp", "DoH", "Li7oH"), seed=2, progress=False, **fast)
    fig = mc.plot()
    axes = np.array(fig.axes).reshape(3, 3)
    # small ratios carry their power of ten in the label, never in an offset text beside the axis
    assert [a.get_xlabel() for a in axes[2]] == ["$Y_p$", "D/H [$10^{-5}$]", "$^7$Li/H [$10^{-10}$]"]
    assert [a.get_ylabel() for a in axes[1:, 0]] == ["D/H [$10^{-5}$]", "$^7$Li/H [$10^{-10}$]"]
    assert all(text == "" for ax in fig.axes for text in (ax.xaxis.get_offset_text().get_text(),
                                                         ax.yaxis.get_offset_text().get_text()))
    axis = axes[2, 1].xaxis
    shown = [(loc, float(t.get_text())) for loc, t in zip(axis.get_majorticklocs(), axis.get_ticklabels())]
    assert shown and all(value * 1e-5 == pytest.approx(loc, rel=1e-9) for loc, value in shown)  # values in 1e-5
    assert_no_collisions(fig)
    assert not axes[0, 2].axison
    # the off-diagonal panels show the sample pairs
    x, y = axes[1, 0].get_lines()[0].get_data()
    assert np.array_equal(x, mc.samples["Yp"]) and np.array_equal(y, mc.samples["DoH"])
    save(fig, tmp_path / "corner.png")
    fig = mc.plot(kind="hist", quantities=["DoH"])
    assert [a.get_xlabel() for a in fig.axes] == ["D/H [$10^{-5}$]"] and fig.axes[0].get_ylabel() == "samples"
    save(fig, tmp_path / "hist.png")
    with pytest.raises(ValueError, match="kind must be"):
        mc.plot(kind="violin")
    with pytest.raises(ValueError, match="not sampled"):
        mc.plot(quantities=["He3oH"])


def test_schramm_plot(fast, tmp_path):
    grid = [0.012, 0.02242, 0.035]
    fig = nuvex.plot_schramm(grid, n=6, progress=False, **fast)
    axes = fig.axes[:4]
    labels = [a.get_ylabel() for a in axes]
    assert labels[0] == "$Y_p$" and labels[1] in ("D/H [$10^{-4}$]", "D/H [$10^{-5}$]")
    assert labels[2] == "$^3$He/H [$10^{-5}$]" and labels[3].startswith("$^7$Li/H [$10^{")
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
    # the measurements: D/H and Yp as horizontal 1-sigma bands, the CMB baryon density as a vertical one
    cooke, aver, planck = (nuvex.observations.CATALOGUE["DoH_Cooke2018"], nuvex.observations.CATALOGUE["Yp_Aver2021"],
                           nuvex.observations.CMB_OMEGABH2)
    legend = {ax: [t.get_text() for t in ax.get_legend().get_texts()] if ax.get_legend() else [] for ax in axes}
    assert "Cooke et al. 2018 ($1\\sigma$)" in legend[axes[1]] and "Aver et al. 2021 ($1\\sigma$)" in legend[axes[0]]
    assert "Planck 2018 CMB ($1\\sigma$)" in legend[axes[0]] and legend[axes[3]] == []
    assert band_edges(axes[1], horizontal=True) == pytest.approx([cooke.value - cooke.sigma, cooke.value + cooke.sigma])
    assert band_edges(axes[0], horizontal=True) == pytest.approx([aver.value - aver.sigma, aver.value + aver.sigma])
    for ax in axes:
        assert band_edges(ax, horizontal=False) == pytest.approx([planck.value - planck.sigma,
                                                                   planck.value + planck.sigma])
    assert_no_collisions(fig)
    save(fig, tmp_path / "schramm.png")
    bare = nuvex.plot_schramm(runs=[nuvex.run(**fast)], observations=False, cmb=False)
    assert all(band_edges(ax, True) is None and band_edges(ax, False) is None for ax in bare.axes[:4])
    # parameters beside given runs would be silently ignored: refused
    with pytest.raises(TypeError, match="tau_n apply only when it computes the runs"):
        nuvex.plot_schramm(runs=[nuvex.run(**fast)], tau_n=880.0)


def band_edges(ax, horizontal):
    """(low, high) of the axis-spanning band of an Axes (axhspan or axvspan), or None."""
    from matplotlib.patches import Polygon, Rectangle

    for p in ax.patches:
        if isinstance(p, (Polygon, Rectangle)):
            xy = p.get_xy() if isinstance(p, Polygon) else None
            if xy is None:
                continue
            transform = p.get_transform()
            # a horizontal band spans the axes in x (axes coordinates 0..1), a vertical one in y
            spans_x = np.allclose(sorted(set(np.round(xy[:, 0], 12))), [0, 1])
            spans_y = np.allclose(sorted(set(np.round(xy[:, 1], 12))), [0, 1])
            if horizontal and spans_x and not spans_y:
                return sorted(set(xy[:, 1]))
            if not horizontal and spans_y and not spans_x:
                return sorted(set(xy[:, 0]))
            del transform
    return None


@pytest.mark.parametrize("lo, hi", [(0.004, 0.04), (0.020, 0.024), (0.0221, 0.0223), (1e-4, 1.0), (0.012, 0.035)])
def test_baryon_density_ticks_are_readable_at_any_range(lo, hi):
    # the Omega_b h^2 labels once ran together ("0.0050.0060.0070.008"); now 3 to 7 plain numbers
    runs = [FakeRun(x) for x in np.geomspace(lo, hi, 5)]
    fig = nuvex.plots.schramm(runs, quantities=("Yp", "DoH"), observations=False, cmb=False)
    bottom, top = fig.axes[1], fig.axes[0].child_axes[0]
    for axis in (bottom.xaxis, top.xaxis):
        texts = [t for t in texts_of(fig) if t[1] in {l.get_text() for l in axis.get_ticklabels()}]
        labels = [t.get_text() for t in axis.get_ticklabels() if t.get_visible() and t.get_text()]
        assert 3 <= len(labels) <= 7, labels
        values = [float(v) for v in labels]  # plain numbers, no offset, no exponent text
        assert values == sorted(values)
    xs = [float(t.get_text()) for t in bottom.get_xticklabels() if t.get_text()]
    assert lo * (1 - 1e-9) <= min(xs) and max(xs) <= hi * (1 + 1e-9)
    assert_no_collisions(fig)
    matplotlib.pyplot.close(fig)


class FakeRun:
    """A Result stand-in: what the Schramm plot reads (its Omegabh2 and two quantities)."""

    def __init__(self, ob):
        self.params = {"Omegabh2": ob}
        self._v = {"Yp": 0.24 + ob, "DoH": 2.5e-5 * (0.0224 / ob) ** 1.6}

    def __getitem__(self, name):
        return self._v[name]


def test_schramm_plot_from_given_runs(fast, tmp_path):
    runs = [nuvex.run(**fast, Omegabh2=ob) for ob in (0.03, 0.01, 0.02)]
    fig = nuvex.plot_schramm(runs=runs, quantities=("Yp", "DoH"))
    x, yp = fig.axes[0].get_lines()[0].get_data()
    assert list(x) == [0.01, 0.02, 0.03] and yp[0] < yp[1] < yp[2]
    assert not fig.axes[0].collections  # single runs: no Monte Carlo band
    save(fig, tmp_path / "schramm_runs.png")
    with pytest.raises(ValueError, match="at least one run"):
        nuvex.plot_schramm(runs=[])
    mc = nuvex.monte_carlo(2, ("YPBBN", "DoH"), progress=False, **fast)
    fig = nuvex.plot_schramm(runs=[mc], quantities=("Yp", "DoH"))  # an alias finds the key
    assert fig.axes[0].get_lines()[0].get_ydata()[0] == mc.central["YPBBN"]
    with pytest.raises(ValueError, match=r"did not sample 'He3oH'; it holds \['YPBBN', 'DoH'\]"):
        nuvex.plot_schramm(runs=[mc])



def test_sensitivity_plot_and_table_use_nuclear_notation(fast, tmp_path):
    sens = nuvex.sensitivities(["DoH"], params=("Omegabh2", "DeltaNeff"), jobs=1, **fast)
    fig = sens.plot(top=6)
    ticks = [t.get_text() for t in fig.axes[0].get_yticklabels()]
    assert "d(d,n)$^{3}$He" in ticks and "d(p,$\\gamma$)$^{3}$He" in ticks and r"$\Omega_b h^2$" in ticks
    assert not any("__" in t for t in ticks)  # no solver names such as d_d__He3_n
    assert fig.axes[0].get_xlabel() == "d ln(D/H) / d ln x"
    table = sens.table(top=4)
    assert "d(d,n)3He  (d_d__He3_n)" in table  # the notation, and the key a p_ variation takes
    save(fig, tmp_path / "sensitivities.png")


def test_chain_labels_use_nuclear_notation():
    from nuvex.chain import label

    assert label("p_d_d__He3_n") == "p[d(d,n)$^{3}$He]"
    assert label("Omegabh2") == r"$\Omega_b h^2$" and label("tau_n") == r"$\tau_n$ [s]"
    assert label("DoH") == "D/H"
