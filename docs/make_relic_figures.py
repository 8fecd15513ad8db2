# Makes the thermal-relic figures and bound table of the documentation: Neff, Yp and D/H against the
# mass of the benchmark species (electrophilic and neutrinophilic), 100 masses each, and their bounds.
"""Usage: python3 docs/make_relic_figures.py [--masses N] [--jobs J]

Writes docs/images/relic_electrons.png, docs/images/relic_neutrinos.png and the table included by
docs/physics/relics.rst (docs/physics/relic_bounds_table.inc). The outputs are committed, so that
``make docs`` does not rerun the scans; rerun this script (a few minutes on two cores, per-user
cache) after a change of the physics and commit what it writes.

Bounds (95%, Delta chi^2 = 3.84 against the standard model, Yp and D/H of nuvex.observations.DEFAULT):
"BBN, Omega_b h^2 fixed" holds the baryon density at its default (the CMB value); "+ Planck Neff"
adds Neff = 2.99 +/- 0.17; "BBN, Omega_b h^2 free" profiles chi^2 over the baryon density (30 masses from 0.1 to 30 MeV, a grid of
Omega_b h^2 with a parabola through the three lowest points), as BBN does without the CMB.
"""
from __future__ import annotations

import argparse
import math
import os
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import nuvex  # noqa: E402
from nuvex._output import atomic_open, write_text  # noqa: E402

HERE = Path(__file__).resolve().parent

# the benchmark species of MeV-scale thermal relics (Sabti, Alvey, Escudero, Fairbairn & Blas,
# JCAP 01 (2020) 004): internal states and statistics
SPECIES = (
    ("real scalar", 1, "boson"),
    ("complex scalar", 2, "boson"),
    ("vector boson", 3, "boson"),
    ("Majorana fermion", 2, "fermion"),
    ("Dirac fermion", 4, "fermion"),
)
SECTORS = ("electrons", "neutrinos")
PLANCK_NEFF = (2.99, 0.17)  # Planck 2018 TT,TE,EE+lowE+lensing+BAO: 2.99 +0.34 -0.33 at 95%


def profiled_bound(masses: np.ndarray, g: int, spin: str, sector: str, jobs: int) -> float:
    """The 95% mass bound with chi^2 minimised over Omega_b h^2 at each mass (and for the standard
    model), from a grid in Omega_b h^2 with a parabola through the lowest point and its neighbours."""
    obh2 = np.linspace(0.0180, 0.0270, 13)
    obs = nuvex.observations.normalize(nuvex.observations.DEFAULT)

    def chi2_grid(values) -> np.ndarray:
        return sum((np.asarray(values[o.quantity], dtype=float) - o.value) ** 2 / o.sigma ** 2 for o in obs)

    def profile(c: np.ndarray) -> float:
        i = int(np.clip(np.nanargmin(c), 1, c.size - 2))
        a, b, d = c[i - 1], c[i], c[i + 1]
        curv = a - 2 * b + d
        shift = 0.5 * (a - d) / curv if curv > 0 else 0.0
        return float(b - 0.125 * (a - d) * (a - d) / curv) if curv > 0 and abs(shift) <= 1 else float(np.nanmin(c))

    quantities = [o.quantity for o in obs]
    sm = nuvex.scan({"Omegabh2": obh2}, quantities, jobs=jobs, progress=False)
    chi2_sm = profile(chi2_grid(sm))
    grid = nuvex.scan({"relic_mass_MeV": masses, "Omegabh2": obh2}, quantities, jobs=jobs, progress=False,
                      relic_g=g, relic_spin=spin, relic_couples_to=sector)
    c = chi2_grid(grid)
    delta = np.array([profile(c[i]) for i in range(masses.size)]) - chi2_sm
    vals = {"Neff": np.zeros(masses.size), "Yp": np.zeros(masses.size), "DoH": np.zeros(masses.size)}
    b = nuvex.RelicBounds(masses, vals, delta + chi2_sm, {"Neff": 0.0, "Yp": 0.0, "DoH": 0.0}, chi2_sm,
                          {"g": g, "spin": spin, "couples_to": sector}, [])
    return b.excluded_below_MeV


