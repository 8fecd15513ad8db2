# Monte Carlo on a Dask cluster: the samples cut into blocks by sample index, each block computed by a
# worker's cached solver; sample k depends only on the seed and k, so the result equals a local run.
from __future__ import annotations

import math
from typing import Any, Mapping, Sequence

from . import _engine
from ._ext import ext
from ._progress import Reporter
from .result import MCResult


def mc_block(key: str, keys: Sequence[str], seed: int, first: int, count: int) -> list[list[float]]:
    """Samples ``first`` .. ``first + count - 1`` of every quantity (worker side)."""
    with _engine.solver_for(key) as solver:
        return solver.samples(keys, seed, first, count)


def central_values(key: str, keys: Sequence[str]) -> list[float]:
    """The unperturbed run's quantities (worker side)."""
    with _engine.solver_for(key) as solver:
        values, error = _engine.evaluate(solver, keys, {})
    if error is not None:
        raise RuntimeError(f"the central run of the Monte Carlo failed: {error}")
    return values  # type: ignore[return-value]


def blocks(n: int, size: int) -> list[tuple[int, int]]:
    return [(first, min(size, n - first)) for first in range(0, n, size)]


def monte_carlo(client: Any, n: int, names: Sequence[str], keys: Sequence[str], seed: int, setup: Mapping[str, Any],
                block_size: int | None, progress: bool, local: tuple[dict[str, Any], str, Any]) -> MCResult:
    """Run ``n`` samples on the cluster behind ``client`` and assemble them as a local run would.

    ``setup``: the workers' solver keywords; ``local``: the checked parameters, data directory and
    custom network of this process, used to assemble the result.
    """
    from distributed import as_completed

    threads = sum(client.nthreads().values()) or 1
    size = block_size or max(1, math.ceil(n / (4 * threads)))
    key = _engine.setup_key(setup)
    # the central run goes first and alone: a cold cache is then filled once, not by every worker
    central = client.submit(central_values, key, list(keys), pure=False)
    futures: dict[Any, tuple[int, int]] = {}
    samples = [[math.nan] * n for _ in keys]
    done = 0
    try:
        centrals = central.result()
        futures = {client.submit(mc_block, key, list(keys), seed, first, count, pure=False): (first, count)
                   for first, count in blocks(n, size)}
        with Reporter(bars=progress) as rep:
            rep.on_progress("mc", 0, n)
            for future in as_completed(list(futures)):
                first, count = futures[future]
                for q, vals in enumerate(future.result()):
                    samples[q][first:first + count] = vals
                done += count
                rep.on_progress("mc", done, n)
    except BaseException:
        client.cancel(list(futures) + [central])
        raise
    params, directory, custom = local
    # The statistics come from the solver itself, handed every sample as given (nothing is computed),
    # so that mean and standard deviation are those of a local run to the last bit.
    raw = ext.run_mc(params, directory, n, list(keys), seed, 1, custom, centrals, samples, 0)
    return MCResult(raw, names, keys, n, seed, params)
