# A grid of the helium mass fraction and D/H over the baryon density and extra radiation on local
# threads, the CLASS helium table of a grid, and the sensitivities of D/H (sensitivities.png).
# Usage: python3 scan_grid.py [threads, default 2]   (a plain script: no main guard needed)
import sys

import numpy as np

import nuvex
import nuvex.tables


jobs = int(sys.argv[1]) if len(sys.argv) > 1 else 2
grid = nuvex.scan({"DeltaNeff": [0.0, 1.0], "Omegabh2": np.linspace(0.020, 0.024, 3)}, ["Yp_mass", "DoH"],
                  jobs=jobs, progress=False)
print(grid)
for j, dn in enumerate(grid.axes["DeltaNeff"]):
    for i, ob in enumerate(grid.axes["Omegabh2"]):
        print(f"DeltaNeff = {dn:4.1f}  Omegabh2 = {ob:.4f}  YHe = {grid['Yp_mass'][j, i]:.5f}  "
              f"D/H = {grid['DoH'][j, i]:.4e}")

nuvex.tables.write_class("sBBN_example.dat", [0.020, 0.022, 0.024], [-1.0, 0.0, 1.0], jobs=jobs, progress=False)
print("CLASS table written to sBBN_example.dat")

sens = nuvex.sensitivities(["DoH"], jobs=jobs)
print(sens.table(top=6))
sens.plot(top=8).savefig("sensitivities.png", dpi=100)
print("figure written to sensitivities.png")
