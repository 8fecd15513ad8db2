# BBN bounds on an MeV-scale thermal relic (a Majorana fermion, coupled to the electrons and to the
# neutrinos): Neff, Yp and D/H against its mass, and the mass below which it is excluded at 95%.
# Usage: python3 relic_bounds.py [number of masses, default 40]
# NUVEX_EXAMPLE_QUICK=1 runs 6 masses instead (the example tests set it); the figures are written to
# relic_bounds_electrons.png and relic_bounds_neutrinos.png in the working directory.
import os
import sys

import matplotlib

matplotlib.use(os.environ.get("MPLBACKEND", "Agg"))

import numpy as np  # noqa: E402

import nuvex  # noqa: E402

quick = os.environ.get("NUVEX_EXAMPLE_QUICK", "") not in ("", "0")
n_masses = int(sys.argv[1]) if len(sys.argv) > 1 else (6 if quick else 40)
masses_MeV = np.geomspace(0.1, 30.0, n_masses)

# a CMB measurement of Neff (Planck 2018, TT,TE,EE+lowE+lensing+BAO: 2.99 +0.34 -0.33 at 95%, taken as
# 2.99 +/- 0.17) sharpens the bound where the relic moves Neff more than the abundances
planck_neff = (2.99, 0.17)

for sector in ("electrons", "neutrinos"):
    b = nuvex.relic_bounds(masses_MeV, g=2, spin="fermion", couples_to=sector, jobs=2, progress=False)
    print(b)
    with_cmb = nuvex.relic_bounds(masses_MeV, g=2, spin="fermion", couples_to=sector, neff=planck_neff,
                                  jobs=2, progress=False)
    for name, bounds in (("BBN (Yp, D/H)", b), ("BBN + Planck Neff", with_cmb)):
        m = bounds.excluded_below_MeV
        text = "no scanned mass excluded" if np.isnan(m) else f"excluded below {m:.2f} MeV at 95%"
        print(f"Majorana fermion coupled to {sector}, {name}: {text}")
    fig = b.plot()
    fig.savefig(f"relic_bounds_{sector}.png", dpi=100)
    print(f"figure written to relic_bounds_{sector}.png")
