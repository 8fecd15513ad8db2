# MeV-scale thermal relics: Neff, Yp and D/H against the relic mass, their chi^2 against measured
# abundances (and optionally a CMB Neff), and the mass below which the relic is excluded at 95%.
"""Bounds on an MeV-scale thermal relic from BBN (:func:`relic_bounds`).

A relic is a particle of mass ``mass_MeV`` with ``g`` internal states (Bose-Einstein or Fermi-Dirac,
zero chemical potential) that stays in thermal equilibrium with either the electron-photon plasma
(``couples_to="electrons"``) or the neutrinos (``"neutrinos"``) until it has annihilated. Its entropy
heats the sector it belongs to, which changes Neff, the expansion rate and the neutrino temperatures
of the weak rates, and with them Yp and D/H (M. Escudero, JCAP 02 (2019) 007; N. Sabti, J. Alvey,
M. Escudero, M. Fairbairn, D. Blas, JCAP 01 (2020) 004).

Exclusion: chi^2(m) = sum over observations of (theory - observed)^2 / (sigma_obs^2 + sigma_th^2),
plus ((Neff - Neff_obs)/sigma)^2 with a Neff constraint; Delta chi^2(m) = chi^2(m) - chi^2 of the
standard model (no relic, the limit of a heavy relic) at the same parameters. The relic is excluded
at 95% confidence where Delta chi^2 > 3.84 (one parameter); ``excluded_below_MeV`` is the largest
mass where Delta chi^2 falls through 3.84 (linear in Delta chi^2 against log m between the scanned
masses), counted from the heavy end: lighter relics are excluded down to the lightest scanned mass
unless the curve comes back below 3.84, which ``excluded`` shows point by point.
"""
from __future__ import annotations

import math
from typing import Any, Mapping, Sequence

import numpy as np

from . import observations as _observations
from ._runner import run as _run
from .scan import scan as _scan

DELTA_CHI2_95 = 3.841458820694124  # 95% quantile of chi^2 with one degree of freedom

_QUANTITIES = ("Neff", "Yp", "DoH")


def _masses(masses_MeV: Any) -> np.ndarray:
    m = np.asarray(masses_MeV, dtype=float).ravel()
    if m.size == 0:
        raise ValueError("masses_MeV is empty: give at least one relic mass in MeV")
    if not np.all(np.isfinite(m)) or np.any(m <= 0):
        bad = m[~(np.isfinite(m) & (m > 0))][0]
        raise ValueError(f"masses_MeV must be positive finite masses in MeV, got {bad!r}")
    return np.sort(m)


def _neff_constraint(neff: Any) -> tuple[float, float] | None:
    if neff is None:
        return None
    if isinstance(neff, (str, bytes)) or not hasattr(neff, "__len__") or len(neff) != 2:
        raise ValueError(f"neff must be (value, sigma), for example (2.99, 0.17), got {neff!r}")
    value, sigma = float(neff[0]), float(neff[1])
    if not (math.isfinite(value) and math.isfinite(sigma) and sigma > 0):
        raise ValueError(f"neff must be (value, sigma) with finite values and sigma > 0, got {neff!r}")
    return value, sigma


def _theory_sigma(theory_sigma: Mapping[str, float] | None, obs: Sequence[Any]) -> dict[str, float]:
    out = {o.quantity: 0.0 for o in obs}
    if theory_sigma is None:
        return out
    for name, v in theory_sigma.items():
        if name not in out:
            raise ValueError(f"theory_sigma names {name!r}, which is not an observed quantity ({', '.join(out)})")
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not (math.isfinite(v) and v >= 0):
            raise ValueError(f"theory_sigma[{name!r}] must be a relative error >= 0, got {v!r}")
        out[name] = float(v)
    return out


