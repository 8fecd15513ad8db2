# Inference of cosmological parameters from measured abundances: priors, the Gaussian likelihood with
# rate and lifetime nuisances or a Monte Carlo theory error, emcee sampling and grid posteriors.
"""Posteriors of Omega_b h^2, Delta N_eff, ... from observed primordial abundances.

:func:`likelihood` builds a :class:`Likelihood`; :func:`sample` runs an affine-invariant ensemble MCMC
(emcee) on it and returns a :class:`~nuvex.chain.Chain`; :func:`grid_posterior` evaluates the
posterior on a grid of two (or one) parameters and returns a :class:`~nuvex.chain.GridPosterior`.
Likelihood evaluations run on solver sessions, in the calling thread, on local threads or on a
Dask cluster; a point's value depends on the point only, so chains do not depend on the engine.
"""
from __future__ import annotations

import copy
import logging
import math
import os
import time
from dataclasses import dataclass
from typing import Any, Mapping, Sequence

import numpy as np

from . import _engine
from ._params import CALL_KEYWORDS, PARAMS, VARIATION_PREFIXES, suggestions
from ._quantities import check_count
from ._runner import prepare, resolve_data_dir
from .chain import Chain, GridPosterior
from .observations import Observation, normalize
from .solver import Solver

logger = logging.getLogger("nuvex")

# Reactions whose rate errors matter for D/H and Yp (logarithmic sensitivities of D/H, small network,
# defaults: d+d -0.55 and -0.45, d(p,g) -0.35, n(p,g) -0.20, 3He(n,p) +0.025, 3He(d,p) -0.013; the two
# tritium reactions close the A = 3 -> 4 flow, -6e-4 and -1e-4). Every other reaction of the small
# network has |d ln(D/H) / d ln rate| below 2e-5; Yp depends on none beyond these at the 1e-5 level.
KEY_REACTIONS = ("n_p__d_g", "d_p__He3_g", "d_d__He3_n", "d_d__t_p", "He3_n__t_p", "He3_d__a_p", "t_d__a_n",
                 "t_p__a_g")
NUISANCE_MODES = ("rates", "theory", None)


@dataclass(frozen=True)
class Prior:
    """A one-dimensional prior: ``kind`` "flat" on [a, b] or "normal" with mean a and width b."""

    kind: str
    a: float
    b: float

    def __post_init__(self) -> None:
        if self.kind not in ("flat", "normal"):
            raise ValueError(f"a prior is 'flat' or 'normal', not {self.kind!r}")
        if not (math.isfinite(self.a) and math.isfinite(self.b)):
            raise ValueError(f"{self.kind} prior bounds must be finite, got ({self.a}, {self.b})")
        if self.kind == "flat" and not self.a < self.b:
            raise ValueError(f"flat prior needs low < high, got [{self.a}, {self.b}]")
        if self.kind == "normal" and not self.b > 0:
            raise ValueError(f"normal prior needs a positive width, got {self.b}")

    def logpdf(self, x: np.ndarray) -> np.ndarray:
        x = np.asarray(x, dtype=float)
        if self.kind == "flat":
            inside = (x >= self.a) & (x <= self.b)
            return np.where(inside, -math.log(self.b - self.a), -np.inf)
        return -0.5 * ((x - self.a) / self.b) ** 2 - math.log(self.b * math.sqrt(2 * math.pi))

    @property
    def centre(self) -> float:
        return 0.5 * (self.a + self.b) if self.kind == "flat" else self.a

    def __str__(self) -> str:
        return f"flat [{self.a:g}, {self.b:g}]" if self.kind == "flat" else f"normal({self.a:g}, {self.b:g})"


def flat(low: float, high: float) -> Prior:
    return Prior("flat", float(low), float(high))


def normal(mean: float, sigma: float) -> Prior:
    return Prior("normal", float(mean), float(sigma))


# Wide flat priors: the range of the shipped CMB tables for Omega_b h^2 and Delta N_eff, and a range
# far outside the measured neutron lifetime when it is sampled as a parameter of interest.
DEFAULT_PRIORS = {"Omegabh2": flat(0.005, 0.040), "DeltaNeff": flat(-3.0, 9.0), "tau_n": flat(800.0, 950.0)}


