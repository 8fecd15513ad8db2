# Parameter scans: the Cartesian product of named axes (or a list of points) evaluated with one solver
# session per worker, on threads of this process or on a Dask cluster, with resumable checkpoints.
from __future__ import annotations

import itertools
import math
import os
from dataclasses import dataclass
from typing import Any, Iterable, Mapping, Sequence

from ._lazy import numpy as np
from . import _engine
from ._checkpoint import Checkpoint
from ._params import CALL_KEYWORDS
from ._progress import Reporter
from ._provenance import NOT_PHYSICS, data_fingerprint
from ._quantities import DEFAULT_QUANTITIES, check_count, check_quantities
from ._runner import plain_seq, prepare, resolve_data_dir, scalar


@dataclass(frozen=True)
class FailedPoint:
    """A point whose run failed: its index in the scan's shape, its parameters and the message."""

    index: tuple[int, ...]
    params: dict[str, Any]
    message: str


class ScanResult:
    """The outcome of :func:`nuvex.scan`.

    ``values[name]`` (also ``result[name]``) is a float64 array of the quantity shaped by the axes,
    in axis order (the last axis varies fastest), NaN where a point failed; ``axes`` maps each axis
    name to its values (empty for a list of points, whose shape is ``(n_points,)``); ``points`` lists
    the parameter changes of every point in flat (C) order; ``failed`` the failed points with their
    messages; ``params`` the fixed parameters.
    """

    def __init__(self, axes: Mapping[str, np.ndarray], points: list[dict[str, Any]], shape: tuple[int, ...],
                 names: Sequence[str], values: np.ndarray, errors: Mapping[int, str], params: Mapping[str, Any]):
        self.axes = dict(axes)
        self.points = points
        self.shape = shape
        self.quantities = tuple(names)
        self.values = {name: values[:, q].reshape(shape) for q, name in enumerate(names)}
        self.failed = [FailedPoint(tuple(int(i) for i in np.unravel_index(flat, shape)), dict(points[flat]), msg)
                       for flat, msg in sorted(errors.items())]
        self.params = dict(params)

    @property
    def ok(self) -> np.ndarray:
        """Boolean array shaped by the axes: True where the point ran."""
        mask = np.ones(self.shape, dtype=bool)
        for f in self.failed:
            mask[f.index] = False
        return mask

    def __getitem__(self, name: str) -> np.ndarray:
        if name in self.values:
            return self.values[name]
        raise KeyError(f"{name!r} is not a quantity of this scan (it has {', '.join(self.quantities)})")

    def __repr__(self) -> str:
        what = " x ".join(f"{k}[{len(v)}]" for k, v in self.axes.items()) or f"{len(self.points)} points"
        lines = [f"nuvex.ScanResult ({what}; {len(self.failed)} failed)"]
        for name, arr in self.values.items():
            finite = arr[np.isfinite(arr)]
            rng = f"{finite.min():.6g} .. {finite.max():.6g}" if finite.size else "no values"
            lines.append(f"  {name}: {rng}")
        for f in self.failed[:5]:
            lines.append(f"  failed {f.params}: {f.message}")
        if len(self.failed) > 5:
            lines.append(f"  ... {len(self.failed) - 5} more failed points")
        return "\n".join(lines)


def _grid(axes: Mapping[str, Any]) -> tuple[dict[str, list[Any]], list[dict[str, Any]], tuple[int, ...]]:
    grid: dict[str, list[Any]] = {}
    for name, values in axes.items():
        if not isinstance(name, str):
            raise TypeError(f"axis names must be parameter keys (str), not {type(name).__name__}")
        if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
            raise TypeError(f"axis {name!r} must be a sequence of values, not {type(values).__name__}")
        grid[name] = [scalar(f"axis {name!r}", v) for v in plain_seq(values)]
        if not grid[name]:
            raise ValueError(f"axis {name!r} has no values")
    if not grid:
        raise ValueError("axes must name at least one parameter")
    shape = tuple(len(v) for v in grid.values())
    check_size(shape)
    points = [dict(zip(grid, combo)) for combo in itertools.product(*grid.values())]
    return grid, points, shape


