# The result of one run: the abundance quantities under clear names, the final abundances, the
# sampled time evolution as numpy arrays, a plain-dictionary form and an aligned text table.
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Iterator, Mapping

import numpy as np

from ._ext import ext


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


def _from_library(key: str, attr: str, label: str, unit: str, optional: bool = False) -> Quantity:
    # definitions and unit texts are the solver library's, which the CLI prints too
    info = _LIBRARY[key]
    if (info["alias"] or key) != attr:
        raise ImportError(f"nuvex: the extension names the quantity {key} {info['alias']!r}, the package {attr!r}")
    return Quantity(key, attr, label, unit, info["definition"], optional, info["unit"])


_LIBRARY = {q["name"]: q for q in ext.quantities()}

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


@dataclass(frozen=True)
class Evolution:
    """The time evolution sampled on a logarithmic time grid (``output_n_points`` points).

    ``t`` in seconds, ``a`` the scale factor, ``T_gamma`` and the three neutrino temperatures in MeV,
    ``Y`` the abundance (number per baryon) of every nuclide of the network, ``rates`` the forward
    nuclear rates (only with ``output_rates_time_evolution``). Samples earlier than the network's
    start hold zero abundances.
    """

    t: np.ndarray
    a: np.ndarray
    T_gamma: np.ndarray
    T_nue: np.ndarray
    T_numu: np.ndarray
    T_nutau: np.ndarray
    Y: dict[str, np.ndarray]
    rates: dict[str, np.ndarray] = field(default_factory=dict)

    @property
    def nuclides(self) -> tuple[str, ...]:
        return tuple(self.Y)

    @classmethod
    def from_dict(cls, d: Mapping[str, Any]) -> "Evolution":
        def arr(v: Any) -> np.ndarray:
            # fromiter reads a list of floats about a third faster than asarray
            return np.fromiter(v, dtype=np.float64, count=len(v))

        return cls(t=arr(d["t"]), a=arr(d["a"]), T_gamma=arr(d["T_gamma"]), T_nue=arr(d["T_nue"]),
                   T_numu=arr(d["T_numu"]), T_nutau=arr(d["T_nutau"]),
                   Y={k: arr(v) for k, v in d["Y"].items()},
                   rates={k: arr(v) for k, v in d.get("rates", {}).items()})

    def to_dict(self) -> dict[str, Any]:
        """The solver's dictionary form: lists of floats."""
        d: dict[str, Any] = {k: getattr(self, k).tolist() for k in ("t", "a", "T_gamma", "T_nue", "T_numu", "T_nutau")}
        d["Y"] = {k: v.tolist() for k, v in self.Y.items()}
        if self.rates:
            d["rates"] = {k: v.tolist() for k, v in self.rates.items()}
        return d


