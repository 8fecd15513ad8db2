# The Schramm plot as an application: one Monte Carlo (or one run) per value of Omega_b h^2, then the
# figure of abundances against the baryon density drawn by nuvex.plots.
from __future__ import annotations

from typing import Any, Iterable, Sequence

import numpy as np

from . import plots
from ._quantities import check_count
from .mc import monte_carlo
from .solver import Solver


def schramm_runs(Omegabh2: Sequence[float] | None, n: int, quantities: Sequence[str], seed: int,
                 jobs: int | None, progress: bool, params: dict[str, Any]) -> list[Any]:
    """One Monte Carlo (n >= 1) or one run (n = 0) per value of Omega_b h^2."""
    grid = np.geomspace(0.004, 0.04, 10) if Omegabh2 is None else np.asarray(Omegabh2, dtype=float)
    points: Iterable[float] = grid
    if progress:
        from tqdm.auto import tqdm

        points = tqdm(grid, desc="Schramm plot", unit=" points")
    if n == 0:
        with Solver(**params) as solver:
            return [solver.run(Omegabh2=float(ob)) for ob in points]
    return [monte_carlo(n, quantities, seed=seed, jobs=jobs, progress=False, Omegabh2=float(ob), **params)
            for ob in points]


def plot_schramm(Omegabh2: Sequence[float] | None = None, n: int = 50, *, runs: Sequence[Any] | None = None,
                 quantities: Sequence[str] = ("Yp", "DoH", "He3oH", "Li7oH"), level: float = 0.95, seed: int = 0,
                 jobs: int | None = None, progress: bool = True, fig: Any = None, observations: Any = True,
                 cmb: Any = True, **params: Any) -> Any:
    """The Schramm plot: primordial abundances against Omega_b h^2, eta_10 on a second axis.

    Either give ``runs`` (a list of :class:`~nuvex.MCResult` or :class:`~nuvex.Result`, one per
    Omega_b h^2, read from their parameters) or let it compute them: one Monte Carlo of ``n`` samples
    (``n=0``: single runs) at every value of ``Omegabh2`` (default 10 values from 0.004 to 0.04), with
    the other keywords as parameters. Lines are the central values; bands hold the central
    ``level`` fraction of the Monte Carlo samples. Yp is drawn linearly, the ratios logarithmically.

    ``observations``: the measured abundances drawn as horizontal 1-sigma bands on their panels
    (True: ``nuvex.observations.DEFAULT``, D/H of Cooke et al. 2018 and Yp of Aver et al. 2021; False:
    none; or anything :func:`nuvex.likelihood` accepts). ``cmb``: the CMB baryon density as a
    vertical band (True: ``nuvex.observations.CMB_OMEGABH2``, Planck 2018; False: none; or a
    :class:`nuvex.observations.Measurement`). Returns the Figure.
    """
    if runs is None:
        n = check_count("n", n, 0)
        runs = schramm_runs(Omegabh2, n, quantities, seed, jobs, progress, params)
    elif params or Omegabh2 is not None:
        given = sorted(params) + (["Omegabh2"] if Omegabh2 is not None else [])
        raise TypeError(f"plot_schramm: {', '.join(given)} apply only when it computes the runs; the given runs "
                        "carry their own parameters")
    return plots.schramm(runs, quantities, level, fig, observations=observations, cmb=cmb)


__all__ = ["plot_schramm"]