class RelicBounds:
    """The outcome of :func:`relic_bounds`: arrays over ``masses_MeV`` (ascending) of ``Neff``, ``Yp``,
    ``DoH``, ``chi2`` and ``delta_chi2``, boolean ``excluded`` (Delta chi^2 > 3.84), the standard-model
    values ``standard`` (dict) with ``chi2_standard``, and ``excluded_below_MeV`` (NaN when no scanned
    mass is excluded, the heaviest scanned mass's bound when even it is)."""

    def __init__(self, masses: np.ndarray, values: Mapping[str, np.ndarray], chi2: np.ndarray,
                 standard: Mapping[str, float], chi2_standard: float, relic: Mapping[str, Any],
                 failed: Sequence[Any]) -> None:
        self.masses_MeV = masses
        self.Neff = values["Neff"]
        self.Yp = values["Yp"]
        self.DoH = values["DoH"]
        self.chi2 = chi2
        self.chi2_standard = chi2_standard
        self.delta_chi2 = chi2 - chi2_standard
        self.excluded = self.delta_chi2 > DELTA_CHI2_95
        self.standard = dict(standard)
        self.relic = dict(relic)
        self.failed = list(failed)
        self.excluded_below_MeV = self._bound()

    def _bound(self) -> float:
        d, m = self.delta_chi2, self.masses_MeV
        ok = np.isfinite(d)
        d, m = d[ok], m[ok]
        if d.size == 0 or not np.any(d > DELTA_CHI2_95):
            return math.nan
        # from the heaviest mass down: the first step into the excluded region
        for i in range(d.size - 1, 0, -1):
            if d[i] <= DELTA_CHI2_95 < d[i - 1]:
                lo, hi = math.log(m[i - 1]), math.log(m[i])
                f = (DELTA_CHI2_95 - d[i - 1]) / (d[i] - d[i - 1])
                return float(math.exp(lo + f * (hi - lo)))
        return float(m[-1]) if d[-1] > DELTA_CHI2_95 else math.nan

    def __repr__(self) -> str:
        r = self.relic
        head = (f"nuvex.RelicBounds ({r['spin']}, g={r['g']:g}, coupled to {r['couples_to']}; "
                f"{len(self.masses_MeV)} masses; standard model: Neff={self.standard['Neff']:.5f} "
                f"Yp={self.standard['Yp']:.5f} D/H={self.standard['DoH']:.4e} chi2={self.chi2_standard:.3f})")
        bound = ("no scanned mass excluded" if math.isnan(self.excluded_below_MeV)
                 else f"excluded at 95% below {self.excluded_below_MeV:.4g} MeV")
        lines = [head, "  " + bound, f"  {'m [MeV]':>10}  {'Neff':>8}  {'Yp':>8}  {'D/H':>10}  {'dchi2':>8}"]
        for i, m in enumerate(self.masses_MeV):
            lines.append(f"  {m:10.4g}  {self.Neff[i]:8.5f}  {self.Yp[i]:8.5f}  {self.DoH[i]:10.4e}  "
                         f"{self.delta_chi2[i]:8.3f}{'  excluded' if self.excluded[i] else ''}")
        return "\n".join(lines)

    def plot(self, axes: Any = None) -> Any:
        """Neff, Yp and D/H against the relic mass (three panels, the standard model dashed, the
        excluded masses shaded); returns the Figure."""
        from .plots import plot_relic

        return plot_relic(self.masses_MeV, {"Neff": self.Neff, "Yp": self.Yp, "DoH": self.DoH}, self.standard,
                          self.excluded, self.excluded_below_MeV, self.relic, axes=axes)


def relic_bounds(masses_MeV: Sequence[float], *, g: float = 1.0, spin: str = "boson",
                 couples_to: str = "electrons", observations: Any = _observations.DEFAULT,
                 neff: tuple[float, float] | None = None, theory_sigma: Mapping[str, float] | None = None,
                 jobs: int | None = 1, progress: bool = True, **params: Any) -> RelicBounds:
    """Neff, Yp, D/H and chi^2 of a thermal relic for each mass, and its 95% exclusion.

    ``masses_MeV``: relic masses (MeV); ``g``, ``spin`` ("boson"/"fermion"), ``couples_to``
    ("electrons"/"neutrinos") describe the species (a real scalar is ``g=1`` boson, a Majorana
    fermion ``g=2``, a Dirac fermion ``g=4``). ``observations``: as for :func:`nuvex.likelihood`
    (default :data:`nuvex.observations.DEFAULT`); ``neff``: an optional ``(value, sigma)`` constraint
    on Neff (for instance a CMB measurement); ``theory_sigma``: relative theory errors per observed
    quantity (for instance the Monte Carlo spreads of :func:`nuvex.monte_carlo`), added in
    quadrature. Other keywords are fixed run parameters (``Omegabh2``, ``tau_n``, ...).

    The masses run as one scan (:func:`nuvex.scan`: a solver session per worker rebuilds only the
    neutrino history, background and weak rates for each mass; ``jobs`` workers), plus one standard
    run. A failed mass gets NaN and is listed in ``failed``.
    """
    masses = _masses(masses_MeV)
    obs = _observations.normalize(observations)
    constraint = _neff_constraint(neff)
    th = _theory_sigma(theory_sigma, obs)
    for key in ("relic", "relic_mass_MeV", "relic_g", "relic_spin", "relic_couples_to"):
        if key in params:
            raise ValueError(f"{key!r} is set by relic_bounds itself (masses_MeV, g, spin, couples_to)")
    relic = {"relic_g": g, "relic_spin": spin, "relic_couples_to": couples_to}
    wanted = list(dict.fromkeys([*_QUANTITIES, *(o.quantity for o in obs)]))
    grid = _scan({"relic_mass_MeV": [float(m) for m in masses]}, wanted, jobs=jobs, progress=progress,
                 **relic, **params)
    standard_run = _run(**{**params, "show_progress": False})
    standard = {q: float(getattr(standard_run, q)) for q in wanted}

    def chi2_of(values: Mapping[str, Any]) -> np.ndarray:
        total = np.zeros(np.shape(values["Neff"]))
        for o in obs:
            t = np.asarray(values[o.quantity], dtype=float)
            total = total + (t - o.value) ** 2 / (o.sigma ** 2 + (th[o.quantity] * t) ** 2)
        if constraint is not None:
            total = total + ((np.asarray(values["Neff"], dtype=float) - constraint[0]) / constraint[1]) ** 2
        return total

    values = {q: np.asarray(grid[q], dtype=float) for q in wanted}
    chi2 = chi2_of(values)
    chi2_standard = float(chi2_of({q: np.asarray(v) for q, v in standard.items()}))
    return RelicBounds(masses, values, chi2, standard, chi2_standard,
                       {"g": float(g), "spin": spin, "couples_to": couples_to}, grid.failed)


__all__ = ["relic_bounds", "RelicBounds", "DELTA_CHI2_95"]
