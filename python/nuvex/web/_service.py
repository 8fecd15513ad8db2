# The calculator behind the web pages, without Flask: input checks for the few keys a page may set,
# a pool of solver sessions, requests superseded by newer ones, bounded work, and the Schramm bands.
from __future__ import annotations

import collections
import contextlib
import csv
import io
import json
import math
import os
import re
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Mapping

import numpy as np

from .. import notation, observations
from .._data import data_dir as default_data_dir
from .._data import rate_sets
from .._params import CALL_KEYWORDS, PARAMS
from .._version import __version__
from ..conversions import Omegabh2_from_eta10, eta10_per_Omegabh2
from ..plots import mass_number
from ..result import QUANTITIES, Result
from ..solver import Solver

# The keys a page may set. Everything else the package knows is refused: keys naming files or
# directories would read or write outside the cache directory, and the numerical keys set the cost
# of a run, which the server bounds.
INPUT_KEYS = ("Omegabh2", "eta10", "DeltaNeff", "tau_n", "munuOverTnu_e", "network", "rate_set")
VARIATION_PREFIXES = ("delta_", "p_")
NETWORKS = ("small", "large")
# progress stages of the solver's table builds (minutes for a new electron-neutrino degeneracy)
BUILD_STAGES = frozenset({"electron", "qed", "weak", "thermal"})

# what the Schramm plot shows, and its baryon-density axis
SCHRAMM_QUANTITIES = ("Yp", "DoH", "He3oH", "Li7oH")
SCHRAMM_RANGE = (0.004, 0.04)
BAND_LEVEL = 0.95
# a Schramm computation left running by requests out of time ends after this many request limits
JOB_LIMIT_FACTOR = 4


@dataclass(frozen=True)
class Limits:
    """Bounds on what one request may ask of the server."""

    body_bytes: int = 16 * 1024          # request body (JSON) and query string
    params: int = 32                     # parameters in one request
    evolution_points: tuple[int, int] = (10, 2000)
    schramm_points: tuple[int, int] = (3, 40)
    schramm_samples: tuple[int, int] = (0, 200)
    schramm_runs: int = 4000             # points x (samples + 1)
    schramm_cached: int = 64             # settings whose bands are kept
    seconds: float = 300.0               # one request, waiting and table builds included

    def as_dict(self) -> dict[str, Any]:
        return {"body_bytes": self.body_bytes, "params": self.params, "evolution_points": list(self.evolution_points),
                "schramm_points": list(self.schramm_points), "schramm_samples": list(self.schramm_samples),
                "schramm_runs": self.schramm_runs, "seconds": self.seconds}


class WebError(Exception):
    """A request answered with an error: HTTP status, message and the parameter at fault (if any)."""

    def __init__(self, status: int, message: str, key: str | None = None, *, retry_after: int | None = None,
                 superseded: bool = False) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.key = key
        self.retry_after = retry_after
        self.superseded = superseded

    def body(self) -> dict[str, Any]:
        out: dict[str, Any] = {"error": self.message, "key": self.key}
        if self.superseded:
            out["superseded"] = True
        return out


class _BuildBusy(Exception):
    """This run started building tables while another request builds some: wait, then run again."""


class _Abandoned(Exception):
    """Nobody waits for this computation any more."""


# ---- input -----------------------------------------------------------------------------------------

def _number_from_text(text: str) -> Any:
    """A number typed in a URL; text that is none stays text, for the package to name the key."""
    try:
        value = float(text)
    except ValueError:
        return text
    return value


