# The vocabulary of result quantities (solver keys, attribute names, labels, units, definitions) and
# the checks of quantity names and counts shared by every front end of the package.
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterable

from . import _data
from ._ext import ext
from ._lazy import numpy as np
from ._params import suggestions

DEFAULT_QUANTITIES = ("Yp", "DoH", "He3oH", "Li7oH")
_INT32_MAX = 2**31 - 1


@dataclass(frozen=True)
class Quantity:
    """A result quantity: solver key, attribute name, plot label, unit of its axis, definition, and
    the unit text printed beside a value ("mass fraction", "ratio by number", "eV", ...)."""

    key: str
    attr: str
    label: str
    unit: str
    definition: str
    optional: bool = False
    measure: str = ""


_LIBRARY = {q["name"]: q for q in ext.quantities()}


def _from_library(key: str, attr: str, label: str, unit: str, optional: bool = False) -> Quantity:
    # names, definitions and unit texts are the solver library's, which the CLI prints too
    info = _LIBRARY[key]
    if (info["alias"] or key) != attr:
        raise ImportError(f"nuvex: the extension names the quantity {key} {info['alias']!r}, the package {attr!r}")
    return Quantity(key, attr, label, unit, info["definition"], optional, info["unit"])


QUANTITIES: tuple[Quantity, ...] = (
    _from_library("YPBBN", "Yp", r"$Y_p$", ""),
    _from_library("YPCMB", "Yp_mass", r"$Y_p^{\rm mass}$", ""),
    _from_library("DoH", "DoH", "D/H", ""),
    _from_library("He3oH", "He3oH", r"$^3$He/H", ""),
    _from_library("He3oHe4", "He3oHe4", r"$^3$He/$^4$He", ""),
    _from_library("Li7oH", "Li7oH", r"$^7$Li/H", ""),
    _from_library("Li6oLi7", "Li6oLi7", r"$^6$Li/$^7$Li", "", True),
    _from_library("YCNO", "YCNO", r"$Y_{\rm CNO}$", "", True),
    _from_library("Neff", "Neff", r"$N_{\rm eff}$", "", True),
    _from_library("Omeganurel", "Omeganurel", r"$10^6\,\Omega_{\nu,\rm rel} h^2$", "1e-6", True),
    _from_library("OneOverOmeganunr", "OneOverOmeganunr", r"$m_\nu / \Omega_\nu h^2$", "eV", True),
)
BY_KEY = {q.key: q for q in QUANTITIES}
# names accepted for a quantity besides the solver key
ALIASES = {q.attr: q.key for q in QUANTITIES if q.attr != q.key}


def quantity_key(name: str) -> str:
    """The solver key of a quantity given by key or alias ("Yp" -> "YPBBN"); other names unchanged."""
    return ALIASES.get(name, name)


def label(name: str) -> str:
    """Axis label of a quantity or nuclide name."""
    q = BY_KEY.get(quantity_key(name))
    if q is not None:
        return q.label + (f" [{q.unit}]" if q.unit and q.unit != "1e-6" else "")
    return f"Y({name})"


def fmt(v: float) -> str:
    """A quantity's value as the text tables print it (six significant decimals)."""
    if v is None or not math.isfinite(v):
        return str(v)
    if v != 0 and (abs(v) < 1e-3 or abs(v) >= 1e4):
        return f"{v:.6e}"
    return f"{v:.6f}"


def check_quantities(quantities: Any, directory: str) -> tuple[list[str], list[str]]:
    """The requested names and their solver keys; ValueError naming an unknown one."""
    if isinstance(quantities, str) or not isinstance(quantities, Iterable):
        raise TypeError("quantities must be a sequence of names such as ('Yp', 'DoH')")
    names = list(quantities)
    if not names:
        raise ValueError("quantities must name at least one quantity")
    nuclides = _data.nuclide_masses(directory)
    known = [q.key for q in QUANTITIES] + [q.attr for q in QUANTITIES]
    keys = []
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"quantities must be str, not {type(name).__name__}")
        key = quantity_key(name)
        if key not in BY_KEY and key not in nuclides:
            best = suggestions(name, known + list(nuclides))
            hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
            raise ValueError(f"unknown quantity {name!r}: not a result quantity nor a nuclide{hint}")
        keys.append(key)
    if len(set(names)) != len(names):
        raise ValueError("quantities must not repeat a name")
    return names, keys


def check_count(name: str, value: Any, low: int) -> int:
    """A count argument (samples, seed, steps, ...) as an int within [low, 2^31 - 1]."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    value = int(value)
    if not low <= value <= _INT32_MAX:
        raise ValueError(f"{name}={value} is out of range: must be between {low} and {_INT32_MAX}")
    return value
