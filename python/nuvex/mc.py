# Monte Carlo uncertainties: the solver's threaded sampling of perturbed reaction rates and neutron
# lifetime, returned as numpy samples with their statistics (percentiles, covariance, correlation).
from __future__ import annotations

import math
import os
from typing import Any, Iterable, Mapping, Sequence

import numpy as np

from . import _data
from ._errors import user_call
from ._ext import ext
from ._params import suggestions
from ._runner import hooks, prepare, reporter_for, resolve_data_dir
from .result import BY_KEY, QUANTITIES, _fmt, quantity_key

DEFAULT_QUANTITIES = ("Yp", "DoH", "He3oH", "Li7oH")
_INT32_MAX = 2**31 - 1


class MCResult:
    """Samples of a Monte Carlo uncertainty estimate.

    ``samples[name]`` is a numpy array of the ``n`` sampled values of a quantity (NaN where a sample
    lacks it), in sample order; ``central[name]`` the unperturbed run; ``mean`` and ``std`` (sample
    standard deviation, divisor n - 1; NaN for a single sample). ``quantities`` keeps the names as
    requested ("Yp", "DoH", a nuclide such as "He4", ...). Sample k depends only on the seed and k,
    so results do not depend on the number of workers.
    """

    def __init__(self, raw: Mapping[str, Mapping[str, Any]], names: Sequence[str], keys: Sequence[str], n: int,
                 seed: int, params: Mapping[str, Any]) -> None:
        self.quantities: tuple[str, ...] = tuple(names)
        self.n = n
        self.seed = seed
        self.params = dict(params)
        self.samples: dict[str, np.ndarray] = {}
        self.central: dict[str, float] = {}
        self.mean: dict[str, float] = {}
        self.std: dict[str, float] = {}
        for name, key in zip(names, keys):
            entry = raw[key]
            self.samples[name] = np.asarray(entry["values"], dtype=np.float64)
            self.central[name] = float(entry["central"])
            self.mean[name] = float(entry["mean"])
            # the standard deviation of a single sample is undefined, not 0
            self.std[name] = float(entry["std"]) if n > 1 else math.nan

    def percentile(self, q: float | Sequence[float]) -> dict[str, Any]:
        """Percentiles (0-100) of the samples of every quantity: a float, or an array for several q."""
        return {name: (float(v) if np.ndim(v) == 0 else v)
                for name, v in ((name, np.percentile(s, q)) for name, s in self.samples.items())}

    def interval(self, level: float = 0.6827) -> dict[str, tuple[float, float]]:
        """The central ``level`` interval (between the (1-level)/2 and (1+level)/2 quantiles)."""
        if not 0 < level < 1:
            raise ValueError(f"level must lie strictly between 0 and 1, got {level}")
        lo, hi = 50 * (1 - level), 50 * (1 + level)
        return {name: (float(np.percentile(s, lo)), float(np.percentile(s, hi))) for name, s in self.samples.items()}

    def _matrix(self) -> np.ndarray:
        return np.vstack([self.samples[name] for name in self.quantities])

    @property
    def covariance(self) -> np.ndarray:
        """Sample covariance matrix (divisor n - 1) between the quantities, in the order of ``quantities``."""
        if self.n < 2:
            return np.full((len(self.quantities),) * 2, np.nan)
        return np.atleast_2d(np.cov(self._matrix(), ddof=1))

    @property
    def correlation(self) -> np.ndarray:
        """Pearson correlation matrix between the quantities, in the order of ``quantities``."""
        cov = self.covariance
        with np.errstate(invalid="ignore", divide="ignore"):
            d = np.sqrt(np.diag(cov))
            return cov / np.outer(d, d)

    def to_dict(self) -> dict[str, dict[str, Any]]:
        """{name: {"central", "mean", "std", "values"}} with plain floats and lists."""
        return {name: {"central": self.central[name], "mean": self.mean[name], "std": self.std[name],
                       "values": self.samples[name].tolist()} for name in self.quantities}

    def __repr__(self) -> str:
        head = f"nuvex.MCResult ({self.n} samples, seed {self.seed})"
        p16_84 = self.interval()
        rows = [("quantity", "central", "mean", "std", "16%", "84%")]
        for name in self.quantities:
            lo, hi = p16_84[name]
            rows.append((name, _fmt(self.central[name]), _fmt(self.mean[name]), _fmt(self.std[name]), _fmt(lo),
                         _fmt(hi)))
        widths = [max(len(r[i]) for r in rows) for i in range(6)]
        body = ["  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
                for r in rows]
        return "\n".join([head] + body)

    def plot(self, kind: str = "auto", quantities: Iterable[str] | None = None, **kwargs: Any) -> Any:
        """Histograms (one quantity, or ``kind="hist"``) or a corner plot of the samples.

        See :func:`nuvex.plots.plot_mc`.
        """
        from .plots import plot_mc

        return plot_mc(self, kind=kind, quantities=quantities, **kwargs)


