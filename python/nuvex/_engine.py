# Evaluation of many parameter points: one solver per worker process (built once, cached by the fixed
# parameters), run in this process, in a local process pool, or on a Dask cluster.
from __future__ import annotations

import atexit
import collections
import concurrent.futures as cf
import json
import math
import multiprocessing
import os
import threading
from typing import Any, Callable, Mapping, Sequence

from ._runner import plain_seq, scalar
from .solver import Solver

# What a worker needs to build its solver: the keyword arguments of nuvex.Solver as plain JSON. A
# data_dir of None makes every worker locate its own data directory.
Setup = Mapping[str, Any]
Item = tuple[int, dict[str, Any]]             # (point index, parameter changes)
Outcome = tuple[int, "list[float] | None", "str | None"]  # (point index, values, error message)

_MAX_CACHED_SOLVERS = 4
_local = threading.local()
solvers_built = 0  # in this process: how often a worker built a solver (the rest reused one)


def solver_setup(fixed: Mapping[str, Any], custom_network: Any, extra_rho_T: Any, extra_rho_val: Any,
                 data_dir: Any) -> dict[str, Any]:
    """The keyword arguments every worker's Solver is built with, as plain JSON values."""
    setup = {k: scalar(f"parameter {k!r}", v) for k, v in fixed.items()}
    # the caller shows its own bar; solvers on workers print nothing
    setup["show_progress"] = False
    if custom_network is not None:
        setup["custom_network"] = custom_network
    if extra_rho_T is not None or extra_rho_val is not None:
        setup["extra_rho_T"] = [float(v) for v in plain_seq(extra_rho_T)] if extra_rho_T is not None else None
        setup["extra_rho_val"] = [float(v) for v in plain_seq(extra_rho_val)] if extra_rho_val is not None else None
    if data_dir is not None:
        setup["data_dir"] = os.fspath(data_dir)
    return setup


def setup_key(setup: Setup) -> str:
    return json.dumps(setup, sort_keys=True, allow_nan=True)


def worker_solver(key: str) -> Any:
    """This worker thread's solver for the fixed parameters ``key``, built on first use only.

    Kept per thread (a solver session is not shared between threads) and per process: with one thread
    per worker process, one session per worker, reused by every task that worker runs.
    """
    cache = getattr(_local, "solvers", None)
    if cache is None:
        cache = _local.solvers = collections.OrderedDict()
    solver = cache.get(key)
    if solver is None:
        global solvers_built
        solver = Solver(**json.loads(key))
        solvers_built += 1
        cache[key] = solver
        while len(cache) > _MAX_CACHED_SOLVERS:
            cache.popitem(last=False)[1].close()
    else:
        cache.move_to_end(key)
    return solver


def evaluate(solver: Any, keys: Sequence[str], changes: Mapping[str, Any], mc: tuple[int, int] | None = None,
             mc_jobs: int | None = 1) -> tuple[list[float] | None, str | None]:
    """One point: the quantities in ``keys`` order, or the message of the failure (a refused
    parameter value, an integrator failure, a quantity the run does not produce).

    With ``mc`` = (samples, seed) the point is a Monte Carlo: the central values in ``keys`` order
    followed by the sample standard deviations in the same order.
    """
    try:
        if mc is not None:
            r = solver.monte_carlo(mc[0], list(keys), seed=mc[1], jobs=mc_jobs, progress=False, **changes)
            return [r.central[k] for k in keys] + [r.std[k] for k in keys], None
        result = solver.run(**changes)
    except (ValueError, RuntimeError, TypeError) as e:
        return None, f"{type(e).__name__}: {e}"
    values = []
    for key in keys:
        try:
            values.append(float(result[key]))
        except KeyError:
            return None, f"ValueError: quantity {key!r} is not produced by this run (optional quantities exist " \
                         "only for some networks and backgrounds; nuclides must belong to the network)"
    return values, None


def run_chunk(key: str, keys: Sequence[str], items: Sequence[Item], mc: tuple[int, int] | None = None) -> list[Outcome]:
    """Worker entry point: evaluate a chunk of points with this worker's cached solver."""
    solver = worker_solver(key)
    out: list[Outcome] = []
    for index, changes in items:
        values, error = evaluate(solver, keys, changes, mc)
        out.append((index, values, error))
    return out


def chunks(items: Sequence[Item], n_workers: int, largest: int = 16) -> list[list[Item]]:
    """Consecutive chunks: small enough to balance the workers and show progress, large enough to
    amortise the task overhead. Consecutive points share most parameters, which sessions exploit."""
    size = max(1, min(largest, math.ceil(len(items) / (4 * max(1, n_workers)))))
    return [list(items[i:i + size]) for i in range(0, len(items), size)]


def default_jobs() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def run_serial(setup: Setup, keys: Sequence[str], items: Sequence[Item], on_outcome: Callable[[Outcome], None],
               mc: tuple[int, int] | None = None) -> None:
    with Solver(**setup) as solver:
        for index, changes in items:
            # in this process a Monte Carlo may use every core
            values, error = evaluate(solver, keys, changes, mc, mc_jobs=None)
            on_outcome((index, values, error))


_pool_lock = threading.Lock()
_pool: cf.ProcessPoolExecutor | None = None
_pool_jobs = 0