def text_value(key: str, text: str) -> Any:
    """The value of a query-string parameter: numbers for numeric keys, None for "none"."""
    if key in ("network", "rate_set"):
        return text
    if key == "munuOverTnu_e" and text.strip().lower() in ("", "none", "null"):
        return None
    return _number_from_text(text)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def parse_params(raw: Any, limits: Limits) -> dict[str, Any]:
    """The run parameters of a request, checked for the web's own rules.

    Unknown keys pass through, so that the package refuses them with its own message (and the
    closest valid names); keys the package knows but a page may not set are refused here.
    """
    if not isinstance(raw, Mapping):
        raise WebError(400, f"params must be a JSON object of parameter names and values, not {type(raw).__name__}")
    if len(raw) > limits.params:
        raise WebError(400, f"too many parameters: {len(raw)} (at most {limits.params})")
    out: dict[str, Any] = {}
    for key, value in raw.items():
        if not isinstance(key, str):
            raise WebError(400, "parameter names must be text")
        if (key in PARAMS and key not in INPUT_KEYS) or key in CALL_KEYWORDS or key == "on_progress":
            raise WebError(400, f"{key} cannot be set through the web calculator; it accepts "
                                f"{', '.join(INPUT_KEYS)}, delta_<reaction> and p_<reaction>", key)
        if value is not None and not isinstance(value, (str, int, float, bool)):
            raise WebError(400, f"{key} expects a number or text, not a JSON {type(value).__name__}", key)
        if isinstance(value, float) and value == 0.0:
            # -0.0 is the same input as 0.0, but the solver's table fingerprints tell them apart: a
            # rebuild of minutes (weak-rate tables for an electron-neutrino degeneracy of -0.0)
            value = 0.0
        out[key] = value
    if "eta10" in out:
        if "Omegabh2" in out:
            raise WebError(400, "give the baryon density as Omegabh2 or as eta10, not both", "eta10")
        e = out.pop("eta10")
        if not _is_number(e):
            raise WebError(400, "eta10 expects a number", "eta10")
        if not (math.isfinite(e) and e > 0):
            raise WebError(400, f"eta10={e:g} is out of range: must be > 0", "eta10")
        out["Omegabh2"] = float(Omegabh2_from_eta10(float(e)))
        out["_eta10"] = True  # the caller names eta10, not Omegabh2, in messages
    network = out.get("network", PARAMS["network"].default)
    if network not in NETWORKS:
        raise WebError(400, f"network must be 'small' or 'large', not {network!r}", "network")
    return out


def key_in_message(message: str, keys: list[str]) -> str | None:
    """The submitted key a message names first (the package's messages name the key at fault)."""
    best: tuple[int, str] | None = None
    for key in keys:
        m = re.search(rf"(?<![A-Za-z0-9_]){re.escape(key)}(?![A-Za-z0-9_])", message)
        if m and (best is None or m.start() < best[0]):
            best = (m.start(), key)
    return best[1] if best else None


def _finite(v: Any) -> Any:
    """JSON has no NaN or infinity: such values become null."""
    if isinstance(v, float) and not math.isfinite(v):
        return None
    return v


def _floats(a: Any) -> list[Any]:
    return [_finite(float(x)) for x in a]


# ---- requests superseded by newer ones -------------------------------------------------------------

class Supersession:
    """The newest request number seen from each page (client id) on each channel (run, evolution,
    schramm): a request older than the newest of its page and channel is superseded."""

    def __init__(self, max_clients: int = 4096) -> None:
        self._latest: collections.OrderedDict[tuple[str, str], int] = collections.OrderedDict()
        self._lock = threading.Lock()
        self._max = max_clients

    def note(self, client: str, channel: str, seq: int) -> None:
        with self._lock:
            key = (client, channel)
            if self._latest.get(key, -1) < seq:
                self._latest[key] = seq
            self._latest.move_to_end(key)
            while len(self._latest) > self._max:
                self._latest.popitem(last=False)

    def superseded(self, client: str, channel: str, seq: int) -> bool:
        with self._lock:
            return self._latest.get((client, channel), seq) > seq