def check_quantities(quantities: Any, directory: str) -> tuple[list[str], list[str]]:
    """The requested names and their solver keys; ValueError naming an unknown one."""
    if isinstance(quantities, str) or not isinstance(quantities, Iterable):
        raise TypeError("quantities must be a sequence of names such as ('Yp', 'DoH')")
    names = list(quantities)
    if not names:
        raise ValueError("quantities must name at least one quantity")
    nuclides = _data.nuclide_masses(directory)
    known = [q.key for q in QUANTITIES] + [q.attr for q in QUANTITIES]
    keys = []
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"quantities must be str, not {type(name).__name__}")
        key = quantity_key(name)
        if key not in BY_KEY and key not in nuclides:
            best = suggestions(name, known + list(nuclides))
            hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
            raise ValueError(f"unknown quantity {name!r}: not a result quantity nor a nuclide{hint}")
        keys.append(key)
    if len(set(names)) != len(names):
        raise ValueError("quantities must not repeat a name")
    return names, keys


def check_count(name: str, value: Any, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    value = int(value)
    if not low <= value <= _INT32_MAX:
        raise ValueError(f"{name}={value} is out of range: must be between {low} and {_INT32_MAX}")
    return value


def monte_carlo(n: int, quantities: Sequence[str] = DEFAULT_QUANTITIES, *, seed: int = 0, jobs: int | None = None,
                progress: bool = True, custom_network: Mapping[str, Any] | None = None,
                data_dir: str | os.PathLike[str] | None = None, client: Any = None, block_size: int | None = None,
                **params: Any) -> MCResult:
    """Estimate the uncertainty of result quantities by sampling the nuclear rates and tau_n.

    Every sample multiplies each reaction rate of the network by ``u**z`` (``u`` its 1-sigma
    uncertainty factor, ``z`` a standard normal number) and draws the neutron lifetime from a
    normal distribution of mean ``tau_n`` and width ``std_tau_n`` (seconds); one unperturbed run gives
    the central values.

    ``n``: number of samples (>= 1). ``quantities``: result quantity names or aliases ("Yp",
    "Yp_mass", "DoH", "He3oH", "Li7oH", "Neff", ...) or nuclide names ("He4"). ``seed``: sample k
    uses the generator seeded with seed + k, so the samples are reproducible and independent of
    ``jobs`` (worker threads; None: all cores). ``progress``: progress bar on standard error. Other
    keywords as for :func:`nuvex.run`.

    ``client``: a ``distributed.Client``; the samples then run on that Dask cluster in blocks of
    ``block_size`` consecutive samples (default: about four blocks per worker thread), and the
    result equals the local run with the same seed bit for bit.
    """
    n = check_count("n", n, 1)
    seed = check_count("seed", seed, 0)
    n_jobs = -1 if jobs is None else check_count("jobs", jobs, 1)
    directory = resolve_data_dir(data_dir)
    names, keys = check_quantities(quantities, directory)
    c_params = prepare(params, directory, custom_network)
    if client is not None:
        return _on_cluster(client, n, names, keys, seed, block_size, progress, custom_network, data_dir, params,
                           (c_params, directory, custom_network))
    with reporter_for(c_params, bars=progress) as rep, user_call("nuvex.monte_carlo"):
        # the bar replaces the solver's own progress marks of the central run
        raw = ext.run_mc({**c_params, "show_progress": False}, directory, n, keys, seed, n_jobs, custom_network, None, None, int(bool(progress)),
                         **hooks(rep))
    return MCResult(raw, names, keys, n, seed, c_params)


def _on_cluster(client: Any, n: int, names: Sequence[str], keys: Sequence[str], seed: int, block_size: Any,
                progress: bool, custom_network: Any, data_dir: Any, params: Mapping[str, Any],
                local: tuple[dict[str, Any], str, Any]) -> MCResult:
    from . import _dask, _engine
    from .scan import _solver_setup

    if block_size is not None:
        block_size = check_count("block_size", block_size, 1)
    setup = _solver_setup(params, custom_network, None, None, data_dir)
    return _dask.monte_carlo(_engine.check_client(client), n, names, keys, seed, setup, block_size, progress, local)


__all__ = ["MCResult", "monte_carlo", "DEFAULT_QUANTITIES"]