# The largest scan run in one call: every point holds its parameters and results in memory (about
# 1 kB each), and a million points take 20 minutes at the measured 700 runs/s on two cores.
MAX_POINTS = 1_000_000


def check_size(shape: Sequence[int]) -> None:
    """ValueError stating the size of a grid and the limit when it has more than MAX_POINTS points."""
    total = math.prod(int(n) for n in shape)
    if total > MAX_POINTS:
        dims = " x ".join(str(int(n)) for n in shape)
        raise ValueError(f"the grid has {total} points ({dims}); a scan takes at most {MAX_POINTS} points in one call: "
                         "use coarser axes or split the scan")


def _point_list(points: Sequence[Any]) -> list[dict[str, Any]]:
    out = []
    for i, point in enumerate(points):
        if not isinstance(point, Mapping):
            raise TypeError(f"point {i} must be a dict of parameter changes, not {type(point).__name__}")
        out.append({k: scalar(f"point {i}, key {k!r}", v) for k, v in point.items()})
    if not out:
        raise ValueError("the list of points is empty")
    return out


def _points(axes: Any) -> tuple[dict[str, list[Any]], list[dict[str, Any]], tuple[int, ...]]:
    if isinstance(axes, Mapping):
        return _grid(axes)
    if isinstance(axes, Sequence) and not isinstance(axes, (str, bytes)):
        check_size((len(axes),))
        points = _point_list(axes)
        return {}, points, (len(points),)
    raise TypeError("axes must be a dict {parameter: values} or a list of dicts of parameter changes")


def _check_names(points: list[dict[str, Any]], fixed: Mapping[str, Any]) -> None:
    names = {k for p in points for k in p}
    for name in sorted(names):
        if name in CALL_KEYWORDS:
            raise ValueError(f"{name!r} cannot vary within a scan (it is fixed for the whole scan)")
        if name in fixed:
            raise ValueError(f"{name!r} is both scanned and fixed; remove it from the fixed parameters")


def scan(axes: Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]],
         quantities: Sequence[str] = DEFAULT_QUANTITIES, *, client: Any = None, jobs: int | None = None,
         checkpoint: str | os.PathLike[str] | None = None, progress: bool = True, mc: int = 0, seed: int = 0,
         custom_network: Mapping[str, Any] | None = None, extra_rho_T: Any = None, extra_rho_val: Any = None,
         data_dir: str | os.PathLike[str] | None = None, **fixed: Any) -> ScanResult:
    """Evaluate result quantities over a grid of parameters.

    ``axes``: ``{"Omegabh2": [...], "DeltaNeff": [...]}`` scans the Cartesian product, the last axis
    varying fastest, and the arrays of the result have the shape ``(len(axis1), len(axis2), ...)``; a
    list of dicts scans exactly those points (shape ``(n_points,)``). Axis names are parameter keys
    of :func:`nuvex.run`, including ``p_<reaction>`` and ``delta_<reaction>``. ``quantities``: result
    quantities or nuclide names, as for :func:`nuvex.monte_carlo`. Other keywords are fixed
    parameters for every point.

    Engines: ``client`` (a ``distributed.Client``) runs the points on that Dask cluster; otherwise
    ``jobs`` threads of this process (None: one per core; 1: the calling thread), each with a solver
    session of its own (the solver releases the interpreter lock while it runs, so threads use as many
    cores). Sessions are built for the fixed parameters once and kept for later points and later calls.
    A point's numbers depend only on its parameters, never on the engine, the number of workers or the
    order of completion. No ``if __name__ == "__main__":`` guard is needed, in scripts or notebooks.

    ``checkpoint``: a file that receives one line per finished point as soon as it finishes. Given
    again after an interruption, the scan resumes: finished points are read back and only the
    missing ones run. A checkpoint written for other fixed parameters, axes or quantities, or from a
    data directory whose contents changed since, is refused; so is a checkpoint whose point lines were
    edited (each carries a checksum), repeat a point or hold an index that is not an integer.

    A point that fails (a refused parameter value, an integrator failure) gets NaN in the arrays and
    is listed in ``ScanResult.failed`` with its message; the scan goes on.

    ``mc`` > 0 makes every point a Monte Carlo of ``mc`` samples (seed ``seed``, as
    :func:`nuvex.monte_carlo`): the arrays then hold the central values, and ``<name>_std`` arrays
    the sample standard deviations.
    """
    jobs = _engine.check_jobs(jobs)
    mc_blocks = _mc_blocks(mc, seed)
    client = _engine.check_client(client)
    grid, points, shape = _points(axes)
    _check_names(points, fixed)
    setup = _engine.solver_setup(fixed, custom_network, extra_rho_T, extra_rho_val, data_dir)
    directory = resolve_data_dir(data_dir)
    names, keys = check_quantities(quantities, directory)
    # key names and rate-variation values are checked here, before any worker starts
    every_key = {k: v for p in points for k, v in p.items()}
    prepare({**fixed, **every_key}, directory, custom_network)

    width = len(keys) * (2 if mc_blocks else 1)
    values = np.full((len(points), width), np.nan)
    errors: dict[int, str] = {}
    ckpt = None
    if checkpoint is not None:
        ckpt = Checkpoint(checkpoint, _description(setup, keys, mc_blocks, grid, points), len(points), width,
                          _data_identity(directory, setup))
    try:
        if ckpt is not None:
            for index, (vals, error) in ckpt.done.items():
                _store(values, errors, index, vals, error)
        todo = [(i, p) for i, p in enumerate(points) if ckpt is None or i not in ckpt.done]
        _run(setup, keys, todo, values, errors, ckpt, client, jobs, progress, len(points), mc_blocks)
    finally:
        if ckpt is not None:
            ckpt.close()
    axes_out = {k: np.asarray(v) for k, v in grid.items()}
    if mc_blocks:
        names = list(names) + [f"{n}_std" for n in names]
    params = {k: v for k, v in setup.items() if k != "show_progress"}
    return ScanResult(axes_out, points, shape, names, values, errors, params)