class Ticket:
    """One request's standing: superseded, out of time, or the server closing end its work."""

    def __init__(self, service: "Service", channel: str, client: str | None = None, seq: int | None = None) -> None:
        self.service = service
        self.channel = channel
        self.client = client
        self.seq = seq
        self.deadline = time.monotonic() + service.limits.seconds
        if client is not None and seq is not None:
            service.latest.note(client, channel, seq)

    def check(self, deadline: bool = True) -> None:
        """Raises WebError when the request's work should stop; ``deadline=False`` for a run that
        builds tables (stopped, the build would start again at the next request)."""
        if self.service.closing:
            raise WebError(503, "the server is shutting down", retry_after=5)
        if self.client is not None and self.seq is not None and self.service.latest.superseded(
                self.client, self.channel, self.seq):
            raise WebError(409, "superseded by a newer request from the same page", superseded=True)
        if deadline and time.monotonic() > self.deadline:
            raise WebError(503, f"the computation took longer than this server's limit of "
                                f"{self.service.limits.seconds:g} s (another request may be building the solver's "
                                "tables: a new electron-neutrino degeneracy takes minutes on a busy machine); "
                                "try again later", retry_after=30)


class _Guard:
    """The progress hook of one run: stops it when its request ends, and lets one run at a time
    build tables (a second one waits and then runs again on the tables the first has cached)."""

    def __init__(self, build_lock: threading.Lock, ticket: Any) -> None:
        self._build = build_lock
        self._ticket = ticket
        self.building = False

    def __call__(self, stage: str, done: float, total: float) -> None:
        self._ticket.check(deadline=not self.building)
        if stage in BUILD_STAGES and not self.building:
            if not self._build.acquire(blocking=False):
                raise _BuildBusy()
            self.building = True

    def release(self) -> None:
        if self.building:
            self.building = False
            self._build.release()


# ---- the session pool ------------------------------------------------------------------------------

class SolverPool:
    """Solver sessions for single runs, one per worker slot, kept between requests. A request takes a
    session that last ran its network when one is idle (changing networks rebuilds a session's
    network stage); a session whose run raised is dropped, never reused."""

    def __init__(self, slots: int, fixed: Mapping[str, Any]) -> None:
        self._slots = threading.Semaphore(slots)
        self._fixed = dict(fixed)
        self._idle: list[tuple[str, Solver]] = []
        self._lock = threading.Lock()
        self.created = 0

    @contextlib.contextmanager
    def slot(self, ticket: Any) -> Iterator[None]:
        while not self._slots.acquire(timeout=0.05):
            ticket.check()
        try:
            yield
        finally:
            self._slots.release()

    def _take(self, network: str) -> Solver:
        with self._lock:
            for i, (net, solver) in enumerate(self._idle):
                if net == network:
                    return self._idle.pop(i)[1]
            if self._idle:
                return self._idle.pop()[1]
            self.created += 1
        return Solver(**self._fixed)

    @contextlib.contextmanager
    def solver(self, network: str, ticket: Any) -> Iterator[Solver]:
        with self.slot(ticket):
            solver = self._take(network)
            try:
                yield solver
            except BaseException:
                solver.close()
                raise
            with self._lock:
                self._idle.append((network, solver))

    def close(self) -> None:
        with self._lock:
            idle, self._idle = self._idle, []
        for _, solver in idle:
            solver.close()


# ---- the Schramm bands -----------------------------------------------------------------------------

class _SchrammJob:
    """One setting's bands being computed, point by point on the worker threads; requests for the
    same setting wait for it. It stops when every request that asked for it was superseded; a request
    that reaches its time limit leaves it running (within a limit of its own), for the next request
    to find finished."""

    def __init__(self, service: "Service", key: str, setting: dict[str, Any], grid: np.ndarray, samples: int,
                 seed: int) -> None:
        self.service = service
        self.key = key
        self.setting = setting
        self.grid = grid
        self.samples = samples
        self.seed = seed
        self.waiters = 0
        self.done = threading.Event()
        self.points: list[dict[str, tuple[Any, Any, Any]] | None] = [None] * len(grid)
        self.error: BaseException | None = None
        self.remaining = len(grid)
        self.deadline = time.monotonic() + JOB_LIMIT_FACTOR * service.limits.seconds
        self.lock = threading.Lock()

    def check(self, deadline: bool = True) -> None:  # the job's own ticket
        if self.service.closing:
            raise WebError(503, "the server is shutting down", retry_after=5)
        if self.waiters <= 0:
            raise _Abandoned()
        if deadline and time.monotonic() > self.deadline:
            raise WebError(503, f"the Schramm bands took longer than this server's limit of "
                                f"{JOB_LIMIT_FACTOR * self.service.limits.seconds:g} s; ask for fewer points or "
                                "samples", retry_after=30)

    def run_point(self, i: int) -> None:
        try:
            if self.error is None:
                self.points[i] = self.service._schramm_point(self, float(self.grid[i]))
        except BaseException as e:  # the first failure ends the job; the others skip their points
            with self.lock:
                if self.error is None:
                    self.error = e
        finally:
            with self.lock:
                self.remaining -= 1
                last = self.remaining == 0
            if last:
                self.service._schramm_finished(self)


