# Figures with matplotlib (imported only when a plot is asked for): abundances against temperature,
# Monte Carlo histograms and corner plots, and the Schramm plot of abundances against Omega_b h^2.
from __future__ import annotations

import math
import re
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

import numpy as np

from . import observations as _observations
from ._params import PARAMS
from ._quantities import label, quantity_key
from .conversions import eta10_per_Omegabh2

if TYPE_CHECKING:  # for annotations only: figures take any object with these attributes
    from .result import MCResult, Result

CLASSIC_NUCLIDES = ("n", "p", "H2", "H3", "He3", "He4", "Li6", "Li7", "Be7")
_SPECIAL_NAMES = {"n": "n", "p": "p", "H2": "D", "H3": "T"}


def pyplot() -> Any:
    """matplotlib.pyplot, imported on first use, with a clear error when matplotlib is missing."""
    try:
        import matplotlib.pyplot as plt
    except ImportError as e:  # matplotlib is optional for everything but plots
        raise ImportError("nuvex plots need matplotlib (Debian: python3-matplotlib)") from e
    return plt


def nuclide_label(name: str) -> str:
    """Typeset name of a nuclide: n, p, D, T, then mass number as a superscript (3He, 7Li, ...)."""
    if name in _SPECIAL_NAMES:
        return _SPECIAL_NAMES[name]
    m = re.fullmatch(r"([A-Za-z]+)(\d+)", name)
    return rf"$^{{{m.group(2)}}}${m.group(1)}" if m else name


def mass_number(name: str) -> int:
    """A of a nuclide from its name ("n" and "p" are 1, else the trailing digits)."""
    if name in ("n", "p"):
        return 1
    m = re.search(r"(\d+)$", name)
    if not m:
        raise ValueError(f"no mass number in nuclide name {name!r}")
    return int(m.group(1))


def plot_abundances(result: "Result", ax: Any = None, nuclides: Iterable[str] | None = None,
                    time_axis: bool = True) -> Any:
    """Mass fractions X = A Y of the light nuclides against the photon temperature.

    The temperature decreases to the right (time flows left to right); a second axis on top shows
    the cosmic time in seconds. ``nuclides`` defaults to n, p, D, T, 3He, 4He, 6Li, 7Li and 7Be (those
    of the network). Returns the Axes.
    """
    ev = result.evolution
    if ev is None:
        raise ValueError("this result holds no evolution: run with output_time_evolution=True")
    names = [n for n in (nuclides if nuclides is not None else CLASSIC_NUCLIDES) if n in ev.Y]
    missing = [n for n in (nuclides or ()) if n not in ev.Y]
    if missing:
        raise ValueError(f"nuclides not in this run's network: {missing}")
    plt = pyplot()
    if ax is None:
        _, ax = plt.subplots(figsize=(7, 5), constrained_layout=True)
    T = ev.T_gamma
    lowest = np.inf
    for name in names:
        X = mass_number(name) * ev.Y[name]
        X = np.where(X > 0, X, np.nan)
        ax.plot(T, X, label=nuclide_label(name))
        if np.isfinite(X[-1]):
            lowest = min(lowest, X[-1])
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlim(T.max(), T.min())
    ax.set_ylim(max(lowest / 30, 1e-30) if np.isfinite(lowest) else 1e-20, 2)
    ax.set_xlabel(r"photon temperature $T_\gamma$ [MeV]")
    ax.set_ylabel(r"mass fraction $X = A\,Y$")
    ax.legend(loc="center left", ncol=3, fontsize="small", frameon=False)
    if time_axis:
        _time_axis(ax, T, ev.t)
    return ax


def _loglog(x: Any, xp: np.ndarray, fp: np.ndarray) -> np.ndarray:
    """Power-law interpolation of f(x) through the points (xp ascending), extended beyond the ends
    with the end segments' slopes (t goes as T^-2 in radiation domination, so the extension holds)."""
    lx = np.log(np.clip(np.asarray(x, dtype=float), 1e-300, None))
    lxp, lfp = np.log(xp), np.log(fp)
    out = np.interp(lx, lxp, lfp)
    lo_slope = (lfp[1] - lfp[0]) / (lxp[1] - lxp[0])
    hi_slope = (lfp[-1] - lfp[-2]) / (lxp[-1] - lxp[-2])
    out = np.where(lx < lxp[0], lfp[0] + lo_slope * (lx - lxp[0]), out)
    out = np.where(lx > lxp[-1], lfp[-1] + hi_slope * (lx - lxp[-1]), out)
    return np.exp(out)


