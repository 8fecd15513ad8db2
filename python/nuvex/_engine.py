# Evaluation of many parameter points on solver sessions: in the calling thread, on local threads
# (one session each; the solver releases the interpreter lock while it runs) or on a Dask cluster.
from __future__ import annotations

import collections
import contextlib
import json
import math
import os
import queue
import threading
from typing import Any, Callable, Iterator, Mapping, Sequence

from ._runner import plain_seq, scalar
from .solver import Solver

# What a worker needs to build its solver: the keyword arguments of nuvex.Solver as plain JSON. A
# data_dir of None makes every worker locate its own data directory.
Setup = Mapping[str, Any]
Item = tuple[int, dict[str, Any]]             # (point index, parameter changes)
Outcome = tuple[int, "list[float] | None", "str | None"]  # (point index, values, error message)

_MAX_KEPT_SETUPS = 4  # fixed-parameter sets whose idle solvers are kept for the next call
solvers_built = 0     # in this process: how many solvers were built (the rest were reused)


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


class _IdleSolvers:
    """Solvers not in use, by set-up key. A task takes one (or has one built), uses it on its own
    thread and gives it back, so sessions survive between calls and tasks without ever serving two
    threads at once."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._idle: collections.OrderedDict[str, list[Solver]] = collections.OrderedDict()

    def take(self, key: str) -> Solver:
        global solvers_built
        with self._lock:
            idle = self._idle.get(key)
            if idle:
                self._idle.move_to_end(key)
                return idle.pop()
        solver = Solver(**json.loads(key))  # outside the lock: a cold first build takes a while
        with self._lock:
            solvers_built += 1
        return solver

    def give_back(self, key: str, solver: Solver) -> None:
        with self._lock:
            self._idle.setdefault(key, []).append(solver)
            self._idle.move_to_end(key)
            dropped = []
            while len(self._idle) > _MAX_KEPT_SETUPS:
                dropped += self._idle.popitem(last=False)[1]
        for s in dropped:
            s.close()

    def close(self) -> None:
        with self._lock:
            idle, self._idle = self._idle, collections.OrderedDict()
        for solvers in idle.values():
            for s in solvers:
                s.close()


_idle = _IdleSolvers()


@contextlib.contextmanager
def solver_for(key: str) -> Iterator[Solver]:
    """A solver for the fixed parameters ``key``, this thread's alone until the block ends."""
    solver = _idle.take(key)
    try:
        yield solver
    finally:
        _idle.give_back(key, solver)


def close_solvers() -> None:
    """Release the sessions kept for later calls (they are built again when needed)."""
    _idle.close()


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
    """Task entry point (Dask workers): evaluate a chunk of points on one solver."""
    with solver_for(key) as solver:
        return [(index, *evaluate(solver, keys, changes, mc)) for index, changes in items]


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
    with solver_for(setup_key(setup)) as solver:
        for index, changes in items:
            # alone, a point's Monte Carlo may use every core
            values, error = evaluate(solver, keys, changes, mc, mc_jobs=None)
            on_outcome((index, values, error))


def first_alone(items: Sequence[Item], n_workers: int) -> list[list[Item]]:
    """The first point as a chunk of its own, then the others in chunks. The first point runs before
    the others start, so that a cold cache is filled once (the solver's tables take minutes to build)
    instead of by every worker at the same time."""
    return [list(items[:1])] + chunks(items[1:], n_workers) if len(items) > 1 else [list(items)]


_DONE = object()


def run_threads(setup: Setup, keys: Sequence[str], parts: Sequence[Sequence[Item]], jobs: int,
                on_outcome: Callable[[Outcome], None], mc: tuple[int, int] | None = None) -> None:
    """The parts on ``jobs`` threads of this process, each with a solver of its own; ``on_outcome``
    runs on the calling thread, which stays responsive to Ctrl-C: an interrupt cancels the runs in
    progress, waits for the threads and raises."""
    key = setup_key(setup)
    pending = collections.deque(parts)
    results: queue.SimpleQueue[Any] = queue.SimpleQueue()
    stop = threading.Event()
    lock = threading.Lock()
    running: list[Solver] = []

    def work() -> None:
        try:
            with solver_for(key) as solver:
                with lock:
                    running.append(solver)
                try:
                    while not stop.is_set():
                        try:
                            part = pending.popleft()
                        except IndexError:
                            break
                        for index, changes in part:
                            if stop.is_set():
                                break
                            results.put((index, *evaluate(solver, keys, changes, mc)))
                finally:
                    with lock:
                        running.remove(solver)
        except BaseException as e:  # a failure of the engine, not of a point: the caller raises it
            results.put(e)
        finally:
            results.put(_DONE)

    threads = [threading.Thread(target=work, name=f"nuvex-worker-{i}", daemon=True)
               for i in range(max(1, min(jobs, len(parts))))]
    try:
        for t in threads:  # a Ctrl-C may come while the later threads are being started
            t.start()
        finished = 0
        while finished < len(threads):
            try:
                got = results.get(timeout=0.2)  # wakes up for Ctrl-C on any platform
            except queue.Empty:
                continue
            if got is _DONE:
                finished += 1
            elif isinstance(got, BaseException):
                raise got
            else:
                on_outcome(got)
    except BaseException:
        stop.set()
        with lock:
            for solver in running:
                solver.cancel()
        for t in threads:
            if t.ident is not None or t.is_alive():
                t.join()
        raise
    for t in threads:
        t.join()


def run_parts(setup: Setup, keys: Sequence[str], parts: Sequence[Sequence[Item]], jobs: int) -> list[list[Outcome]]:
    """Each part on one of ``jobs`` local threads; the outcomes of every part, in part order."""
    got: dict[int, Outcome] = {}
    run_threads(setup, keys, parts, jobs, lambda o: got.__setitem__(o[0], o))
    return [[got[index] for index, _ in part] for part in parts]


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
        return
    first, *rest = first_alone(items, workers)
    run_serial(setup, keys, first, on_outcome, mc)
    run_threads(setup, keys, rest, workers, on_outcome, mc)


def check_jobs(jobs: Any) -> int | None:
    if jobs is None:
        return None
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive int or None (all cores), not {jobs!r}")
    return jobs


def check_client(client: Any) -> Any:
    if client is not None and not (hasattr(client, "submit") and hasattr(client, "nthreads")):
        raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")
    # a closed client fails deep inside distributed with errors that name nothing of ours
    status = getattr(client, "status", None)
    status = getattr(status, "name", status)  # a str, or an enum member in other distributed versions
    if client is not None and status in ("closing", "closed"):
        raise RuntimeError(f"the Dask client is {status} (client.close() was called, or its cluster shut down): "
                           "pass an open distributed.Client, or client=None to run on local workers")
    return client