def with_neff(b: nuvex.RelicBounds, value: float, sigma: float) -> nuvex.RelicBounds:
    """The bounds of ``b`` with the Neff constraint (value, sigma) added to its chi^2 (the same as
    ``relic_bounds(..., neff=(value, sigma))`` without running the masses again)."""
    def term(neff):
        return ((np.asarray(neff, dtype=float) - value) / sigma) ** 2

    return nuvex.RelicBounds(b.masses_MeV, {"Neff": b.Neff, "Yp": b.Yp, "DoH": b.DoH}, b.chi2 + term(b.Neff),
                             b.standard, b.chi2_standard + float(term(b.standard["Neff"])), b.relic, b.failed)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--masses", type=int, default=100, help="masses per species (default 100)")
    p.add_argument("--jobs", type=int, default=2, help="worker threads (default 2)")
    args = p.parse_args()
    masses = np.geomspace(0.01, 30.0, args.masses)
    coarse = np.geomspace(0.1, 30.0, max(args.masses * 3 // 10, 6))
    rows = []
    for sector in SECTORS:
        fig, axes = plt.subplots(3, 1, sharex=True, figsize=(6.4, 8.0))
        standard = None
        for k, (name, g, spin) in enumerate(SPECIES):
            b = nuvex.relic_bounds(masses, g=g, spin=spin, couples_to=sector, jobs=args.jobs, progress=False)
            cmb = with_neff(b, *PLANCK_NEFF)
            free = profiled_bound(coarse, g, spin, sector, args.jobs)
            rows.append((sector, name, g, spin, b.Neff[0], b.excluded_below_MeV, cmb.excluded_below_MeV, free))
            print(rows[-1], flush=True)
            standard = b.standard
            for ax, q in zip(axes, ("Neff", "Yp", "DoH")):
                ax.plot(masses, getattr(b, q), color=f"C{k}", label=f"{name} (g = {g})")
        for ax, q in zip(axes, ("Neff", "Yp", "DoH")):
            ax.axhline(standard[q], color="0.4", ls="--", lw=1, label="no relic")
            ax.set_xscale("log")
        obs = {o.quantity: o for o in nuvex.observations.normalize(nuvex.observations.DEFAULT)}
        for ax, q in zip(axes[1:], ("Yp", "DoH")):
            ax.axhspan(obs[q].value - 2 * obs[q].sigma, obs[q].value + 2 * obs[q].sigma, color="0.85", lw=0,
                       label="measured, 2 sigma")
        axes[0].axhspan(PLANCK_NEFF[0] - 2 * PLANCK_NEFF[1], PLANCK_NEFF[0] + 2 * PLANCK_NEFF[1], color="0.85",
                        lw=0, label="Planck, 2 sigma")
        axes[0].set_ylabel("N_eff")
        axes[1].set_ylabel("Y_p")
        axes[2].set_ylabel("D/H")
        axes[2].set_xlabel("relic mass [MeV]")
        axes[0].legend(fontsize="x-small", ncol=2, loc="best")
        axes[0].set_title(f"thermal relic in equilibrium with the {sector}")
        fig.tight_layout()
        with atomic_open(HERE / "images" / f"relic_{sector}.png", "wb") as f:
            fig.savefig(f, format="png", dpi=90)
        plt.close(fig)

    def mass(m: float) -> str:
        return "none" if math.isnan(m) else f"{m:.2f}"

    lines = [
        ".. Generated by docs/make_relic_figures.py: rerun it instead of editing this table.",
        "",
        ".. list-table:: 95% lower bounds on the relic mass in MeV (this code)",
        "   :header-rows: 1",
        "",
        "   * - coupled to",
        "     - species",
        "     - Neff at 10 keV",
        "     - BBN, Omega_b h^2 free",
        "     - BBN, Omega_b h^2 fixed",
        "     - BBN + Planck Neff",
    ]
    for sector, name, g, spin, neff_light, fixed, cmb, free in rows:
        lines += [f"   * - {sector}", f"     - {name} ({spin}, g = {g})", f"     - {neff_light:.3f}",
                  f"     - {mass(free)}", f"     - {mass(fixed)}", f"     - {mass(cmb)}"]
    write_text(HERE / "physics" / "relic_bounds_table.inc", "\n".join(lines) + "\n")
    print(f"nuvex {nuvex.__version__}; load average {os.getloadavg()[0]:.1f}; figures and table written")


main()