def _data_identity(directory: str, setup: Mapping[str, Any]) -> str:
    """The content fingerprint of the data a scan reads: the data directory and, when given, the
    user's directory of nuclear rate tables."""
    identity = data_fingerprint(directory)
    user = setup.get("user_nuclear_dir")
    if isinstance(user, str) and os.path.isdir(os.path.expanduser(user)):
        identity += "+" + data_fingerprint(os.path.expanduser(user))
    return identity


def _description(setup: Mapping[str, Any], keys: Sequence[str], mc: tuple[int, int] | None,
                 grid: Mapping[str, list[Any]], points: list[dict[str, Any]]) -> dict[str, Any]:
    """What a scan's numbers depend on, the identity of its checkpoint: a resume may change the cache
    directory or the logging, nothing else."""
    out: dict[str, Any] = {"fixed": {k: v for k, v in setup.items() if k not in NOT_PHYSICS}, "quantities": list(keys)}
    if mc:
        out["mc"] = list(mc)
    if grid:
        out["axes"] = [[k, v] for k, v in grid.items()]
    else:
        out["points"] = points
    return out


def _mc_blocks(mc: Any, seed: Any) -> tuple[int, int] | None:
    mc = check_count("mc", mc, 0)
    seed = check_count("seed", seed, 0)
    return (mc, seed) if mc > 0 else None


def _store(values: np.ndarray, errors: dict[int, str], index: int, vals: Sequence[float] | None,
           error: str | None) -> None:
    if error is not None:
        errors[index] = error
    else:
        values[index, :] = vals


def _run(setup: Mapping[str, Any], keys: Sequence[str], todo: list[tuple[int, dict[str, Any]]], values: np.ndarray,
         errors: dict[int, str], ckpt: Checkpoint | None, client: Any, jobs: int | None, progress: bool,
         total: int, mc: tuple[int, int] | None) -> None:
    done = total - len(todo)
    with Reporter(bars=bool(progress) and bool(todo)) as rep:
        rep.on_progress("scan", done, total)

        def on_outcome(outcome: _engine.Outcome) -> None:
            nonlocal done
            index, vals, error = outcome
            if ckpt is not None:
                ckpt.append(index, vals, error)
            _store(values, errors, index, vals, error)
            done += 1
            rep.on_progress("scan", done, total)

        _engine.execute(setup, keys, todo, on_outcome, client=client, jobs=jobs, mc=mc)