def time_of_temperature(T_MeV: Any, T: np.ndarray, t: np.ndarray) -> np.ndarray:
    """Cosmic time (s) at photon temperatures T_MeV, from a sampled history (T, t)."""
    order = np.argsort(T)
    keep = np.concatenate(([True], np.diff(T[order]) > 0))
    return _loglog(T_MeV, T[order][keep], t[order][keep])


def temperature_of_time(t_s: Any, T: np.ndarray, t: np.ndarray) -> np.ndarray:
    """Photon temperature (MeV) at times t_s, from a sampled history (T, t)."""
    order = np.argsort(t)
    keep = np.concatenate(([True], np.diff(t[order]) > 0))
    return _loglog(t_s, t[order][keep], T[order][keep])


def _time_axis(ax: Any, T: np.ndarray, t: np.ndarray) -> None:
    from matplotlib.ticker import LogFormatterSciNotation, LogLocator

    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        top = ax.secondary_xaxis("top", functions=(lambda x: time_of_temperature(x, T, t),
                                                   lambda y: temperature_of_time(y, T, t)))
    top.xaxis.set_major_locator(LogLocator(base=10, numticks=12))
    top.xaxis.set_major_formatter(LogFormatterSciNotation())
    top.set_xlabel("time $t$ [s]")


def _finite(a: np.ndarray) -> np.ndarray:
    return a[np.isfinite(a)]


def log_ticks(lo: float, hi: float) -> list[float]:
    """Tick values a reader can read on a logarithmic axis from lo to hi: 3 to 7 of them.

    The sparsest of the series 1, 2, 5 and 1, 2, ..., 9 times the powers of ten that gives at least
    three ticks (whole decades, thinned, on wide ranges); on an axis narrower than that, evenly
    spaced round values. None lies at the very ends, where labels meet those of the other axis.
    Labels written with %g then never run into each other.
    """
    lo, hi = sorted((float(lo), float(hi)))
    if not (lo > 0 and math.isfinite(hi)):
        return []
    k0, k1 = math.floor(math.log10(lo)), math.ceil(math.log10(hi))
    # no label in the last 3% at either end: it would run into the other axis' labels at the corner
    margin = 0.03 * math.log(hi / lo)
    inside = lambda ts: [t for t in ts if lo * math.exp(margin) <= t <= hi * math.exp(-margin)]  # noqa: E731
    decades = inside([10.0**k for k in range(k0, k1 + 1)])
    if len(decades) > 7:
        step = math.ceil(len(decades) / 6)
        return decades[::step]
    for subs in ((1,), (1, 2, 5), (1, 2, 3, 4, 5, 6, 7, 8, 9)):
        ticks = inside([float(f"{s}e{k}") for k in range(k0, k1 + 1) for s in subs])
        if 3 <= len(ticks) <= 7:
            return ticks
    from matplotlib.ticker import MaxNLocator

    for nbins in (4, 5, 6, 7):
        ticks = inside(list(MaxNLocator(nbins=nbins, steps=[1, 2, 2.5, 5, 10]).tick_values(lo, hi)))
        if len(ticks) >= 3:
            break
    return ticks