def _get_pool(jobs: int) -> cf.ProcessPoolExecutor:
    """The local worker pool, kept between calls so that its workers keep their solvers; a call that
    asks for another number of workers replaces it."""
    global _pool, _pool_jobs
    with _pool_lock:
        if _pool is not None and _pool_jobs != jobs:
            _pool.shutdown(wait=True, cancel_futures=True)
            _pool = None
        if _pool is None:
            # workers start from a clean interpreter ('forkserver'), never a fork of this process,
            # whose solver threads a fork would copy in an undefined state
            method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
            _pool = cf.ProcessPoolExecutor(max_workers=jobs, mp_context=multiprocessing.get_context(method))
            _pool_jobs = jobs
        return _pool


def shutdown_workers() -> None:
    """Stop the local worker processes (they are started again when needed)."""
    global _pool
    with _pool_lock:
        if _pool is not None:
            _pool.shutdown(wait=True, cancel_futures=True)
            _pool = None


atexit.register(shutdown_workers)


def first_alone(items: Sequence[Item], n_workers: int) -> list[list[Item]]:
    """The first point as a chunk of its own, then the others in chunks. The first point runs before
    the others start, so that a cold cache is filled once (the solver's tables take minutes to build)
    instead of by every worker at the same time."""
    return [list(items[:1])] + chunks(items[1:], n_workers) if len(items) > 1 else [list(items)]


def run_processes(setup: Setup, keys: Sequence[str], items: Sequence[Item], jobs: int,
                  on_outcome: Callable[[Outcome], None], mc: tuple[int, int] | None = None) -> None:
    """Chunks of points on a pool of ``jobs`` local worker processes."""
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        raise RuntimeError(_UNGUARDED)
    key = setup_key(setup)
    pool = _get_pool(jobs)
    first, *rest = first_alone(items, jobs)
    futures = [pool.submit(run_chunk, key, list(keys), first, mc)]
    try:
        for outcome in _chunk_result(futures[0]):
            on_outcome(outcome)
        futures = [pool.submit(run_chunk, key, list(keys), chunk, mc) for chunk in rest]
        for future in cf.as_completed(futures):
            for outcome in _chunk_result(future):
                on_outcome(outcome)
    except BaseException:
        for f in futures:
            f.cancel()
        # an interrupted or broken pool is not reused: its workers may still be busy or gone
        shutdown_workers()
        raise


_UNGUARDED = ("a worker process, importing the main script, reached a scan with local workers: keep the "
              "script's code under 'if __name__ == \"__main__\":' (worker processes import the main module)")


def run_parts(setup: Setup, keys: Sequence[str], parts: Sequence[Sequence[Item]], jobs: int) -> list[list[Outcome]]:
    """Each part on one of ``jobs`` local workers; the outcomes of every part, in part order."""
    key = setup_key(setup)
    # the pool keeps its size between calls, so its workers keep their sessions
    pool = _get_pool(jobs)
    futures = [pool.submit(run_chunk, key, list(keys), list(part)) for part in parts]
    try:
        return [_chunk_result(f) for f in futures]
    except BaseException:
        for f in futures:
            f.cancel()
        shutdown_workers()
        raise


def _chunk_result(future: Any) -> list[Outcome]:
    try:
        return future.result()
    except cf.process.BrokenProcessPool as e:
        raise RuntimeError("a scan worker process ended abruptly (the points finished so far are kept in the "
                           "checkpoint, if one was given); in a script without an 'if __name__ == \"__main__\":' "
                           "guard, worker processes cannot start") from e


def run_dask(client: Any, setup: Setup, keys: Sequence[str], items: Sequence[Item],
             on_outcome: Callable[[Outcome], None], mc: tuple[int, int] | None = None) -> None:
    """Chunks of points as tasks on a Dask cluster; every worker builds its solver once."""
    from distributed import as_completed

    threads = sum(client.nthreads().values()) or 1
    key = setup_key(setup)
    first, *rest = first_alone(items, threads)
    futures = [client.submit(run_chunk, key, list(keys), first, mc, pure=False)]
    try:
        for outcome in futures[0].result():
            on_outcome(outcome)
        futures = [client.submit(run_chunk, key, list(keys), chunk, mc, pure=False) for chunk in rest]
        for future in as_completed(futures):
            for outcome in future.result():
                on_outcome(outcome)
    except BaseException:
        client.cancel(futures)
        raise


def execute(setup: Setup, keys: Sequence[str], items: Sequence[Item], on_outcome: Callable[[Outcome], None], *,
            client: Any = None, jobs: int | None = None, mc: tuple[int, int] | None = None) -> None:
    """Evaluate ``items`` on the chosen engine; ``on_outcome`` sees each point as it finishes (in the
    order of completion, on the calling thread)."""
    if not items:
        return
    if client is not None:
        run_dask(client, setup, keys, items, on_outcome, mc)
        return
    workers = min(default_jobs() if jobs is None else jobs, len(items))
    if workers <= 1:
        run_serial(setup, keys, items, on_outcome, mc)
    else:
        run_processes(setup, keys, items, workers, on_outcome, mc)


def check_jobs(jobs: Any) -> int | None:
    if jobs is None:
        return None
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive int or None (all cores), not {jobs!r}")
    return jobs


def check_client(client: Any) -> Any:
    if client is not None and not (hasattr(client, "submit") and hasattr(client, "nthreads")):
        raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")
    return client