class Result:
    """The outcome of one run.

    Quantities (dimensionless unless stated): ``Yp`` (alias ``YPBBN``) = 4 Y(He4), the helium-4
    nucleon fraction that BBN codes call Yp; ``Yp_mass`` (alias ``YPCMB``) the helium-4 mass fraction
    with true atomic masses, the value CMB codes (CLASS, CAMB) take as YHe; ``DoH`` = D/H;
    ``He3oH`` = (3H + 3He)/H; ``He3oHe4``; ``Li7oH`` = (7Li + 7Be)/H; ``Li6oLi7``, ``YCNO`` (None when
    the network lacks those nuclides); ``Neff``; ``Omeganurel`` = 1e6 Omega_nu h^2 of one relativistic
    flavour; ``OneOverOmeganunr`` = m_nu / (Omega_nu h^2) in eV for one non-relativistic flavour.
    Abundances Y are numbers per baryon; ratios are number ratios.

    ``abundances`` maps each nuclide of the network to its final Y; ``evolution`` holds numpy arrays
    when the run had ``output_time_evolution=True``, else None; ``params`` the parameters of the run.
    ``result["DoH"]``, ``result["Yp"]`` or ``result["He4"]`` read a quantity or a nuclide's Y.
    """

    def __init__(self, raw: Mapping[str, Any], params: Mapping[str, Any] | None = None) -> None:
        self._values: dict[str, float] = {q.key: float(raw[q.key]) for q in QUANTITIES if q.key in raw}
        self.abundances: dict[str, float] = {k: float(v) for k, v in raw.get("Y_final", {}).items()}
        ev = raw.get("evolution")
        self.evolution: Evolution | None = Evolution.from_dict(ev) if ev is not None else None
        self.params: dict[str, Any] = dict(params or {})

    @property
    def Yp(self) -> float:
        """4 Y(He4): helium-4 nucleon fraction, the BBN convention (alias ``YPBBN``)."""
        return self._values["YPBBN"]

    @property
    def Yp_mass(self) -> float:
        """Helium-4 mass fraction with atomic masses, the convention of CMB codes (alias ``YPCMB``)."""
        return self._values["YPCMB"]

    YPBBN = Yp
    YPCMB = Yp_mass

    @property
    def DoH(self) -> float:
        """D/H = Y(H2) / Y(p)."""
        return self._values["DoH"]

    @property
    def He3oH(self) -> float:
        """(Y(H3) + Y(He3)) / Y(p): helium-3 with the tritium that decays into it."""
        return self._values["He3oH"]

    @property
    def He3oHe4(self) -> float:
        """(Y(H3) + Y(He3)) / Y(He4)."""
        return self._values["He3oHe4"]

    @property
    def Li7oH(self) -> float:
        """(Y(Li7) + Y(Be7)) / Y(p): lithium-7 with the beryllium-7 that decays into it."""
        return self._values["Li7oH"]

    @property
    def Li6oLi7(self) -> float | None:
        """Y(Li6) / (Y(Li7) + Y(Be7)); None when the network holds no Li6."""
        return self._values.get("Li6oLi7")

    @property
    def YCNO(self) -> float | None:
        """Sum of A Y over the C, N and O isotopes; None when the network holds none."""
        return self._values.get("YCNO")

    @property
    def Neff(self) -> float | None:
        """Effective number of neutrinos from their final energy density (None with a custom background)."""
        return self._values.get("Neff")

    @property
    def Omeganurel(self) -> float | None:
        """1e6 Omega_nu h^2 of one relativistic neutrino flavour today (None with a custom background)."""
        return self._values.get("Omeganurel")

    @property
    def OneOverOmeganunr(self) -> float | None:
        """m_nu / (Omega_nu h^2) in eV of one non-relativistic flavour (None with a custom background)."""
        return self._values.get("OneOverOmeganunr")

    @property
    def quantities(self) -> dict[str, float]:
        """The quantities this run produced, by solver key, in the solver's order."""
        return dict(self._values)

    def __getitem__(self, name: str) -> float:
        key = quantity_key(name)
        if key in self._values:
            return self._values[key]
        if key in self.abundances:
            return self.abundances[key]
        raise KeyError(f"{name!r} is neither a quantity of this run nor a nuclide of its network")

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and (quantity_key(name) in self._values or name in self.abundances)

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def to_dict(self) -> dict[str, Any]:
        """The solver's result dictionary: quantities, "Y_final" and, when recorded, "evolution" (lists)."""
        d: dict[str, Any] = dict(self._values)
        d["Y_final"] = dict(self.abundances)
        if self.evolution is not None:
            d["evolution"] = self.evolution.to_dict()
        return d

    def __repr__(self) -> str:
        head = _header(self.params)
        rows = []
        for q in QUANTITIES:
            if q.key in self._values:
                rows.append((q.attr, _fmt(self._values[q.key]), q.measure, q.definition))
        w0 = max(len(r[0]) for r in rows)
        w1 = max(len(r[1]) for r in rows)
        w2 = max(len(r[2]) for r in rows)
        lines = [head] + [f"  {a:<{w0}}  {b:>{w1}}  {c:<{w2}}  {d}".rstrip() for a, b, c, d in rows]
        if self.evolution is not None:
            lines.append(f"  evolution: {len(self.evolution.t)} points, {len(self.evolution.Y)} nuclides")
        return "\n".join(lines)

    def plot(self, ax: Any = None, nuclides: Any = None, **kwargs: Any) -> Any:
        """Mass fractions against the photon temperature, with the time on a second axis.

        Needs a run with ``output_time_evolution=True``. See :func:`nuvex.plots.plot_abundances`.
        """
        from .plots import plot_abundances

        return plot_abundances(self, ax=ax, nuclides=nuclides, **kwargs)


def _fmt(v: float) -> str:
    if v is None or not math.isfinite(v):
        return str(v)
    if v != 0 and (abs(v) < 1e-3 or abs(v) >= 1e4):
        return f"{v:.6e}"
    return f"{v:.6f}"


def _header(params: Mapping[str, Any]) -> str:
    from ._params import PARAMS

    def get(k: str) -> Any:
        return params.get(k, PARAMS[k].default)

    return (f"nuvex.Result (network {get('network')}, Omegabh2 = {get('Omegabh2'):g}, "
            f"tau_n = {get('tau_n'):g} s, DeltaNeff = {get('DeltaNeff'):g})")
