# Monte Carlo uncertainties: the solver's threaded sampling of perturbed reaction rates and neutron
# lifetime in this process, or blocks of samples on a Dask cluster; numpy samples with statistics.
from __future__ import annotations

import os
from typing import Any, Mapping, Sequence

from . import _dask, _engine
from ._errors import user_call
from ._ext import ext
from ._quantities import DEFAULT_QUANTITIES, check_count, check_quantities
from ._runner import hooks, prepare, reporter_for, resolve_data_dir
from .result import MCResult


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
    if block_size is not None:
        block_size = check_count("block_size", block_size, 1)
    setup = _engine.solver_setup(params, custom_network, None, None, data_dir)
    return _dask.monte_carlo(_engine.check_client(client), n, names, keys, seed, setup, block_size, progress, local)


__all__ = ["MCResult", "monte_carlo", "DEFAULT_QUANTITIES", "check_count", "check_quantities"]