# ---- the service -----------------------------------------------------------------------------------

class Service:
    """Runs, evolutions and Schramm bands for the web pages, on a pool of solver sessions.

    ``data_dir`` and ``cache_dir`` as for :func:`nuvex.run` (None: the package's defaults); ``workers``
    solver sessions run at once (None: the processors of this machine, at least 2, at most 8).
    """

    def __init__(self, data_dir: str | os.PathLike[str] | None = None, cache_dir: str | os.PathLike[str] | None = None,
                 workers: int | None = None, limits: Limits | None = None, schramm_points: int = 15,
                 schramm_samples: int = 40, evolution_points: int = 200) -> None:
        self.data_dir = os.fspath(data_dir) if data_dir is not None else default_data_dir()
        if not os.path.isfile(os.path.join(self.data_dir, "csv", "nuclides.csv")):
            raise FileNotFoundError(f"{self.data_dir} is not a NUVEX data directory (no csv/nuclides.csv)")
        if workers is None:
            workers = min(8, max(2, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                                 else os.cpu_count() or 2))
        if isinstance(workers, bool) or not isinstance(workers, int) or not 1 <= workers <= 64:
            raise ValueError(f"workers must be an int between 1 and 64, not {workers!r}")
        self.workers = workers
        self.limits = limits or Limits()
        # what a page asks for unless a request says otherwise
        self.defaults = {"schramm_points": schramm_points, "schramm_samples": schramm_samples,
                         "evolution_points": evolution_points}
        self.fixed: dict[str, Any] = {"show_progress": False, "data_dir": self.data_dir}
        if cache_dir is not None:
            self.fixed["cache_dir"] = os.fspath(cache_dir)
        self.pool = SolverPool(workers, self.fixed)
        self.latest = Supersession()
        self.closing = False
        self._build = threading.Lock()
        self._points = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="nuvex-schramm")
        self._schramm_lock = threading.Lock()
        self._schramm_cache: collections.OrderedDict[str, dict[str, Any]] = collections.OrderedDict()
        self._schramm_jobs: dict[str, _SchrammJob] = {}
        self.reactions = _network_reactions(self.data_dir)
        try:
            self.rate_sets = [{"name": k, "description": v.description} for k, v in rate_sets(self.data_dir).items()]
        except (OSError, ValueError):  # a broken manifest: the solver names it when a run selects it
            self.rate_sets = []

    @property
    def building(self) -> bool:
        """True while a request builds the solver's tables."""
        return self._build.locked()

    # -- runs --

    def _gated(self, ticket: Any, work: Callable[[_Guard], Any]) -> Any:
        """``work(guard)`` with table builds one at a time: a run that would build tables while
        another request builds some stops, waits for that build, and starts again."""
        while True:
            ticket.check()
            guard = _Guard(self._build, ticket)
            try:
                return work(guard)
            except _BuildBusy:
                pass
            finally:
                guard.release()
            while not self._build.acquire(timeout=0.05):
                ticket.check()
            self._build.release()

    def run(self, params: Mapping[str, Any], ticket: Ticket, **extra: Any) -> Result:
        """One run of a pooled session with the request's parameters (and ``extra`` ones set by the
        server); package errors become HTTP 400 (refused input) or 422 (the run failed)."""
        c_params = {k: v for k, v in params.items() if not k.startswith("_")}
        network = c_params.get("network", PARAMS["network"].default)

        def work(guard: _Guard) -> Result:
            with self.pool.solver(network, ticket) as solver:
                return solver.run(on_progress=guard, **c_params, **extra)

        return self._package_errors(params, lambda: self._gated(ticket, work))

    @staticmethod
    def _package_errors(params: Mapping[str, Any], call: Callable[[], Any]) -> Any:
        try:
            return call()
        except (ValueError, TypeError, RuntimeError) as e:
            message = str(e)
            keys = [k for k in params if not k.startswith("_")]
            key = key_in_message(message, keys)
            if key == "Omegabh2" and params.get("_eta10"):
                key = "eta10"
            status = 422 if isinstance(e, RuntimeError) else 400
            raise WebError(status, message, key) from None

    def evolution(self, params: Mapping[str, Any], points: int, ticket: Ticket) -> Result:
        """A run that records the evolution at ``points`` times."""
        return self.run(params, ticket, output_time_evolution=True, output_n_points=points)

    # -- Schramm bands --

    def schramm(self, params: Mapping[str, Any], points: int, samples: int, seed: int, ticket: Ticket) -> dict[str, Any]:
        """Central values and Monte Carlo bands of the Schramm quantities on a grid of Omega_b h^2,
        for the setting of ``params`` (their baryon density aside); computed once per setting."""
        ticket.check()  # a closing server takes no new work
        setting = {k: v for k, v in params.items() if k not in ("Omegabh2", "_eta10")}
        runs = points * (samples + 1)
        if runs > self.limits.schramm_runs:
            raise WebError(400, f"points x (samples + 1) = {runs} runs is more than this server's limit of "
                                f"{self.limits.schramm_runs}", "samples")
        key = json.dumps([setting, points, samples, seed], sort_keys=True)
        with self._schramm_lock:
            cached = self._schramm_cache.get(key)
            if cached is not None:
                self._schramm_cache.move_to_end(key)
                return {**cached, "cached": True}
            job = self._schramm_jobs.get(key)
            # a job nobody waits for is stopping: a new request starts the setting afresh
            start = job is None or job.waiters <= 0
            if start:
                grid = np.geomspace(*SCHRAMM_RANGE, points)
                job = self._schramm_jobs[key] = _SchrammJob(self, key, setting, grid, samples, seed)
            job.waiters += 1
        leave = True
        try:
            if start:
                for i in range(points):
                    self._points.submit(job.run_point, i)
            while not job.done.wait(0.05):
                try:
                    ticket.check()
                except WebError as e:
                    if e.status == 503 and not self.closing:  # out of time: the job goes on for a later request
                        leave = False
                        raise WebError(503, "the Schramm bands are still being computed; ask again shortly",
                                       retry_after=10) from None
                    raise
        finally:
            with self._schramm_lock:
                if leave or job.done.is_set():
                    job.waiters -= 1
        if job.error is not None:
            if isinstance(job.error, WebError):
                raise job.error
            if isinstance(job.error, _Abandoned):  # everyone else left; this request did not
                raise WebError(503, "the Schramm computation was stopped; ask again", retry_after=1)
            return self._package_errors(params, lambda: _reraise(job.error))
        with self._schramm_lock:
            return {**self._schramm_cache[key], "cached": False} if key in self._schramm_cache else \
                {**self._schramm_body(job), "cached": False}

    def _schramm_point(self, job: _SchrammJob, Omegabh2: float) -> dict[str, tuple[Any, Any, Any]]:
        """(central, low, high) of every Schramm quantity at one baryon density."""
        params = {k: v for k, v in job.setting.items() if not k.startswith("_")}

        def work(guard: _Guard) -> dict[str, tuple[Any, Any, Any]]:
            with self.pool.slot(job), Solver(**self.fixed, **params, Omegabh2=Omegabh2) as solver:
                if job.samples == 0:
                    r = solver.run(on_progress=guard)
                    return {q: (r[q], None, None) for q in SCHRAMM_QUANTITIES}
                mc = solver.monte_carlo(job.samples, SCHRAMM_QUANTITIES, seed=job.seed, jobs=1, progress=False,
                                        on_progress=guard)
            lo_q, hi_q = 50 * (1 - BAND_LEVEL), 50 * (1 + BAND_LEVEL)
            out = {}
            for q in SCHRAMM_QUANTITIES:
                s = mc.samples[q]
                lo, hi = (np.nanpercentile(s, [lo_q, hi_q]) if np.isfinite(s).any() else (math.nan, math.nan))
                out[q] = (mc.central[q], float(lo), float(hi))
            return out

        return self._gated(job, work)

    def _schramm_finished(self, job: _SchrammJob) -> None:
        with self._schramm_lock:
            if self._schramm_jobs.get(job.key) is job:
                del self._schramm_jobs[job.key]
            if job.error is None:
                self._schramm_cache[job.key] = self._schramm_body(job)
                while len(self._schramm_cache) > self.limits.schramm_cached:
                    self._schramm_cache.popitem(last=False)
        job.done.set()

    def _schramm_body(self, job: _SchrammJob) -> dict[str, Any]:
        k = eta10_per_Omegabh2()
        quantities = {}
        for q in SCHRAMM_QUANTITIES:
            pts = [p[q] for p in job.points if p is not None]
            quantities[q] = {"central": _floats(c for c, _, _ in pts),
                             "lo": [_finite(lo) for _, lo, _ in pts] if job.samples else None,
                             "hi": [_finite(hi) for _, _, hi in pts] if job.samples else None}
        return {"Omegabh2": _floats(job.grid), "eta10": _floats(job.grid * k), "level": BAND_LEVEL,
                "samples": job.samples, "seed": job.seed, "quantities": quantities,
                "observations": observation_list()}

    # -- descriptions --

    def meta(self) -> dict[str, Any]:
        """What a page needs to build its form: inputs, quantities, reactions, observations, limits."""
        inputs = {}
        for key in INPUT_KEYS:
            if key == "eta10":
                inputs[key] = {"default": PARAMS["Omegabh2"].default * eta10_per_Omegabh2(), "unit": "",
                               "description": "baryon-to-photon ratio today, 1e10 n_b/n_gamma (sets Omegabh2)"}
                continue
            p = PARAMS[key]
            inputs[key] = {"default": _finite(p.default) if isinstance(p.default, float) else p.default,
                           "unit": p.unit, "description": p.description}
        return {"version": __version__,
                "inputs": inputs,
                "eta10_per_Omegabh2": eta10_per_Omegabh2(),
                "quantities": [{"name": q.attr, "key": q.key, "unit": q.unit, "definition": q.definition}
                               for q in QUANTITIES],
                "networks": self.reactions,
                "rate_sets": self.rate_sets,
                "variations": {"delta_": "rate multiplied by (1 + delta)",
                               "p_": "rate multiplied by u**p, u the 1-sigma uncertainty factor of its table"},
                "schramm": {"quantities": list(SCHRAMM_QUANTITIES), "Omegabh2": list(SCHRAMM_RANGE),
                            "level": BAND_LEVEL, "points": self.defaults["schramm_points"],
                            "samples": self.defaults["schramm_samples"]},
                "evolution": {"points": self.defaults["evolution_points"]},
                "observations": observation_list(),
                "limits": self.limits.as_dict()}

    def close(self) -> None:
        """Stop the running work (their requests get HTTP 503) and release the sessions."""
        self.closing = True
        self._points.shutdown(wait=True, cancel_futures=True)
        self.pool.close()


