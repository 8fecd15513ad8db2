# Measured primordial abundances with their references and conventions, as plain data the user can
# extend or replace, and the checks that turn any accepted form of observations into a checked list.
"""Published primordial abundances for :func:`nuvex.likelihood` and :func:`nuvex.sample`.

Each :class:`Observation` names the result quantity it is compared with (an attribute of
:class:`nuvex.Result`: ``"DoH"``, ``"Yp"``, ``"Yp_mass"``, ...), its value, its 1-sigma error, the
reference and the convention of the published number.

Helium: abundance analyses of metal-poor HII regions quote Y = 4y(1 - Z)/(1 + 4y), with y = n(He)/n(H)
the number ratio; for primordial gas (Z = 0) that is 4 n(He)/(n(H) + 4 n(He)), the fraction of
nucleons bound in helium-4 -- a "mass fraction" that counts every nucleon as one mass unit. It is
therefore compared with :attr:`nuvex.Result.Yp` (= 4 Y(He4), the solver's ``YPBBN``), not with
``Yp_mass`` (true atomic masses, the ``YHe`` of CMB codes, 0.5% lower). A helium abundance stated as
a true mass fraction (for instance a CMB fit of ``YHe``) is given with ``quantity="Yp_mass"``.

``CATALOGUE`` maps short names to the shipped measurements; add your own entries to it, or pass
:class:`Observation` objects or a plain mapping ``{"DoH": (2.527e-5, 0.030e-5)}`` wherever
observations are accepted.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterable, Mapping

from ._params import suggestions
from ._quantities import ALIASES, BY_KEY, QUANTITIES


def _known_quantities() -> list[str]:
    return [q.attr for q in QUANTITIES] + [q.key for q in QUANTITIES]


def check(obs: Observation, where: str) -> None:
    """ValueError naming ``where`` for an unknown quantity, a non-finite value or a non-positive sigma."""
    if not isinstance(obs.quantity, str):
        raise TypeError(f"{where}: the quantity must be a name such as 'DoH', not {type(obs.quantity).__name__}")
    if ALIASES.get(obs.quantity, obs.quantity) not in BY_KEY:
        best = suggestions(obs.quantity, _known_quantities())
        hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
        raise ValueError(f"{where}: unknown quantity {obs.quantity!r}, not a result quantity{hint}")
    for field in ("value", "sigma"):
        v = getattr(obs, field)
        if isinstance(v, bool) or not isinstance(v, (int, float)) and not hasattr(v, "__float__"):
            raise TypeError(f"{where}: {field} must be a number, not {type(v).__name__}")
        if not math.isfinite(float(v)):
            raise ValueError(f"{where}: {field} must be finite, got {v!r}")
    if not float(obs.sigma) > 0:
        raise ValueError(f"{where}: sigma must be positive, got {obs.sigma!r}")
    # every result quantity (abundances, ratios, N_eff) is non-negative: a negative observation can
    # only pull the posterior onto the edge of its prior
    if float(obs.value) < 0:
        raise ValueError(f"{where}: value must be >= 0 (abundances, their ratios and N_eff are not negative), "
                         f"got {obs.value!r}")


@dataclass(frozen=True)
class Observation:
    """One measured abundance: ``quantity`` (a :class:`nuvex.Result` attribute or solver key),
    ``value`` and its 1-sigma Gaussian error ``sigma`` in the same convention as that quantity,
    ``reference`` and ``convention`` (free text saying what the published number is)."""

    quantity: str
    value: float
    sigma: float
    reference: str = ""
    convention: str = ""

    def __post_init__(self) -> None:
        check(self, where=f"observation of {self.quantity!r}")

    @property
    def key(self) -> str:
        """The solver's name of the quantity ("Yp" -> "YPBBN")."""
        return ALIASES.get(self.quantity, self.quantity)

    def __str__(self) -> str:
        ref = f" ({self.reference})" if self.reference else ""
        return f"{self.quantity} = {self.value:.6g} +/- {self.sigma:.3g}{ref}"


_HE_CONVENTION = ("Y = 4y/(1+4y), y = n(He)/n(H): the helium-4 nucleon fraction, compared with Result.Yp "
                  "(YPBBN = 4 Y(He4))")

