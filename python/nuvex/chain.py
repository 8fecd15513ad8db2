# Posterior samples and grids: the MCMC chain with its summaries and convergence diagnostics, the
# gridded posterior with marginals and credible intervals, and their corner and contour plots.
from __future__ import annotations

import math
import os
from typing import Any, Mapping, Sequence

import numpy as np

from ._output import atomic_open
from ._quantities import label as _quantity_label
from .plots import pyplot

_LABELS = {"Omegabh2": r"$\Omega_b h^2$", "DeltaNeff": r"$\Delta N_{\rm eff}$", "tau_n": r"$\tau_n$ [s]"}


def label(name: str) -> str:
    if name in _LABELS:
        return _LABELS[name]
    if name.startswith("p_"):
        return "$p$ " + name[2:].replace("_", " ")
    return _quantity_label(name)


def _equal_tailed(x: np.ndarray, level: float) -> tuple[float, float]:
    if not 0 < level < 1:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level}")
    lo, hi = np.percentile(x, [50 * (1 - level), 50 * (1 + level)])
    return float(lo), float(hi)


class Chain:
    """Samples of an ensemble MCMC (:func:`nuvex.sample`).

    ``chain`` has the shape (steps, walkers, parameters), ``log_prob`` (steps, walkers); ``predicted``
    maps each observed quantity to its predicted value at every sample (same shape as ``log_prob``).
    Summaries use the steps after the first ``burn`` (settable), all walkers pooled:
    ``samples(name)``, ``mean(name)``, ``std(name)``, ``interval(name, level)``, ``correlation``;
    diagnostics ``autocorr_time`` (integrated autocorrelation time per parameter, in steps) and
    ``acceptance`` (mean acceptance fraction; 0.2-0.5 is healthy). ``save(path)`` / ``Chain.load(path)``
    keep a chain in a numpy ``.npz`` file.
    """

    def __init__(self, names: Sequence[str], chain: np.ndarray, log_prob: np.ndarray, acceptance: np.ndarray, *,
                 predicted: Mapping[str, np.ndarray] | None = None, burn: int = 0, seed: int = 0,
                 priors: Mapping[str, str] | None = None) -> None:
        self.names = tuple(names)
        self.chain = np.asarray(chain, dtype=float)
        self.log_prob = np.asarray(log_prob, dtype=float)
        self.acceptance_fraction = np.asarray(acceptance, dtype=float)
        self.predicted = dict(predicted or {})
        self.seed = seed
        self.priors = dict(priors or {})
        self.burn = burn
        # what nuvex.sample found suspicious in this posterior (see nuvex.inference.PosteriorWarning)
        self.warnings: list[str] = []

    @property
    def burn(self) -> int:
        return self._burn

    @burn.setter
    def burn(self, value: int) -> None:
        steps = self.chain.shape[0]
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not 0 <= value < steps:
            raise ValueError(f"burn must be an int in [0, {steps - 1}] (the chain has {steps} steps), got {value!r}")
        self._burn = int(value)

    @property
    def steps(self) -> int:
        return self.chain.shape[0]

    @property
    def walkers(self) -> int:
        return self.chain.shape[1]

    def _column(self, name: str) -> np.ndarray:
        if name in self.names:
            return self.chain[..., self.names.index(name)]
        if name in self.predicted:
            return self.predicted[name]
        known = list(self.names) + list(self.predicted)
        raise KeyError(f"{name!r} is not in this chain (it has {', '.join(known)})")

    def samples(self, name: str | None = None) -> np.ndarray:
        """Samples after the burn-in, walkers pooled: of one parameter or predicted quantity, or all
        parameters as an array (samples, parameters) when ``name`` is None."""
        if name is None:
            return self.chain[self.burn:].reshape(-1, len(self.names))
        return self._column(name)[self.burn:].reshape(-1)

    def mean(self, name: str) -> float:
        return float(np.mean(self.samples(name)))

    def std(self, name: str) -> float:
        return float(np.std(self.samples(name), ddof=1))

    def median(self, name: str) -> float:
        return float(np.median(self.samples(name)))

    def interval(self, name: str, level: float = 0.6827) -> tuple[float, float]:
        """The equal-tailed credible interval holding ``level`` of the posterior."""
        return _equal_tailed(self.samples(name), level)

    @property
    def covariance(self) -> np.ndarray:
        return np.atleast_2d(np.cov(self.samples().T, ddof=1))

    @property
    def correlation(self) -> np.ndarray:
        """Pearson correlations between the parameters, in ``names`` order."""
        cov = self.covariance
        d = np.sqrt(np.diag(cov))
        with np.errstate(invalid="ignore", divide="ignore"):
            return cov / np.outer(d, d)

    @property
    def autocorr_time(self) -> dict[str, float]:
        """Integrated autocorrelation time (steps) of each parameter after the burn-in; a chain much
        longer than 50 times these is converged for the summaries."""
        from emcee.autocorr import auto_window, function_1d

        x = self.chain[self.burn:]
        out = {}
        for d, name in enumerate(self.names):
            # walker-averaged autocorrelation, summed up to Sokal's self-consistent window (c = 5)
            moving = [w for w in range(x.shape[1]) if np.ptp(x[:, w, d]) > 0]
            if len(x) < 2 or not moving:  # no walker moved: no estimate
                out[name] = math.nan
                continue
            f = np.mean([function_1d(x[:, w, d]) for w in moving], axis=0)
            taus = 2.0 * np.cumsum(f) - 1.0
            out[name] = float(taus[auto_window(taus, 5.0)])
        return out

    @property
    def acceptance(self) -> float:
        return float(np.mean(self.acceptance_fraction))

    def summary(self) -> str:
        rows = [("parameter", "mean", "std", "16%", "84%", "2.5%", "97.5%", "tau")]
        tau = self.autocorr_time
        for n in list(self.names) + list(self.predicted):
            lo, hi = self.interval(n)
            lo2, hi2 = self.interval(n, 0.95)
            t = f"{tau[n]:.1f}" if n in tau else ""
            rows.append((n, *(f"{v:.5g}" for v in (self.mean(n), self.std(n), lo, hi, lo2, hi2)), t))
        widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
        body = ["  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
                for r in rows]
        head = (f"nuvex.Chain ({self.walkers} walkers x {self.steps} steps, burn-in {self.burn}, seed {self.seed}, "
                f"acceptance {self.acceptance:.2f})")
        return "\n".join([head] + body + [f"  warning: {w}" for w in self.warnings])

    __repr__ = summary

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the chain to a numpy ``.npz`` file, complete or not at all (written aside, then renamed)."""
        arrays = {f"predicted:{k}": v for k, v in self.predicted.items()}
        with atomic_open(path, "wb") as f:
            np.savez(f, names=np.array(self.names), chain=self.chain, log_prob=self.log_prob,
                     acceptance=self.acceptance_fraction, burn=self.burn, seed=self.seed,
                     priors=np.array([self.priors.get(n, "") for n in self.names]),
                     warnings=np.array(self.warnings, dtype=str), **arrays)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> "Chain":
        """A chain written by :meth:`save`; ValueError naming the file when it is not one."""
        try:
            with np.load(os.fspath(path), allow_pickle=False) as f:
                names = [str(n) for n in f["names"]]
                predicted = {k.split(":", 1)[1]: f[k] for k in f.files if k.startswith("predicted:")}
                chain = cls(names, f["chain"], f["log_prob"], f["acceptance"], predicted=predicted,
                            burn=int(f["burn"]), seed=int(f["seed"]),
                            priors=dict(zip(names, (str(p) for p in f["priors"]))))
                if "warnings" in f.files:
                    chain.warnings = [str(w) for w in f["warnings"]]
        except (KeyError, ValueError, OSError, EOFError) as e:
            raise ValueError(f"{os.fspath(path)}: not a chain written by nuvex.Chain.save ({e})") from None
        if chain.chain.ndim != 3 or chain.chain.shape[2] != len(names) or chain.log_prob.shape != chain.chain.shape[:2]:
            raise ValueError(f"{os.fspath(path)}: inconsistent chain shapes")
        return chain

    def to_dict(self) -> dict[str, Any]:
        return {"names": list(self.names), "chain": self.chain.tolist(), "log_prob": self.log_prob.tolist(),
                "burn": self.burn, "seed": self.seed}

    def plot(self, names: Sequence[str] | None = None, bins: int = 30, truths: Mapping[str, float] | None = None,
             fig: Any = None) -> Any:
        """Corner plot: marginal histograms on the diagonal, 68% and 95% contours of pairs below it."""
        names = list(names) if names is not None else list(self.names)
        data = {n: self.samples(n) for n in names}
        return corner(data, bins=bins, truths=truths, fig=fig)


def _hpd_levels(density: np.ndarray, levels: Sequence[float] = (0.6827, 0.9545)) -> list[float]:
    """Density thresholds enclosing the given posterior masses (highest-density regions)."""
    flat = np.sort(density.ravel())[::-1]
    cum = np.cumsum(flat)
    cum /= cum[-1]
    out = sorted({float(flat[min(np.searchsorted(cum, lv), flat.size - 1)]) for lv in levels})
    return out


def corner(data: Mapping[str, np.ndarray], bins: int = 30, truths: Mapping[str, float] | None = None,
           fig: Any = None) -> Any:
    plt = pyplot()
    names = list(data)
    k = len(names)
    if fig is None:
        fig = plt.figure(figsize=(2.4 * k + 1.0, 2.4 * k + 1.0), constrained_layout=True)
    axes = fig.subplots(k, k, squeeze=False)
    for i, yi in enumerate(names):
        for j, xj in enumerate(names):
            ax = axes[i, j]
            if j > i:
                ax.set_visible(False)
                continue
            if i == j:
                ax.hist(data[xj], bins=bins, histtype="step", color="C0", density=True)
                ax.set_yticks([])
            else:
                h, xe, ye = np.histogram2d(data[xj], data[yi], bins=bins)
                lv = _hpd_levels(h)
                xc, yc = 0.5 * (xe[1:] + xe[:-1]), 0.5 * (ye[1:] + ye[:-1])
                ax.contourf(xc, yc, h.T, levels=lv + [h.max() + 1], colors=["#9ecae1", "#3182bd"])
            if truths and xj in truths:
                ax.axvline(truths[xj], color="C3", lw=0.8)
                if i != j and yi in truths:
                    ax.axhline(truths[yi], color="C3", lw=0.8)
            if i == k - 1:
                ax.set_xlabel(label(xj))
            else:
                ax.set_xticklabels([])
            if j == 0 and i > 0:
                ax.set_ylabel(label(yi))
            elif j != i:
                ax.set_yticklabels([])
    return fig


def _trapezoid(y: np.ndarray, x: np.ndarray, axis: int = -1) -> np.ndarray:
    fn = getattr(np, "trapezoid", None) or np.trapz
    return fn(y, x, axis=axis)


class GridPosterior:
    """A posterior evaluated on a grid (:func:`nuvex.grid_posterior`).

    ``axes`` maps each parameter to its grid values; ``log_posterior`` the unnormalised log-posterior
    on the grid (indexing "ij": axis k is parameter k); ``theory`` the predicted quantities there.
    ``marginal(name)`` integrates the other axis out (trapezoidal rule); ``mean``, ``std`` and
    ``interval`` are moments and quantiles of the marginal, linear between grid points; ``best``
    is the grid point of largest posterior.
    """

    def __init__(self, axes: Mapping[str, np.ndarray], log_posterior: np.ndarray, theory: Mapping[str, np.ndarray],
                 likelihood: Any) -> None:
        self.axes = {k: np.asarray(v, dtype=float) for k, v in axes.items()}
        self.names = tuple(self.axes)
        self.log_posterior = np.asarray(log_posterior, dtype=float)
        self.theory = dict(theory)
        self.likelihood = likelihood
        # what nuvex.grid_posterior found suspicious in this posterior (nuvex.inference.PosteriorWarning)
        self.warnings: list[str] = []
        if not np.any(np.isfinite(self.log_posterior)):
            raise ValueError("the posterior vanishes on the whole grid (every point failed or lies outside the prior)")

    @property
    def density(self) -> np.ndarray:
        """The posterior on the grid, normalised to integrate to 1."""
        p = np.exp(self.log_posterior - np.nanmax(self.log_posterior))
        p = np.where(np.isfinite(p), p, 0.0)
        norm = p
        for k in reversed(range(p.ndim)):
            norm = _trapezoid(norm, self.axes[self.names[k]], axis=k)
        return p / norm

    def marginal(self, name: str) -> tuple[np.ndarray, np.ndarray]:
        """(grid values, normalised marginal density) of one parameter."""
        if name not in self.axes:
            raise KeyError(f"{name!r} is not an axis of this grid ({', '.join(self.names)})")
        d = self.density
        k = self.names.index(name)
        for other in reversed(range(d.ndim)):
            if other != k:
                d = _trapezoid(d, self.axes[self.names[other]], axis=other)
        return self.axes[name], d

    def mean(self, name: str) -> float:
        x, p = self.marginal(name)
        return float(_trapezoid(x * p, x))

    def std(self, name: str) -> float:
        x, p = self.marginal(name)
        m = _trapezoid(x * p, x)
        return float(math.sqrt(max(_trapezoid((x - m) ** 2 * p, x), 0.0)))

    def interval(self, name: str, level: float = 0.6827) -> tuple[float, float]:
        """Equal-tailed credible interval of the marginal (cumulative integral, linear between nodes)."""
        if not 0 < level < 1:
            raise ValueError(f"level must lie strictly between 0 and 1, got {level}")
        x, p = self.marginal(name)
        cdf = np.concatenate([[0.0], np.cumsum(0.5 * (p[1:] + p[:-1]) * np.diff(x))])
        cdf /= cdf[-1]
        q = [(1 - level) / 2, (1 + level) / 2]
        return float(np.interp(q[0], cdf, x)), float(np.interp(q[1], cdf, x))

    def best(self) -> dict[str, float]:
        idx = np.unravel_index(np.nanargmax(self.log_posterior), self.log_posterior.shape)
        return {n: float(self.axes[n][i]) for n, i in zip(self.names, idx)}

    def for_observations(self, observations: Any) -> "GridPosterior":
        """The same grid with other observations of the same quantities, without running again."""
        like = self.likelihood
        new = like.with_observations(observations)
        t = np.stack([self.theory[o.quantity] for o in like.observations], axis=-1)
        mesh = np.meshgrid(*self.axes.values(), indexing="ij")
        lp = np.sum([like.priors[n].logpdf(m) for n, m in zip(self.names, mesh)], axis=0)
        return GridPosterior(self.axes, lp + new.loglike_of_theory(t), self.theory, new)

    def summary(self) -> str:
        lines = [f"nuvex.GridPosterior ({' x '.join(f'{n}[{len(v)}]' for n, v in self.axes.items())})"]
        for n in self.names:
            lo, hi = self.interval(n)
            lines.append(f"  {n}: mean {self.mean(n):.5g}, std {self.std(n):.3g}, 68% [{lo:.5g}, {hi:.5g}]")
        lines += [f"  warning: {w}" for w in self.warnings]
        return "\n".join(lines)

    __repr__ = summary

    def plot(self, truths: Mapping[str, float] | None = None, fig: Any = None) -> Any:
        """One axis: the marginal density; two axes: 68% and 95% regions with the marginals."""
        plt = pyplot()
        if len(self.names) == 1:
            n = self.names[0]
            fig = fig or plt.figure(figsize=(5, 3.5), constrained_layout=True)
            ax = fig.subplots()
            x, p = self.marginal(n)
            ax.plot(x, p, color="C0")
            lo, hi = self.interval(n)
            ax.axvspan(lo, hi, color="C0", alpha=0.2, label="68% interval")
            ax.set_xlabel(label(n))
            ax.set_ylabel("posterior density")
            ax.legend()
            return fig
        fig = fig or plt.figure(figsize=(6, 6), constrained_layout=True)
        axes = fig.subplots(2, 2, squeeze=False)
        (xa, ya) = self.names[:2]
        d = self.density
        lv = _hpd_levels(d)
        axes[1, 0].contourf(self.axes[xa], self.axes[ya], d.T, levels=lv + [d.max() * 1.01],
                            colors=["#9ecae1", "#3182bd"])
        axes[1, 0].set_xlabel(label(xa))
        axes[1, 0].set_ylabel(label(ya))
        for ax, n in ((axes[0, 0], xa), (axes[1, 1], ya)):
            x, p = self.marginal(n)
            ax.plot(x, p, color="C0")
            ax.set_yticks([])
            ax.set_xlabel(label(n))
        axes[0, 1].set_visible(False)
        if truths:
            axes[1, 0].plot(truths.get(xa, np.nan), truths.get(ya, np.nan), "x", color="C3")
        return fig


__all__ = ["Chain", "GridPosterior", "corner"]