def _reraise(e: BaseException) -> Any:
    raise e


def observation_list() -> list[dict[str, Any]]:
    return [{"name": name, "quantity": o.quantity, "value": o.value, "sigma": o.sigma, "reference": o.reference,
             "convention": o.convention} for name, o in observations.CATALOGUE.items()]


def _network_reactions(data_dir: str) -> dict[str, list[dict[str, str]]]:
    """The reactions of each network with labels in nuclear notation ("d(p,γ)3He"); the catalogue's
    equation ("d + p -> He3 + g") where a name has no such form."""
    labels: dict[str, str] = {}
    try:
        with open(os.path.join(data_dir, "csv", "reactions_large.csv"), newline="") as f:
            for row in csv.DictReader(f):
                name = (row.get("name") or "").strip()
                if name and row.get("reactants") and row.get("products"):
                    labels[name] = (f"{row['reactants'].replace('+', ' + ')} -> "
                                    f"{row['products'].replace('+', ' + ')}")
    except OSError:
        pass
    out: dict[str, list[dict[str, str]]] = {}
    for network in NETWORKS:
        names: list[str] = []
        try:
            with open(os.path.join(data_dir, "nuclear", "networks", f"{network}.txt")) as f:
                for line in f:
                    word = line.split("#", 1)[0].strip().split()
                    if word and word[0] not in names:
                        names.append(word[0])
        except OSError:
            pass
        out[network] = [{"name": n, "label": notation.reaction(n) if notation.reaction(n) != n else labels.get(n, n)}
                        for n in names]
    return out


