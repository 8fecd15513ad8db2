# The results of runs: one run's quantities under clear names, its final abundances and sampled time
# evolution as numpy arrays, and the samples of a Monte Carlo with their statistics; text tables.
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Iterable, Iterator, Mapping, Sequence

from ._lazy import numpy as np
from ._params import PARAMS
from ._quantities import ALIASES, BY_KEY, QUANTITIES, Quantity, fmt, label, quantity_key


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
                rows.append((q.attr, fmt(self._values[q.key]), q.measure, q.definition))
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


class MCResult:
    """Samples of a Monte Carlo uncertainty estimate.

    ``samples[name]`` is a numpy array of the ``n`` sampled values of a quantity (NaN where a sample
    lacks it), in sample order; ``central[name]`` the unperturbed run; ``mean`` and ``std`` (sample
    standard deviation, divisor n - 1; NaN for a single sample). ``quantities`` keeps the names as
    requested ("Yp", "DoH", a nuclide such as "He4", ...). Sample k depends only on the seed and k,
    so results do not depend on the number of workers.
    """

    def __init__(self, raw: Mapping[str, Mapping[str, Any]], names: Sequence[str], keys: Sequence[str], n: int,
                 seed: int, params: Mapping[str, Any]) -> None:
        self.quantities: tuple[str, ...] = tuple(names)
        self.n = n
        self.seed = seed
        self.params = dict(params)
        self.samples: dict[str, np.ndarray] = {}
        self.central: dict[str, float] = {}
        self.mean: dict[str, float] = {}
        self.std: dict[str, float] = {}
        for name, key in zip(names, keys):
            entry = raw[key]
            self.samples[name] = np.asarray(entry["values"], dtype=np.float64)
            self.central[name] = float(entry["central"])
            self.mean[name] = float(entry["mean"])
            # the standard deviation of a single sample is undefined, not 0
            self.std[name] = float(entry["std"]) if n > 1 else math.nan

    def percentile(self, q: float | Sequence[float]) -> dict[str, Any]:
        """Percentiles (0-100) of the samples of every quantity: a float, or an array for several q."""
        return {name: (float(v) if np.ndim(v) == 0 else v)
                for name, v in ((name, np.percentile(s, q)) for name, s in self.samples.items())}

    def interval(self, level: float = 0.6827) -> dict[str, tuple[float, float]]:
        """The central ``level`` interval (between the (1-level)/2 and (1+level)/2 quantiles)."""
        if not 0 < level < 1:
            raise ValueError(f"level must lie strictly between 0 and 1, got {level}")
        lo, hi = 50 * (1 - level), 50 * (1 + level)
        return {name: (float(np.percentile(s, lo)), float(np.percentile(s, hi))) for name, s in self.samples.items()}

    def _matrix(self) -> np.ndarray:
        return np.vstack([self.samples[name] for name in self.quantities])

    @property
    def covariance(self) -> np.ndarray:
        """Sample covariance matrix (divisor n - 1) between the quantities, in the order of ``quantities``."""
        if self.n < 2:
            return np.full((len(self.quantities),) * 2, np.nan)
        return np.atleast_2d(np.cov(self._matrix(), ddof=1))

    @property
    def correlation(self) -> np.ndarray:
        """Pearson correlation matrix between the quantities, in the order of ``quantities``."""
        cov = self.covariance
        with np.errstate(invalid="ignore", divide="ignore"):
            d = np.sqrt(np.diag(cov))
            return cov / np.outer(d, d)

    def to_dict(self) -> dict[str, dict[str, Any]]:
        """{name: {"central", "mean", "std", "values"}} with plain floats and lists."""
        return {name: {"central": self.central[name], "mean": self.mean[name], "std": self.std[name],
                       "values": self.samples[name].tolist()} for name in self.quantities}

    def __repr__(self) -> str:
        head = f"nuvex.MCResult ({self.n} samples, seed {self.seed})"
        p16_84 = self.interval()
        rows = [("quantity", "central", "mean", "std", "16%", "84%")]
        for name in self.quantities:
            lo, hi = p16_84[name]
            rows.append((name, fmt(self.central[name]), fmt(self.mean[name]), fmt(self.std[name]), fmt(lo),
                         fmt(hi)))
        widths = [max(len(r[i]) for r in rows) for i in range(6)]
        body = ["  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
                for r in rows]
        return "\n".join([head] + body)

    def plot(self, kind: str = "auto", quantities: Iterable[str] | None = None, **kwargs: Any) -> Any:
        """Histograms (one quantity, or ``kind="hist"``) or a corner plot of the samples.

        See :func:`nuvex.plots.plot_mc`.
        """
        from .plots import plot_mc

        return plot_mc(self, kind=kind, quantities=quantities, **kwargs)


def _header(params: Mapping[str, Any]) -> str:
    def get(k: str) -> Any:
        return params.get(k, PARAMS[k].default)

    return (f"nuvex.Result (network {get('network')}, Omegabh2 = {get('Omegabh2'):g}, "
            f"tau_n = {get('tau_n'):g} s, DeltaNeff = {get('DeltaNeff'):g})")


__all__ = ["Result", "Evolution", "MCResult", "Quantity", "QUANTITIES", "BY_KEY", "ALIASES", "label",
           "quantity_key"]