CATALOGUE: dict[str, Observation] = {
    "DoH_Cooke2018": Observation(
        "DoH", 2.527e-5, 0.030e-5,
        "R. J. Cooke, M. Pettini, C. C. Steidel, ApJ 855 (2018) 102: seven near-pristine damped "
        "Lyman-alpha systems",
        "number ratio n(D)/n(H)"),
    "Yp_Aver2021": Observation(
        "Yp", 0.2453, 0.0034,
        "E. Aver, D. A. Berg, K. A. Olive, R. W. Pogge, J. J. Salzer, E. D. Skillman, JCAP 03 (2021) 027: "
        "metal-poor HII regions with the He I 10830 A line, extrapolated to zero metallicity",
        _HE_CONVENTION),
}
"""Shipped measurements by short name; extend it or replace entries to change the defaults."""

DEFAULT = ("DoH_Cooke2018", "Yp_Aver2021")


def _from_pair(name: str, pair: Any) -> Observation:
    where = f"observation {name!r}"
    if isinstance(pair, Observation):
        if pair.quantity != name and pair.key != ALIASES.get(name, name):
            raise ValueError(f"{where}: the mapping key names {name!r} but the observation is of {pair.quantity!r}")
        return pair
    if isinstance(pair, (str, bytes)) or not hasattr(pair, "__len__") or len(pair) != 2:
        raise ValueError(f"{where}: expected (value, sigma), got {pair!r}")
    value, sigma = pair
    for field, v in (("value", value), ("sigma", sigma)):
        if isinstance(v, bool) or not isinstance(v, (int, float)) and not hasattr(v, "__float__"):
            raise TypeError(f"{where}: {field} must be a number, not {type(v).__name__}")
    try:
        return Observation(name, float(value), float(sigma), "user", "")
    except (ValueError, TypeError) as e:
        raise type(e)(str(e).replace(f"observation of {name!r}", where)) from None


def _named(name: str) -> Observation:
    if name in CATALOGUE:
        return CATALOGUE[name]
    best = suggestions(name, list(CATALOGUE) + _known_quantities())
    hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
    raise ValueError(f"unknown observation {name!r}: not in nuvex.observations.CATALOGUE ({', '.join(CATALOGUE)}); "
                     f"give a mapping such as {{'DoH': (2.527e-5, 0.030e-5)}} for your own values{hint}")


def normalize(observations: Any) -> list[Observation]:
    """A checked list of :class:`Observation` from any accepted form.

    Accepted: an :class:`Observation`; a catalogue name ("DoH_Cooke2018"); a mapping from quantity
    name to ``(value, sigma)`` or to an :class:`Observation`; or a sequence of observations and names.
    """
    if observations is None:
        raise ValueError("observations are required: for example nuvex.observations.DEFAULT or {'DoH': (2.527e-5, 0.030e-5)}")
    if isinstance(observations, Observation):
        out = [observations]
    elif isinstance(observations, str):
        out = [_named(observations)]
    elif isinstance(observations, Mapping):
        out = []
        for name, pair in observations.items():
            if not isinstance(name, str):
                raise TypeError(f"observation names must be quantity names (str), not {type(name).__name__}")
            if ALIASES.get(name, name) not in BY_KEY:
                best = suggestions(name, _known_quantities())
                hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
                raise ValueError(f"observation {name!r}: unknown quantity, not a result quantity{hint}")
            out.append(_from_pair(name, pair))
    elif isinstance(observations, Iterable):
        out = []
        for item in observations:
            if isinstance(item, Observation):
                out.append(item)
            elif isinstance(item, str):
                out.append(_named(item))
            else:
                raise TypeError(f"an observation must be an Observation or a catalogue name, not {type(item).__name__}")
    else:
        raise TypeError(f"observations must be a mapping, an Observation or a list of them, not {type(observations).__name__}")
    if not out:
        raise ValueError("observations are empty: give at least one measured quantity")
    return out


def table(observations: Any = DEFAULT) -> str:
    """The observations as aligned text: quantity, value, sigma, convention and reference."""
    rows = normalize(observations)
    w = max(len(o.quantity) for o in rows)
    return "\n".join(f"{o.quantity:<{w}}  {o.value:.5g} +/- {o.sigma:.3g}  [{o.convention or 'as the result'}]  "
                     f"{o.reference}" for o in rows)


__all__ = ["Observation", "CATALOGUE", "DEFAULT", "normalize", "table"]