# ---- response bodies -------------------------------------------------------------------------------

def public_params(params: Mapping[str, Any]) -> dict[str, Any]:
    """The request's parameters as applied, with the baryon density in both forms."""
    out = {k: _finite(v) if isinstance(v, float) else v for k, v in params.items() if not k.startswith("_")}
    ob = float(params.get("Omegabh2", PARAMS["Omegabh2"].default))
    out["Omegabh2"] = ob
    out["eta10"] = ob * eta10_per_Omegabh2()
    return out


def result_body(result: Result, params: Mapping[str, Any]) -> dict[str, Any]:
    values = result.quantities
    return {"params": public_params(params),
            "quantities": [{"name": q.attr, "key": q.key, "value": _finite(values[q.key]), "unit": q.unit,
                            "definition": q.definition} for q in QUANTITIES if q.key in values],
            "abundances": {k: _finite(v) for k, v in result.abundances.items()}}


def evolution_body(result: Result, params: Mapping[str, Any]) -> dict[str, Any]:
    ev = result.evolution
    assert ev is not None
    return {"params": public_params(params), "t": _floats(ev.t), "a": _floats(ev.a), "T_gamma": _floats(ev.T_gamma),
            "T_nue": _floats(ev.T_nue), "T_numu": _floats(ev.T_numu), "T_nutau": _floats(ev.T_nutau),
            "Y": {k: _floats(v) for k, v in ev.Y.items()}, "A": {k: mass_number(k) for k in ev.Y}}