def _readable_log_axis(axis: Any, lo: float, hi: float, scaled: bool = False) -> str:
    """Labelled ticks from :func:`log_ticks`, unlabelled minor ticks, plain numbers (%g); with
    ``scaled`` the numbers are in units of a power of ten, returned as " [$10^{e}$]" for the label."""
    from matplotlib.ticker import FixedLocator, FormatStrFormatter, FuncFormatter, NullFormatter

    from matplotlib.ticker import LogFormatterSciNotation

    ticks = log_ticks(lo, hi)
    if ticks:
        axis.set_major_locator(FixedLocator(ticks))
    axis.set_minor_formatter(NullFormatter())
    if scaled and ticks and max(ticks) / min(ticks) > 1e3:  # many decades: 10^k labels read best
        axis.set_major_formatter(LogFormatterSciNotation())
        return ""
    e = math.floor(math.log10(max(ticks))) if scaled and ticks else 0
    if not e:
        axis.set_major_formatter(FormatStrFormatter("%g"))
        return ""
    axis.set_major_formatter(FuncFormatter(lambda x, _pos: f"{x / 10.0**e:.6g}"))
    return f" [$10^{{{e}}}$]"


def inner_locator(nbins: int = 4) -> Any:
    """A MaxNLocator that leaves out ticks in the outer 5% of the axis, whose labels would meet the
    labels of the neighbouring axis or panel."""
    from matplotlib.ticker import MaxNLocator

    class _Inner(MaxNLocator):
        def tick_values(self, vmin: float, vmax: float) -> Any:
            lo, hi = sorted((vmin, vmax))
            pad = 0.05 * (hi - lo)
            ticks = super().tick_values(vmin, vmax)
            return [t for t in ticks if lo + pad <= t <= hi - pad]

    return _Inner(nbins=nbins, steps=[1, 2, 2.5, 5, 10])


def scaled_axis(axis: Any, values: Any, text: str) -> str:
    """Tick labels in units of a power of ten that the axis label names (``D/H [$10^{-5}$]``) instead
    of matplotlib's offset text, which runs into neighbouring panels; returns the label."""
    from matplotlib.ticker import FuncFormatter, ScalarFormatter

    v = np.asarray(values, dtype=float)
    v = v[np.isfinite(v)]
    big = float(np.max(np.abs(v))) if v.size else 0.0
    if big == 0 or 1e-3 <= big < 1e4:
        axis.set_major_formatter(ScalarFormatter(useOffset=False))
        return text
    e = math.floor(math.log10(big))
    axis.set_major_formatter(FuncFormatter(lambda x, _pos: f"{x / 10.0**e:.6g}"))
    return f"{text} [$10^{{{e}}}$]"


def plot_mc(mc: "MCResult", kind: str = "auto", quantities: Iterable[str] | None = None, bins: int = 30,
            fig: Any = None) -> Any:
    """Histograms or a corner plot of Monte Carlo samples, with the central value marked.

    ``kind``: "hist" (one panel per quantity), "corner" (histograms on the diagonal, sample pairs
    below it) or "auto" (hist for one quantity, corner for several). Returns the Figure.
    """
    names = list(quantities) if quantities is not None else list(mc.quantities)
    unknown = [n for n in names if n not in mc.samples]
    if unknown:
        raise ValueError(f"quantities not sampled by this Monte Carlo: {unknown}; it holds {list(mc.quantities)}")
    if kind == "auto":
        kind = "hist" if len(names) == 1 else "corner"
    if kind not in ("hist", "corner"):
        raise ValueError(f"kind must be 'auto', 'hist' or 'corner', not {kind!r}")
    plt = pyplot()
    k = len(names)
    if kind == "hist":
        if fig is None:
            fig = plt.figure(figsize=(4 * k, 3.4), constrained_layout=True)
        axes = fig.subplots(1, k, squeeze=False)[0]
        for ax, name in zip(axes, names):
            _histogram(ax, mc, name, bins)
            ax.set_xlabel(scaled_axis(ax.xaxis, mc.samples[name], label(name)))
            ax.set_ylabel("samples")
        return fig
    if fig is None:
        fig = plt.figure(figsize=(2.6 * k + 0.8, 2.6 * k + 0.8), constrained_layout=True)
    axes = fig.subplots(k, k, squeeze=False)
    for i, yname in enumerate(names):
        for j, xname in enumerate(names):
            ax = axes[i, j]
            if j > i:
                ax.set_axis_off()
                continue
            if i == j:
                _histogram(ax, mc, xname, bins)
                ax.set_yticks([])
            else:
                x, y = mc.samples[xname], mc.samples[yname]
                ok = np.isfinite(x) & np.isfinite(y)
                ax.plot(x[ok], y[ok], ".", ms=2, alpha=0.5, color="C0")
                ax.axvline(mc.central[xname], color="C3", lw=1)
                ax.axhline(mc.central[yname], color="C3", lw=1)
                ax.plot(mc.central[xname], mc.central[yname], "s", color="C3", ms=4)
                ylabel = scaled_axis(ax.yaxis, mc.samples[yname], label(yname))
                ax.set_ylabel(ylabel if j == 0 else "")
                ax.yaxis.set_major_locator(inner_locator())
            xlabel = scaled_axis(ax.xaxis, mc.samples[xname], label(xname))
            ax.set_xlabel(xlabel if i == k - 1 else "")
            ax.xaxis.set_major_locator(inner_locator())
            if i == k - 1:
                ax.tick_params(axis="x", labelrotation=45)
            if i < k - 1:
                ax.tick_params(labelbottom=False)
            if 0 < j and i != j:
                ax.tick_params(labelleft=False)
    return fig


