# Single runs: keyword parameters checked and completed with the package's defaults (data and cache
# directories, no stray output file), the extension call with its reporter, and the Result.
from __future__ import annotations

import os
from typing import Any, Mapping

from . import _data
from ._ext import ext
from ._errors import user_call
from ._params import PARAMS, check_custom_network, check_keys, check_types, expand_relic
from ._progress import Reporter
from .result import Result

_PATH_KEYS = frozenset(k for k, p in PARAMS.items() if p.unit == "path")


def plain(value: Any) -> Any:
    """numpy scalars as Python numbers, path objects as text: what the extension accepts."""
    if hasattr(value, "dtype") and hasattr(value, "item") and getattr(value, "ndim", None) == 0:
        return value.item()
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    return value


def scalar(where: str, value: Any) -> Any:
    """A parameter value of a scan point or a worker's set-up: a plain number, bool, str or None."""
    value = plain(value)
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    raise TypeError(f"{where}: a parameter value must be a number, bool, str or None, not {type(value).__name__}")


def reactions(directory: str, params: Mapping[str, Any], custom_network: Any) -> frozenset[str] | None:
    """Reaction names the rate-variation keys may name; None when a user nuclear directory may add any."""
    if params.get("user_nuclear_dir"):
        return None
    names = _data.reaction_names(directory)
    if not names:
        return None
    if isinstance(custom_network, Mapping):
        for part in ("replaced", "added"):
            extra = custom_network.get(part)
            if isinstance(extra, Mapping):
                names = names | frozenset(k for k in extra if isinstance(k, str))
    return names


def resolve_data_dir(data_dir: Any) -> str:
    if data_dir is None:
        return _data.data_dir()
    return os.fspath(data_dir)


def prepare(params: Mapping[str, Any], data_dir: str, custom_network: Any = None,
            extra_ok: tuple[str, ...] = ()) -> dict[str, Any]:
    """The parameter dictionary handed to the solver: checked keys, plain values, package defaults."""
    params = expand_relic(params)
    names = reactions(data_dir, params, custom_network)
    check_keys(params, names, extra_ok)
    check_custom_network(custom_network, names)
    out = {k: plain(v) for k, v in params.items() if k not in extra_ok}
    check_types(out)
    if out.get("cache_dir") is None:
        out["cache_dir"] = _data.cache_dir()
    out.setdefault("output_file", None)
    return out


def reporter_for(params: Mapping[str, Any], bars: bool | None = None) -> Reporter:
    verbose = bool(params.get("verbose", False))
    show = params.get("show_progress", True) if bars is None else bars
    return Reporter(verbose=verbose, bars=bool(show))


def hooks(reporter: Reporter) -> dict[str, Any]:
    return {"on_message": reporter.on_message, "on_progress": reporter.on_progress,
            "message_level": reporter.message_level}


def run(*, custom_network: Mapping[str, Any] | None = None, extra_rho_T: Any = None, extra_rho_val: Any = None,
        data_dir: str | os.PathLike[str] | None = None, **params: Any) -> Result:
    """Run one nucleosynthesis computation and return its :class:`~nuvex.Result`.

    Parameters are keyword arguments named as in :func:`nuvex.defaults` (``Omegabh2``, ``tau_n`` in
    seconds, ``DeltaNeff``, ``network``, ``numerical_precision``, ...), plus ``p_<reaction>`` and
    ``delta_<reaction>`` rate variations. ``relic=dict(mass_MeV=..., g=..., spin=..., couples_to=...)``
    adds an MeV-scale thermal relic (the same as the flat ``relic_*`` keys). An unknown name raises ``ValueError`` naming it and the
    closest valid names; a value of the wrong type or out of range raises ``ValueError`` or
    ``TypeError`` naming the key.

    ``custom_network``: ``{"removed": [names], "replaced": {name: table}, "added": {name: table}}``,
    a table being text lines ``T9 rate uncertainty_factor``. ``extra_rho_T`` (photon temperature, MeV)
    and ``extra_rho_val`` (energy density, MeV^4), given together (at least 4 points), add a
    tabulated energy density to the expansion rate. ``data_dir`` defaults to :func:`nuvex.data_dir`.

    Caches go to ``cache_dir`` (default :func:`nuvex.cache_dir`); a cold first run builds them and
    shows progress bars on standard error (``show_progress=False`` hides them). Log lines go to the
    ``logging`` logger ``"nuvex"``; ``verbose=True`` prints them instead. Ctrl-C interrupts the run
    (``KeyboardInterrupt``); a failing run raises ``RuntimeError`` naming its stage.
    """
    directory = resolve_data_dir(data_dir)
    c_params = prepare(params, directory, custom_network)
    with reporter_for(c_params) as rep, user_call("nuvex.run"):
        raw = ext.run_bbn(c_params, directory, custom_network, 0, plain_seq(extra_rho_T), plain_seq(extra_rho_val),
                          **hooks(rep))
    return Result(raw, c_params)


def plain_seq(values: Any) -> Any:
    """Arrays become lists of floats (the extension reads any sequence; numpy arrays are sequences)."""
    if values is None:
        return None
    tolist = getattr(values, "tolist", None)
    return tolist() if callable(tolist) else values