def _csv(rows: list[list[Any]]) -> str:
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    for row in rows:
        w.writerow(["" if v is None else repr(v) if isinstance(v, float) else v for v in row])
    return buf.getvalue()


def result_csv(body: Mapping[str, Any]) -> str:
    """kind,name,value,unit,definition: the parameters, the quantities, the final abundances."""
    rows: list[list[Any]] = [["kind", "name", "value", "unit", "definition"]]
    for k, v in body["params"].items():
        spec = PARAMS.get(k)
        rows.append(["parameter", k, v, spec.unit if spec else "",
                     spec.description if spec else "baryon-to-photon ratio 1e10 n_b/n_gamma" if k == "eta10" else
                     "rate variation of one reaction"])
    for q in body["quantities"]:
        rows.append(["quantity", q["name"], q["value"], q["unit"], q["definition"]])
    for k, v in body["abundances"].items():
        rows.append(["abundance", k, v, "", "final abundance Y (number per baryon)"])
    return _csv(rows)


def evolution_csv(body: Mapping[str, Any]) -> str:
    """One row per sampled time: t [s], a, the temperatures [MeV], then Y of every nuclide."""
    head = ["t_s", "a", "T_gamma_MeV", "T_nue_MeV", "T_numu_MeV", "T_nutau_MeV"] + [f"Y_{k}" for k in body["Y"]]
    cols = [body[c] for c in ("t", "a", "T_gamma", "T_nue", "T_numu", "T_nutau")] + list(body["Y"].values())
    return _csv([head] + [list(r) for r in zip(*cols)])