def _as_prior(name: str, value: Any) -> Prior:
    if isinstance(value, Prior):
        return value
    if isinstance(value, (tuple, list)) and len(value) == 3 and value[0] in ("flat", "normal"):
        return Prior(value[0], float(value[1]), float(value[2]))
    raise ValueError(f"prior of {name!r}: expected nuvex.inference.flat(lo, hi), normal(mu, sigma) or "
                     f"('flat', lo, hi) / ('normal', mu, sigma), got {value!r}")


def _check_param(name: Any, where: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{where}: parameter names are str, not {type(name).__name__}")
    if name in CALL_KEYWORDS:
        raise ValueError(f"{where}: {name!r} cannot be sampled")
    if name.startswith(tuple(VARIATION_PREFIXES)):
        return name
    param = PARAMS.get(name)
    if param is None:
        pool = list(PARAMS) + [f"p_{r}" for r in KEY_REACTIONS]
        best = suggestions(name, pool)
        hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
        raise ValueError(f"{where}: unknown parameter {name!r}{hint}")
    if param.kind != "number":
        raise ValueError(f"{where}: {name!r} is a {param.kind} parameter; only numbers can be sampled")
    return name


def _nuisance_names(nuisance: Any, reactions: Sequence[str]) -> tuple[str, ...]:
    if nuisance is None or nuisance == "theory":
        return ()
    if nuisance == "rates":
        return tuple(f"p_{r}" for r in reactions) + ("tau_n",)
    if isinstance(nuisance, str):
        best = suggestions(nuisance, ["rates", "theory"])
        hint = f"; did you mean {best[0]!r}?" if best else ""
        raise ValueError(f"nuisance must be 'rates', 'theory', None or a list of p_<reaction>/tau_n names, "
                         f"not {nuisance!r}{hint}")
    names = tuple(nuisance)
    for n in names:
        if n != "tau_n" and not (isinstance(n, str) and n.startswith("p_")):
            raise ValueError(f"nuisance parameter {n!r}: only p_<reaction> and tau_n are nuisances")
    return names


class Likelihood:
    """Gaussian likelihood of observed abundances and the log-posterior of a parameter point.

    ``names`` are the free dimensions in order: the parameters of interest, then the nuisances.
    ``log_likelihood(x)`` = -1/2 [r^T C^-1 r + ln det(2 pi C)], r = theory - observed, C the
    observational covariance (independent errors) plus, with ``nuisance="theory"``, the Monte Carlo
    theory covariance scaled to the point (relative covariance at the fiducial point times
    theory_i theory_j). ``log_prior(x)`` is the sum of the one-dimensional priors (``priors``);
    ``log_posterior(x)`` their sum. ``x`` is a sequence in ``names`` order or a mapping by name.
    """

    def __init__(self, observations: Any, params: Sequence[str] = ("Omegabh2", "DeltaNeff"),
                 nuisance: Any = "rates", *, priors: Mapping[str, Any] | None = None,
                 reactions: Sequence[str] = KEY_REACTIONS, mc_samples: int = 200, seed: int = 0,
                 client: Any = None, jobs: int | None = None, custom_network: Mapping[str, Any] | None = None,
                 data_dir: str | os.PathLike[str] | None = None, **fixed: Any) -> None:
        self.observations: list[Observation] = normalize(observations)
        if isinstance(params, str):
            params = (params,)
        self.params = tuple(_check_param(p, "params") for p in params)
        self.nuisance = nuisance if isinstance(nuisance, str) or nuisance is None else tuple(nuisance)
        self.names = self.params + tuple(_check_param(n, "nuisance") for n in _nuisance_names(nuisance, reactions))
        self._check_names(fixed)
        self.client = _engine.check_client(client)
        self.jobs = _engine.check_jobs(jobs)
        self._directory = resolve_data_dir(data_dir)
        # parameter names and rate-variation names are checked before anything runs
        self._fixed = prepare({**fixed, **{n: 0.0 for n in self.names if n.startswith("p_")}}, self._directory,
                              custom_network)
        for n in self.names:
            self._fixed.pop(n, None)
        self._setup = _engine.solver_setup({**fixed, "show_progress": False}, custom_network, None, None, data_dir)
        self.priors = self._priors(priors or {})
        self.fiducial = {n: self._fiducial_value(n) for n in self.names}
        self.keys = [o.key for o in self.observations]
        self._obs = np.array([o.value for o in self.observations])
        self._sigma = np.array([o.sigma for o in self.observations])
        self._solver: Any = None
        self._actor_pool: Any = None
        self._cluster: tuple[float, dict[str, Any]] | None = None
        self.failures: list[str] = []
        self.evaluations = 0
        self.central = self._central_check()
        self.theory_relcov = self._theory_covariance(mc_samples, seed) if nuisance == "theory" else None

    # -- set-up ---------------------------------------------------------------------------------------
    def _check_names(self, fixed: Mapping[str, Any]) -> None:
        seen = set()
        for n in self.names:
            if n in seen:
                raise ValueError(f"parameter {n!r} is given twice (as a parameter and as a nuisance?)")
            seen.add(n)
            if n in fixed:
                raise ValueError(f"{n!r} is both sampled and fixed; remove it from the fixed parameters")
        if not self.names:
            raise ValueError("no free parameter: give params or nuisances")

    def _priors(self, given: Mapping[str, Any]) -> dict[str, Prior]:
        for name in given:
            if name not in self.names:
                best = suggestions(str(name), self.names)
                hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
                raise ValueError(f"prior for {name!r}, which is not a free parameter ({', '.join(self.names)}){hint}")
        out = {}
        for n in self.names:
            if n in given:
                out[n] = _as_prior(n, given[n])
            elif n.startswith("p_"):
                out[n] = normal(0.0, 1.0)
            elif n == "tau_n" and n not in self.params:
                if not self._base("std_tau_n") > 0:
                    raise ValueError("tau_n as a nuisance needs std_tau_n > 0 (its measured error, in seconds)")
                out[n] = normal(self._base("tau_n"), self._base("std_tau_n"))
            elif n in DEFAULT_PRIORS:
                out[n] = DEFAULT_PRIORS[n]
            else:
                raise ValueError(f"parameter {n!r} has no default prior: give one in priors={{{n!r}: flat(lo, hi)}}")
        return out

    def _base(self, key: str) -> float:
        """A parameter's value when not sampled: the fixed value or the package default."""
        return float(self._fixed.get(key, PARAMS[key].default))

    def _fiducial_value(self, name: str) -> float:
        prior = self.priors[name]
        base = 0.0 if name.startswith(("p_", "delta_")) else self._base(name)
        if prior.kind == "normal" or not (prior.a <= base <= prior.b):
            return prior.centre
        return base

    def _central_check(self) -> dict[str, float]:
        values, error = _engine.evaluate(self._local_solver(), self.keys, self.fiducial)
        if error is not None:
            raise ValueError(f"the run at the fiducial point {self.fiducial} fails: {error}")
        return dict(zip(self.keys, values))  # type: ignore[arg-type]

    def _theory_covariance(self, n: int, seed: int) -> np.ndarray:
        n = check_count("mc_samples", n, 2)

        s = self._local_solver()
        assert isinstance(s, Solver)
        mc = s.monte_carlo(n, self.keys, seed=seed, jobs=self.jobs, progress=False, **self.fiducial)
        cov = np.atleast_2d(np.cov(np.vstack([mc.samples[k] for k in self.keys]), ddof=1))
        centre = np.array([mc.central[k] for k in self.keys])
        return cov / np.outer(centre, centre)

    def _local_solver(self) -> Any:
        if self._solver is None:
            self._solver = Solver(**self._setup)
        return self._solver

    # -- evaluation -----------------------------------------------------------------------------------
    def point(self, x: Any) -> dict[str, float]:
        """A point as a mapping by name (from a sequence in ``names`` order, or a mapping)."""
        if isinstance(x, Mapping):
            missing = [n for n in self.names if n not in x]
            extra = [k for k in x if k not in self.names]
            if missing or extra:
                raise ValueError(f"point must give exactly {list(self.names)}; missing {missing}, unknown {extra}")
            return {n: float(x[n]) for n in self.names}
        arr = np.asarray(x, dtype=float).ravel()
        if arr.size != len(self.names):
            raise ValueError(f"point has {arr.size} values; expected {len(self.names)} ({', '.join(self.names)})")
        return dict(zip(self.names, (float(v) for v in arr)))

    def log_prior(self, x: Any) -> float:
        p = self.point(x)
        return float(sum(self.priors[n].logpdf(p[n]) for n in self.names))

    def theory(self, x: Any) -> dict[str, float]:
        """The predicted quantities at a point, by observation quantity (solver keys)."""
        values, error = _engine.evaluate(self._local_solver(), self.keys, self.point(x))
        if error is not None:
            raise RuntimeError(f"run at {self.point(x)} failed: {error}")
        return dict(zip(self.keys, values))  # type: ignore[arg-type]

    def log_likelihood(self, x: Any) -> float:
        t = self.theory(x)
        return float(self.loglike_of_theory(np.array([t[k] for k in self.keys]))[()])

    def log_posterior(self, x: Any) -> float:
        lp = self.log_prior(x)
        return lp + self.log_likelihood(x) if math.isfinite(lp) else -math.inf

    __call__ = log_posterior

    def loglike_of_theory(self, theory: np.ndarray) -> np.ndarray:
        """Log-likelihood of predicted values ``theory[..., i]`` (observation order); -inf where NaN."""
        t = np.asarray(theory, dtype=float)
        r = t - self._obs
        if self.theory_relcov is None:
            out = -0.5 * np.sum((r / self._sigma) ** 2 + np.log(2 * math.pi * self._sigma**2), axis=-1)
        else:
            cov = np.diag(self._sigma**2) + self.theory_relcov * t[..., :, None] * t[..., None, :]
            sol = np.linalg.solve(cov, r[..., None])[..., 0]
            _, logdet = np.linalg.slogdet(2 * math.pi * cov)
            out = -0.5 * (np.sum(r * sol, axis=-1) + logdet)
        return np.where(np.all(np.isfinite(t), axis=-1), out, -np.inf)

    def evaluate(self, xs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Log-posterior and predicted quantities of many points (rows of ``xs`` in ``names`` order).

        Points outside the prior are not run (log-posterior -inf, predictions NaN); the others run
        on the engine of the likelihood, in parallel, and come back in row order.
        """
        xs = np.atleast_2d(np.asarray(xs, dtype=float))
        lp = np.sum([self.priors[n].logpdf(xs[:, j]) for j, n in enumerate(self.names)], axis=0)
        theory = np.full((len(xs), len(self.keys)), np.nan)
        todo = [i for i in range(len(xs)) if np.isfinite(lp[i])]
        for i, (values, error) in zip(todo, self._map([self.point(xs[i]) for i in todo])):
            if error is not None:
                self._failed(xs[i], error)
            else:
                theory[i] = values
        self.evaluations += len(todo)
        return lp + self.loglike_of_theory(theory), theory

    def _failed(self, x: np.ndarray, error: str) -> None:
        if len(self.failures) < 100:
            self.failures.append(f"{self.point(x)}: {error}")
        logger.warning("likelihood: run failed, point rejected: %s", error)

    def _map(self, changes: list[dict[str, float]]) -> list[tuple[Any, Any]]:
        """Run the points in order on this likelihood's engine; (values, error) per point."""
        if not changes:
            return []
        if self.client is not None:
            workers = sum(w.get("nthreads", 1) for w in self._cluster_workers().values()) or 1
        else:
            workers = _engine.default_jobs() if self.jobs is None else self.jobs
        if workers <= 1 and self.client is None or len(changes) == 1:
            s = self._local_solver()
            return [_engine.evaluate(s, self.keys, c) for c in changes]
        key = _engine.setup_key(self._setup)
        parts = _split(list(enumerate(changes)), min(workers, len(changes)))
        if self.client is not None:
            results = self._on_cluster(key, parts)
        else:
            results = _engine.run_parts(self._setup, self.keys, parts, workers)
        return [(values, error) for chunk in results for _, values, error in chunk]

    def _on_cluster(self, key: str, parts: list[list[Any]]) -> list[Any]:
        """One part per Dask worker, through an actor on each worker: a call goes straight to the
        worker, without the scheduler's two batched hops of a task (their 2 ms send intervals cost
        more than the work of a small batch). Plain tasks when actors cannot be made."""
        actors = self._actors(key)
        if actors is not None and len(actors) >= len(parts):
            try:
                return [f.result() for f in [a.run(part) for a, part in zip(actors, parts)]]
            except Exception as e:  # a lost worker: the same batch again as tasks
                logger.warning("likelihood: Dask actor call failed (%s); using tasks", e)
                self._actor_pool = None
                self._cluster = None
        futures = [self.client.submit(_engine.run_chunk, key, list(self.keys), part, pure=False) for part in parts]
        try:
            return self.client.gather(futures)
        except BaseException:
            self.client.cancel(futures)
            raise

    def _cluster_workers(self) -> dict[str, Any]:
        """The cluster's workers, asked of the scheduler at most every 5 s: each question is a
        round trip to the scheduler, and two per batch cost about half of a small batch's work."""
        now = time.monotonic()
        if self._cluster is None or now - self._cluster[0] > 5.0:
            self._cluster = (now, dict(self.client.scheduler_info()["workers"]))
        return self._cluster[1]

    def _actors(self, key: str) -> list[Any] | None:
        workers = sorted(self._cluster_workers())
        if any(w.startswith("inproc://") for w in workers):
            return None  # workers on threads of this process: tasks (actor calls would wait on this thread)
        pool = self._actor_pool
        if pool is None or pool[0] != workers:
            try:
                futures = [self.client.submit(Evaluator, key, list(self.keys), workers=[w], actor=True, pure=False)
                           for w in workers]
                pool = (workers, [f.result() for f in futures])
            except Exception as e:
                logger.warning("likelihood: no Dask actors (%s); using tasks", e)
                pool = (workers, None)
            self._actor_pool = pool
        return pool[1]

    def with_observations(self, observations: Any) -> "Likelihood":
        """The same likelihood (parameters, priors, engine, theory error) with other observed values of
        the same quantities in the same order."""
        obs = normalize(observations)
        if [o.key for o in obs] != self.keys:
            raise ValueError(f"observations must be of the same quantities in the same order: {self.keys}")
        new = copy.copy(self)
        new.observations = obs
        new._obs = np.array([o.value for o in obs])
        new._sigma = np.array([o.sigma for o in obs])
        return new

    def describe(self) -> str:
        """The observations, the free parameters with their priors, and the fixed settings."""
        lines = ["observations:"] + [f"  {o}" for o in self.observations]
        lines.append("free parameters (prior):")
        lines += [f"  {n:<16} {self.priors[n]}" for n in self.names]
        if self.theory_relcov is not None:
            err = np.sqrt(np.diag(self.theory_relcov))
            lines.append("theory error (Monte Carlo, relative): " +
                         ", ".join(f"{k} {e:.3%}" for k, e in zip(self.keys, err)))
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"nuvex.Likelihood ({len(self.names)} free parameters, nuisance {self.nuisance!r})\n" + self.describe()

    def close(self) -> None:
        if self._solver is not None:
            self._solver.close()
            self._solver = None


class Evaluator:
    """Worker side of a likelihood on a Dask cluster (an actor): the worker's solver for the fixed
    parameters, fed parts of a batch."""

    def __init__(self, key: str, keys: Sequence[str]) -> None:
        self.key, self.keys = key, list(keys)

    def run(self, items: Sequence[tuple[int, dict[str, float]]]) -> list[_engine.Outcome]:
        return _engine.run_chunk(self.key, self.keys, items)


def _split(items: list[Any], n: int) -> list[list[Any]]:
    """``n`` consecutive parts of nearly equal size (one task per worker: the least overhead)."""
    size, extra = divmod(len(items), n)
    out, start = [], 0
    for i in range(n):
        stop = start + size + (1 if i < extra else 0)
        if stop > start:
            out.append(items[start:stop])
        start = stop
    return out


def likelihood(observations: Any, params: Sequence[str] = ("Omegabh2", "DeltaNeff"), nuisance: Any = "rates",
               **kwargs: Any) -> Likelihood:
    """The :class:`Likelihood` of ``observations`` for the free ``params``.

    ``observations``: :class:`~nuvex.observations.Observation` objects, catalogue names
    (``nuvex.observations.CATALOGUE``) or a mapping ``{"DoH": (value, sigma)}``. ``params``: the
    parameters of interest (any numeric run parameter; default priors: Omega_b h^2 flat on
    [0.005, 0.040], Delta N_eff flat on [-3, 9], tau_n flat on [800, 950] s).

    ``nuisance``: "rates" adds the ``p_<reaction>`` of ``reactions`` (default :data:`KEY_REACTIONS`;
    standard normal priors: the rate is multiplied by u**p, u its 1-sigma uncertainty factor) and
    ``tau_n`` (normal prior of mean ``tau_n`` and width ``std_tau_n``, 878.4 +/- 0.5 s by default);
    "theory" instead adds the covariance of a Monte Carlo of ``mc_samples`` samples (``seed``) of all
    rates and tau_n at the fiducial point to the observational one; None fixes rates and lifetime; a
    list of ``p_<reaction>`` / ``tau_n`` names chooses the nuisances. ``priors`` overrides priors by
    name (``flat(lo, hi)``, ``normal(mu, sigma)``). ``client`` / ``jobs``: where batches of points
    run (a Dask client, local threads; default all cores). Other keywords are fixed run parameters.
    """
    return Likelihood(observations, params, nuisance, **kwargs)


class PosteriorWarning(UserWarning):
    """A posterior that does not measure anything: it piles on the edge of its prior or grid, the
    likelihood hardly varies over the explored points (the posterior is the prior), or no point comes
    near an observation (a value or unit the model cannot produce, such as D/H = 1e10)."""


# An observation more than this many standard deviations from the best prediction is not fitted.
MISFIT_SIGMA = 5.0
# A log-likelihood that varies by less than this over the explored points constrains nothing
# (a likelihood ratio below e^0.5 = 1.65 between the best and the worst point).
FLAT_LOGLIKE = 0.5
# A flat-prior parameter with more than half of its samples within 5% of the prior's width of an
# edge piles on it.
EDGE_FRACTION, EDGE_WIDTH = 0.5, 0.05


def _misfits(like: Likelihood, theory: np.ndarray) -> list[str]:
    """The observations that the prediction at the best point misses by more than MISFIT_SIGMA."""
    t = np.asarray(theory, dtype=float)
    sigma = like._sigma
    if like.theory_relcov is not None:
        sigma = np.sqrt(sigma**2 + np.diag(like.theory_relcov) * t**2)
    out = []
    for o, ti, si in zip(like.observations, t, sigma):
        pull = abs(ti - o.value) / si
        if math.isfinite(pull) and pull > MISFIT_SIGMA:
            out.append(f"no point fits the observed {o.quantity} = {o.value:.6g} +/- {o.sigma:.3g}: the best "
                       f"prediction is {ti:.6g}, {pull:.3g} sigma away (check the value and its units)")
    return out


def _flat(loglike: np.ndarray, names: Sequence[str], where: str) -> list[str]:
    ll = loglike[np.isfinite(loglike)]
    if ll.size < 2:
        return []
    # differences within the rounding of the values themselves are no information either (D/H = 1e10
    # with an error of 3e-7 gives -5.6e32 at every point, equal up to rounding)
    rounding = 64 * np.finfo(float).eps * float(np.max(np.abs(ll)))
    if np.ptp(ll) >= FLAT_LOGLIKE + rounding:
        return []
    spread = float(np.ptp(ll))
    how = (f"varies by a factor of only {math.exp(spread):.3g}" if spread > rounding else
           "is the same, up to rounding,")
    return [f"the likelihood {how} over the {where}: the observations do not constrain {', '.join(names)}, and "
            "the posterior is the prior"]


def _report(problems: list[str], target: Any) -> None:
    import warnings

    target.warnings = list(problems)
    for p in problems:
        logger.warning("posterior: %s", p)
        warnings.warn(p, PosteriorWarning, stacklevel=3)


def _grid_problems(like: Likelihood, post: GridPosterior, prior: np.ndarray, theory: np.ndarray) -> list[str]:
    lp = post.log_posterior
    problems = _flat((lp - prior).ravel(), like.names, "grid")
    for n in like.names if not problems else ():  # a flat likelihood peaks anywhere
        x, p = post.marginal(n)
        k = int(np.argmax(p))
        if k in (0, len(x) - 1):
            problems.append(f"the posterior of {n} peaks at the edge of the grid ({x[k]:.6g}): widen the grid, or "
                            "check the observations")
        # a posterior held by one or two grid points (std 0 when all of it sits on one)
        if post.std(n) < 0.25 * float(np.min(np.diff(x))):
            problems.append(f"the posterior of {n} is narrower than the grid spacing (std {post.std(n):.3g}, spacing "
                            f"{float(np.min(np.diff(x))):.3g}): its mean and intervals are those of a single grid "
                            "point; refine the grid around it")
    best = np.unravel_index(int(np.nanargmax(np.where(np.isfinite(lp), lp, -np.inf))), lp.shape)
    problems += _misfits(like, theory.reshape(lp.shape + (-1,))[best])
    return problems


def _chain_problems(like: Likelihood, chain: Chain) -> list[str]:
    burn = min(chain.burn, chain.steps - 1)
    x = chain.chain[burn:].reshape(-1, len(like.names))
    theory = np.stack([chain.predicted[o.quantity] for o in like.observations], axis=-1)
    problems = _flat(like.loglike_of_theory(theory[burn:]).ravel(), like.names, "sampled points")
    for j, n in enumerate(like.names):
        prior = like.priors[n]
        if prior.kind != "flat":
            continue
        margin = EDGE_WIDTH * (prior.b - prior.a)
        for edge, near in ((prior.a, x[:, j] <= prior.a + margin), (prior.b, x[:, j] >= prior.b - margin)):
            if np.mean(near) > EDGE_FRACTION:
                problems.append(f"the posterior of {n} piles on the edge of its prior ({edge:.6g}: {np.mean(near):.0%} "
                                "of the samples within 5% of the prior's width): widen the prior, or check the "
                                "observations")
    lp = np.where(np.isfinite(chain.log_prob), chain.log_prob, -np.inf)
    best = np.unravel_index(int(np.argmax(lp)), lp.shape)
    problems += _misfits(like, theory[best])
    return problems


def _initial(like: Likelihood, walkers: int, rng: np.random.Generator) -> np.ndarray:
    """Walkers start from normal priors, and within 1% of a flat prior's width around the fiducial value."""
    cols = []
    for n in like.names:
        prior = like.priors[n]
        if prior.kind == "normal":
            cols.append(rng.normal(prior.a, prior.b, walkers))
        else:
            width = 0.01 * (prior.b - prior.a)
            centre = like.fiducial[n]
            cols.append(np.clip(centre + width * rng.standard_normal(walkers), prior.a, prior.b))
    return np.column_stack(cols)


def sample(observations: Any, params: Sequence[str] = ("Omegabh2",), nuisance: Any = "rates", walkers: int = 32,
           steps: int = 2000, seed: int = 0, client: Any = None, jobs: int | None = None, *, progress: bool = True,
           burn: int | None = None, **kwargs: Any) -> Chain:
    """Sample the posterior with emcee's affine-invariant ensemble sampler; returns a :class:`Chain`.

    ``observations``, ``params``, ``nuisance`` and the other keywords as for :func:`likelihood` (or
    pass a :class:`Likelihood` as ``observations``). ``walkers`` (at least twice the number of free
    parameters) evolve for ``steps`` steps; each step's proposals of half the ensemble are evaluated
    as one batch, in parallel on ``client`` (Dask) or ``jobs`` local threads. The chain depends only
    on ``seed``, never on the engine or the number of workers. ``burn``: steps discarded by the
    summaries (default a quarter). ``progress``: a progress bar on standard error.
    """
    try:
        import emcee
    except ImportError as e:
        raise ImportError("nuvex.sample needs emcee (Debian: python3-emcee)") from e

    walkers = check_count("walkers", walkers, 2)
    steps = check_count("steps", steps, 1)
    seed = check_count("seed", seed, 0)
    if isinstance(observations, Likelihood):
        like = observations
    else:
        like = Likelihood(observations, params, nuisance, client=client, jobs=jobs, seed=seed, **kwargs)
    ndim = len(like.names)
    if walkers < 2 * ndim:
        raise ValueError(f"walkers={walkers} is too few for {ndim} free parameters: the ensemble sampler needs at "
                         f"least {2 * ndim} (2 per parameter)")
    p0 = _initial(like, walkers, np.random.default_rng(seed))

    def batch(xs: np.ndarray) -> list[tuple[float, ...]]:
        lp, theory = like.evaluate(xs)
        return [(float(v), *map(float, t)) for v, t in zip(lp, theory)]

    sampler = emcee.EnsembleSampler(walkers, ndim, batch, vectorize=True)
    sampler.random_state = np.random.RandomState(seed).get_state()
    sampler.run_mcmc(p0, steps, progress=progress)
    blobs = np.asarray(sampler.get_blobs(), dtype=float).reshape(steps, walkers, len(like.keys))
    predicted = {o.quantity: blobs[..., i] for i, o in enumerate(like.observations)}
    chain = Chain(like.names, sampler.get_chain(), sampler.get_log_prob(), sampler.acceptance_fraction,
                  predicted=predicted, burn=steps // 4 if burn is None else burn, seed=seed,
                  priors={n: str(p) for n, p in like.priors.items()})
    _report(_chain_problems(like, chain), chain)
    return chain


def grid_posterior(observations: Any, axes: Mapping[str, Sequence[float]], nuisance: Any = None, *,
                   progress: bool = False, **kwargs: Any) -> GridPosterior:
    """The posterior on a grid: ``axes`` maps each free parameter to its grid values (one or two axes).

    Every free parameter needs an axis: with nuisances on a grid use ``nuisance="theory"`` (the rate
    and lifetime errors as a Monte Carlo theory covariance) or a short list such as
    ``["p_d_p__He3_g"]`` with an axis of its own; :func:`sample` marginalises many nuisances. Other
    keywords as for :func:`likelihood`.
    """
    if not isinstance(axes, Mapping) or not axes:
        raise ValueError("axes must map each free parameter to its grid values, e.g. {'Omegabh2': [...]} ")
    if isinstance(observations, Likelihood):
        like = observations
    else:
        extra = _nuisance_names(nuisance, kwargs.get("reactions", KEY_REACTIONS))
        like = Likelihood(observations, tuple(n for n in axes if n not in extra), nuisance, **kwargs)
    if set(axes) != set(like.names):
        missing = [n for n in like.names if n not in axes]
        raise ValueError(f"a grid needs an axis for every free parameter; missing {missing} (use nuisance='theory' "
                         "for the rate errors on a grid, or nuvex.sample to marginalise them)")
    grid = {n: np.asarray(axes[n], dtype=float) for n in like.names}
    for n, v in grid.items():
        if v.ndim != 1 or v.size < 2 or not np.all(np.diff(v) > 0):
            raise ValueError(f"axis {n!r} must be at least 2 increasing values")
    from .scan import check_size

    check_size([v.size for v in grid.values()])
    mesh = np.meshgrid(*grid.values(), indexing="ij")
    xs = np.column_stack([m.ravel() for m in mesh])
    shape = mesh[0].shape
    with _maybe_bar(progress, len(xs)):
        lp, theory = like.evaluate(xs)
    theory_grid = {o.quantity: theory[:, i].reshape(shape) for i, o in enumerate(like.observations)}
    post = GridPosterior(grid, lp.reshape(shape), theory_grid, like)
    prior = np.sum([like.priors[n].logpdf(m) for n, m in zip(like.names, mesh)], axis=0)
    _report(_grid_problems(like, post, prior, theory), post)
    return post


class _maybe_bar:
    def __init__(self, on: bool, total: int) -> None:
        self.on, self.total, self.bar = on, total, None

    def __enter__(self) -> "_maybe_bar":
        if self.on:
            from tqdm.auto import tqdm

            self.bar = tqdm(total=self.total, desc="grid posterior", unit=" pts")
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.update(self.total)
            self.bar.close()


__all__ = ["Likelihood", "Prior", "flat", "normal", "likelihood", "sample", "grid_posterior", "KEY_REACTIONS",
           "DEFAULT_PRIORS", "PosteriorWarning"]
