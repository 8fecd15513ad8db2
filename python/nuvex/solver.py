# A solver with fixed parameters for repeated runs: it keeps the solver's expensive state (tables,
# network, background) between runs that change a few parameters, when the extension offers sessions.
from __future__ import annotations

import os
from typing import Any, Callable, Mapping, Sequence

from ._ext import HAS_SESSION, ext
from ._params import CALL_KEYWORDS, check_keys, expand_relic
from ._quantities import DEFAULT_QUANTITIES, check_count, check_quantities
from ._runner import hooks, plain, plain_seq, prepare, reactions, reporter_for, resolve_data_dir
from .result import MCResult, Result


ProgressHook = Callable[[str, float, float], None]


def _with_progress(h: dict[str, Any], extra: ProgressHook | None) -> dict[str, Any]:
    """The reporter's hooks with a caller's progress hook called after the reporter's own."""
    if extra is None:
        return h
    own = h["on_progress"]

    def both(stage: str, done: float, total: float) -> None:
        own(stage, done, total)
        extra(stage, done, total)

    return {**h, "on_progress": both}


class Solver:
    """Repeated runs that share fixed parameters.

    ``Solver(**fixed)`` takes the keyword arguments of :func:`nuvex.run`; ``solver.run(**changes)``
    runs with some parameters changed and returns the same :class:`~nuvex.Result` as
    ``nuvex.run(**fixed, **changes)``, bit for bit. With a solver session in the extension the
    tables, network and background survive between runs and only what a change affects is rebuilt,
    which makes scans several times faster; without it every run starts afresh. ``custom_network``,
    ``extra_rho_T``, ``extra_rho_val`` and ``data_dir`` are fixed for the solver's lifetime.

    A solver serves one thread at a time: give each thread its own. Use it as a context manager, or
    call :meth:`close`, to release the session's memory early.
    """

    def __init__(self, *, custom_network: Mapping[str, Any] | None = None, extra_rho_T: Any = None,
                 extra_rho_val: Any = None, data_dir: str | os.PathLike[str] | None = None, **params: Any) -> None:
        self._data_dir = resolve_data_dir(data_dir)
        self._custom = custom_network
        self._rho = (plain_seq(extra_rho_T), plain_seq(extra_rho_val))
        self._fixed = prepare(params, self._data_dir, custom_network)
        self._closed = False
        self._session = None
        if HAS_SESSION:
            self._session = ext.Session(self._fixed, self._data_dir, custom_network, *self._rho)

    @property
    def params(self) -> dict[str, Any]:
        """The fixed parameters, as handed to the solver (package defaults included)."""
        return dict(self._fixed)

    @property
    def uses_session(self) -> bool:
        """True when runs reuse a solver session (the extension offers them)."""
        return self._session is not None

    def _changes(self, changes: Mapping[str, Any]) -> dict[str, Any]:
        if self._closed:
            raise RuntimeError("this Solver is closed")
        fixed_only = [k for k in changes if k in CALL_KEYWORDS]
        if fixed_only:
            raise ValueError(f"{fixed_only[0]} is fixed when the Solver is made; make a new Solver to change it")
        changes = expand_relic(changes)
        check_keys(changes, reactions(self._data_dir, {**self._fixed, **changes}, self._custom))
        return {k: plain(v) for k, v in changes.items()}

    def run(self, *, on_progress: ProgressHook | None = None, **changes: Any) -> Result:
        """Run with the fixed parameters updated by ``changes``; returns a :class:`~nuvex.Result`.

        ``on_progress(stage, done, total)``, when given, is called on this thread as the run
        progresses: "electron", "qed", "weak", "thermal" while tables are built, then "HT", "MT",
        "LT", "done". An exception it raises stops the run and propagates from here (servers use it
        to stop work nobody waits for).
        """
        delta = self._changes(changes)
        merged = {**self._fixed, **delta}
        with reporter_for(merged) as rep:
            h = _with_progress(hooks(rep), on_progress)
            if self._session is not None:
                raw = self._session.run(delta, **h)
            else:
                raw = ext.run_bbn(merged, self._data_dir, self._custom, 0, *self._rho, **h)
        return Result(raw, merged)

    def monte_carlo(self, n: int, quantities: Sequence[str] = DEFAULT_QUANTITIES, *, seed: int = 0,
                    jobs: int | None = None, progress: bool = True, on_progress: ProgressHook | None = None,
                    **changes: Any) -> MCResult:
        """Monte Carlo as :func:`nuvex.monte_carlo`, with the fixed parameters updated by ``changes``.

        ``on_progress`` as for :meth:`run`, with the stage "mc" for the samples.
        """
        n = check_count("n", n, 1)
        seed = check_count("seed", seed, 0)
        n_jobs = -1 if jobs is None else check_count("jobs", jobs, 1)
        names, keys = check_quantities(quantities, self._data_dir)
        delta = self._changes(changes)
        merged = {**self._fixed, **delta}
        # the solver reports the samples' progress when a bar or a hook wants it
        report = int(bool(progress) or on_progress is not None)
        with reporter_for(merged, bars=progress) as rep:
            h = _with_progress(hooks(rep), on_progress)
            if self._session is not None and not delta:
                raw = self._session.mc(n, keys, seed, n_jobs, 0, progress=report, **h)
            else:
                if self._rho != (None, None):
                    raise ValueError("a Monte Carlo with an extra energy density needs a solver session")
                raw = ext.run_mc({**merged, "show_progress": False}, self._data_dir, n, keys, seed, n_jobs, self._custom, None, None,
                                 report, **h)
        return MCResult(raw, names, keys, n, seed, merged)

    def samples(self, keys: Sequence[str], seed: int, first: int, count: int) -> list[list[float]]:
        """Monte Carlo samples ``first`` .. ``first + count - 1`` of every quantity (solver keys), on
        this thread: sample k depends only on the seed and k, so blocks computed anywhere concatenate
        to the samples of one run."""
        if self._closed:
            raise RuntimeError("this Solver is closed")
        keys = list(keys)
        if self._session is not None and hasattr(self._session, "mc"):
            raw = self._session.mc(count, keys, seed, 1, first)
            return [list(raw[k]["values"]) for k in keys]
        if self._rho != (None, None):
            raise ValueError("a Monte Carlo with an extra energy density needs a solver session")
        # Without a session the solver's Monte Carlo continues an earlier run when handed that run's
        # first samples: slots before `first` are taken as given (placeholders), the others computed.
        placeholders = ([0.0] * len(keys), [[0.0] * first for _ in keys]) if first > 0 else (None, None)
        raw = ext.run_mc({**self._fixed, "show_progress": False}, self._data_dir, first + count, keys, seed, 1,
                         self._custom, *placeholders, 0)
        return [list(raw[k]["values"][first:]) for k in keys]

    def cancel(self) -> None:
        """Cancel the run in progress on another thread, if any: it raises ``KeyboardInterrupt`` in
        that thread. The solver stays usable."""
        cancel = getattr(self._session, "cancel", None)
        if cancel is not None:
            cancel()

    def close(self) -> None:
        """Release the session; later runs raise ``RuntimeError``."""
        if self._session is not None:
            close = getattr(self._session, "close", None)
            if close is not None:
                close()
            self._session = None
        self._closed = True

    def __enter__(self) -> "Solver":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("session" if self._session is not None else "fresh runs")
        return f"nuvex.Solver({len(self._fixed)} fixed parameters, {state})"