def _histogram(ax: Any, mc: "MCResult", name: str, bins: int) -> None:
    ax.hist(_finite(mc.samples[name]), bins=bins, color="C0", alpha=0.7)
    ax.axvline(mc.central[name], color="C3", lw=1.5, label="central")


def _omegabh2_of(run: Any) -> float:
    return float(run.params.get("Omegabh2", PARAMS["Omegabh2"].default))


def schramm(runs: Sequence[Any], quantities: Sequence[str] = ("Yp", "DoH", "He3oH", "Li7oH"), level: float = 0.95,
            fig: Any = None, observations: Any = True, cmb: Any = True) -> Any:
    """The Schramm plot of computed ``runs`` (:class:`~nuvex.MCResult` or :class:`~nuvex.Result`, one
    per Omega_b h^2, read from their parameters); see :func:`nuvex.plot_schramm`. Returns the Figure."""
    if not runs:
        raise ValueError("plot_schramm needs at least one run")
    if not 0 < level < 1:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level}")
    runs = sorted(runs, key=_omegabh2_of)
    x = np.array([_omegabh2_of(r) for r in runs])
    measured = _measured(observations)
    cmb_band = _observations.CMB_OMEGABH2 if cmb is True else cmb or None
    plt = pyplot()
    if fig is None:
        fig = plt.figure(figsize=(6.5, 2.3 * len(quantities) + 0.8), layout="constrained")
        # room between the panels: the lowest label of one panel and the highest of the next stay apart
        fig.get_layout_engine().set(h_pad=0.15)
    axes = fig.subplots(len(quantities), 1, sharex=True, squeeze=False)[:, 0]
    lo_q, hi_q = 50 * (1 - level), 50 * (1 + level)
    for ax, name in zip(axes, quantities):
        central = np.array([_central(r, name) for r in runs])
        ax.plot(x, central, color="C0", lw=1.5, label="NUVEX, central value")
        if all(hasattr(r, "samples") for r in runs):
            band = np.array([np.nanpercentile(_samples(r, name), [lo_q, hi_q]) for r in runs])
            ax.fill_between(x, band[:, 0], band[:, 1], color="C0", alpha=0.3, lw=0,
                            label=f"NUVEX, {100 * level:g}% of the samples")
        for obs in measured:
            if obs.key == quantity_key(name):
                ax.axhspan(obs.value - obs.sigma, obs.value + obs.sigma, color="C2", alpha=0.35, lw=0,
                           label=f"{obs.citation} ($1\\sigma$)")
                ax.axhline(obs.value, color="C2", lw=0.8)
        if cmb_band is not None:
            ax.axvspan(cmb_band.value - cmb_band.sigma, cmb_band.value + cmb_band.sigma, color="0.5", alpha=0.3,
                       lw=0, label=f"{cmb_band.citation} ($1\\sigma$)" if ax is axes[0] else None)
        ylabel = label(name)
        if quantity_key(name) not in ("YPBBN", "YPCMB"):
            ax.set_yscale("log")
            ax.autoscale_view()
            ylabel += _readable_log_axis(ax.yaxis, *ax.get_ylim(), scaled=True)
        else:
            from matplotlib.ticker import ScalarFormatter

            ax.yaxis.set_major_locator(inner_locator(5))
            ax.yaxis.set_major_formatter(ScalarFormatter(useOffset=False))
        ax.set_ylabel(ylabel)
        ax.grid(True, which="both", alpha=0.2)
        # the model's entries once, at the top; each panel names the measurement it shows
        handles, texts = ax.get_legend_handles_labels()
        keep = [(h, t) for h, t in zip(handles, texts) if ax is axes[0] or t.endswith("($1\\sigma$)")]
        if keep:
            ax.legend(*zip(*keep), fontsize="x-small", loc="best", frameon=False)
    axes[-1].set_xscale("log")
    if len(x) > 1:
        axes[-1].set_xlim(x[0], x[-1])
    axes[-1].set_xlabel(r"baryon density $\Omega_b h^2$")
    lo, hi = axes[-1].get_xlim()
    _readable_log_axis(axes[-1].xaxis, lo, hi)
    k = eta10_per_Omegabh2(float(runs[0].params.get("GN", 6.6743e-11)))
    top = axes[0].secondary_xaxis("top", functions=(lambda ob: ob * k, lambda e: e / k))
    _readable_log_axis(top.xaxis, lo * k, hi * k)
    top.set_xlabel(r"$\eta_{10} = 10^{10}\, n_b / n_\gamma$")
    return fig


