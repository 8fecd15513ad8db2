# NUVEX, Big Bang Nucleosynthesis in Python: single runs, Monte Carlo uncertainties, repeated runs
# with fixed parameters, and plots, over the compiled solver module _nuvex_c.
"""NUVEX: Big Bang Nucleosynthesis.

>>> import nuvex
>>> r = nuvex.run(Omegabh2=0.02242, tau_n=878.4)
>>> r.Yp, r.DoH, r.Neff

``nuvex.run(**params)`` runs once and returns a :class:`Result`; ``nuvex.defaults()`` lists every
parameter with its default, unit and meaning; ``nuvex.rate_sets()`` the nuclear rate sets that
``rate_set=`` selects; ``nuvex.monte_carlo(n, ...)`` samples the nuclear-rate
and neutron-lifetime uncertainties; ``nuvex.Solver(**fixed).run(**changes)`` repeats runs cheaply;
``nuvex.plot_schramm()`` draws abundances against the baryon density; ``nuvex.scan(axes, ...)`` evaluates
grids of parameters (locally or on a Dask cluster), ``nuvex.sensitivities()`` the logarithmic
derivatives of the abundances, and ``nuvex.tables`` writes BBN tables for CLASS and CAMB; ``nuvex.likelihood``, ``nuvex.sample`` and
``nuvex.grid_posterior`` infer Omega_b h^2 and Delta N_eff from observed abundances (``nuvex.observations``);
``nuvex.relic_bounds`` gives Neff, Yp, D/H and the BBN exclusion of an MeV-scale thermal relic. Log lines go to the ``logging``
logger ``"nuvex"``; nothing is printed on standard output unless ``verbose=True``.

The package is built in layers. A module imports only modules of its own layer (without a circle)
or of lower layers, and uses no other module's private names (``_name``); ``__init__`` and
``__main__`` stand above every layer. ``tests/python/test_layers.py`` checks the import graph
against this list, so every new module is placed here:

1. parameters and data: _version, _ext (the compiled solver), _lazy (numpy on first use), _errors
   (failures named after the user's call), _params, _data, _quantities (names of the result
   quantities), notation (reactions in nuclear notation), conversions, observations (measured
   abundances), _progress (log lines and progress bars), _provenance, _output (the one writer of
   output files), _checkpoint
1. figures, a leaf of the first layer that draws whatever result object it is handed: plots
2. one run: _runner (nuvex.run), result (Result, Evolution, MCResult)
3. the session: solver (nuvex.Solver, repeated runs on one solver session)
4. the engine running many points, on local threads or Dask workers: _engine, _dask
5. applications: mc, scan, sensitivity, tables, inference, chain, schramm, relics, web (the web calculator),
   cli (the nuvex command, which imports its subcommands by name when they run)
"""
from ._data import RateSet, RateSetEntry, cache_dir, data_dir, rate_sets
from ._params import ParamSpec, defaults
from ._runner import run
from ._version import __version__
from .conversions import Omegabh2_from_eta10, eta10, eta10_per_Omegabh2
from .result import Evolution, MCResult, Result
from .scan import ScanResult, scan
from .solver import Solver

# The applications load on first use (PEP 562), so that `import nuvex; nuvex.run()` pays only for
# what a run needs. `scan` is imported above: its module shares its name, and a first import of the
# module from elsewhere would otherwise leave `nuvex.scan` bound to the module, not the function.
_ON_FIRST_USE = {
    "monte_carlo": "mc", "Chain": "chain", "GridPosterior": "chain", "Likelihood": "inference",
    "grid_posterior": "inference", "likelihood": "inference", "sample": "inference", "RelicBounds": "relics",
    "relic_bounds": "relics", "plot_schramm": "schramm", "Sensitivities": "sensitivity",
    "sensitivities": "sensitivity",
}
_MODULES = ("observations", "tables")

__all__ = [
    "__version__", "run", "monte_carlo", "defaults", "Solver", "Result", "Evolution", "MCResult", "ParamSpec",
    "plot_schramm", "data_dir", "cache_dir", "rate_sets", "RateSet", "RateSetEntry", "eta10", "Omegabh2_from_eta10", "eta10_per_Omegabh2",
    "scan", "ScanResult", "sensitivities", "Sensitivities", "tables",
    "relic_bounds", "RelicBounds",
    "observations", "likelihood", "Likelihood", "sample", "Chain", "grid_posterior", "GridPosterior",
]


def __getattr__(name: str):
    import importlib

    if name in _MODULES:  # nuvex.tables on first use also lets `python3 -m nuvex.tables` run it fresh
        return importlib.import_module("." + name, __name__)
    module = _ON_FIRST_USE.get(name)
    if module is None:
        raise AttributeError(f"module 'nuvex' has no attribute {name!r}")
    value = getattr(importlib.import_module("." + module, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
