# Monte Carlo uncertainties of the primordial abundances from the nuclear-rate and neutron-lifetime
# errors: the summary table, the correlations, and a corner plot (monte_carlo.png).
# Usage: python3 monte_carlo.py [number of samples, default 200; NUVEX_EXAMPLE_QUICK=1: 16]
import os
import sys

import numpy as np

import nuvex

n = int(sys.argv[1]) if len(sys.argv) > 1 else 16 if os.environ.get("NUVEX_EXAMPLE_QUICK") else 200
mc = nuvex.monte_carlo(n, ["Yp", "DoH", "He3oH", "Li7oH"], seed=1)
print(mc)
print("\ncorrelation matrix (Yp, D/H, 3He/H, 7Li/H):")
print(np.array2string(mc.correlation, precision=2, suppress_small=True))
lo, hi = mc.interval(0.95)["DoH"]
print(f"\nD/H = {mc.central['DoH']:.4e}, 95% of the samples within [{lo:.4e}, {hi:.4e}]")

mc.plot().savefig("monte_carlo.png", dpi=100)
print("figure written to monte_carlo.png")