def _measured(observations: Any) -> list[Any]:
    """The observations whose bands a Schramm plot draws: True for the catalogue's defaults, False or
    None for none, else anything :func:`nuvex.observations.normalize` accepts."""
    if observations is True:
        return [_observations.CATALOGUE[n] for n in _observations.DEFAULT]
    if not observations:
        return []
    return list(_observations.normalize(observations))


def _mc_name(run: Any, name: str) -> str:
    """The name under which a Monte Carlo holds a quantity given by key or alias."""
    for held in run.quantities:
        if quantity_key(held) == quantity_key(name):
            return held
    raise ValueError(f"the Monte Carlo at Omegabh2={_omegabh2_of(run):g} did not sample {name!r}; "
                     f"it holds {list(run.quantities)}")


def _central(run: Any, name: str) -> float:
    if hasattr(run, "central"):
        return run.central[_mc_name(run, name)]
    try:
        return run[name]
    except KeyError:
        raise ValueError(f"the run at Omegabh2={_omegabh2_of(run):g} has no {name!r}") from None


def _samples(run: Any, name: str) -> np.ndarray:
    return run.samples[_mc_name(run, name)]


def plot_relic(masses_MeV: Any, values: dict[str, Any], standard: dict[str, float], excluded: Any,
               excluded_below_MeV: float, relic: dict[str, Any], axes: Any = None) -> Any:
    """Neff, Yp and D/H of a thermal relic against its mass (log axis), one panel each, with the
    standard model dashed and the masses excluded at 95% shaded. Returns the Figure."""
    plt = pyplot()
    names = ("Neff", "Yp", "DoH")
    if axes is None:
        fig, axes = plt.subplots(len(names), 1, sharex=True, figsize=(6.0, 7.5))
    else:
        fig = axes[0].figure
    m = np.asarray(masses_MeV, dtype=float)
    for ax, name in zip(axes, names):
        ax.plot(m, np.asarray(values[name], dtype=float), "-", color="C0")
        ax.axhline(standard[name], color="0.4", ls="--", lw=1, label="no relic")
        if np.isfinite(excluded_below_MeV):
            ax.axvspan(m.min(), excluded_below_MeV, color="C3", alpha=0.12, lw=0)
        ax.set_ylabel(label(name))
        ax.set_xscale("log")
    axes[0].legend(loc="best", fontsize="small")
    axes[-1].set_xlabel("relic mass [MeV]")
    axes[0].set_title(f"{relic['spin']}, g = {relic['g']:g}, coupled to {relic['couples_to']}")
    fig.tight_layout()
    return fig
