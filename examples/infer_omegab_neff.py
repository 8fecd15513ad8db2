# Omega_b h^2 and Delta N_eff from D/H (Cooke et al. 2018) and helium (Aver et al. 2021), the key rates
# and tau_n marginalised by MCMC, with a grid posterior for comparison; figure infer_omegab_neff.png.
# Usage: python3 infer_omegab_neff.py [steps, default 2000]   (32 walkers; 11 parameters)
# NUVEX_EXAMPLE_QUICK=1: 10 steps, to check the script rather than the chain's convergence
import os
import sys

import numpy as np

import nuvex


def main(steps: int) -> None:
    obs = ["DoH_Cooke2018", "Yp_Aver2021"]
    print(nuvex.observations.table(obs))
    chain = nuvex.sample(obs, params=("Omegabh2", "DeltaNeff"), nuisance="rates", walkers=32, steps=steps, seed=1)
    print(chain)
    r = chain.correlation[0, 1]
    print(f"correlation of Omega_b h^2 and Delta N_eff: {r:+.2f}")
    short = steps < 500
    n = 9 if short else 41
    axes = {"Omegabh2": np.linspace(0.0205, 0.0245, n), "DeltaNeff": np.linspace(-1.2, 1.2, n)}
    grid = nuvex.grid_posterior(obs, axes, nuisance="theory", mc_samples=40 if short else 400)
    print(grid)
    print("\nBBN only, D/H + Yp:")
    for name in ("Omegabh2", "DeltaNeff"):
        lo, hi = chain.interval(name, 0.95)
        print(f"  {name:<9} MCMC {chain.mean(name):.5f} +/- {chain.std(name):.5f} (95%: {lo:.5f} .. {hi:.5f}); "
              f"grid {grid.mean(name):.5f} +/- {grid.std(name):.5f}")
    print(f"  N_eff = 3.044 + Delta N_eff = {3.044 + chain.mean('DeltaNeff'):.2f} +/- {chain.std('DeltaNeff'):.2f}")

    import matplotlib.pyplot as plt

    fig = plt.figure(figsize=(10, 4.6), constrained_layout=True)
    left, right = fig.subfigures(1, 2)
    chain.plot(["Omegabh2", "DeltaNeff"], fig=left)
    left.suptitle("MCMC, key rates and $\\tau_n$ marginalised")
    grid.plot(fig=right)
    right.suptitle("grid, Monte Carlo theory error")
    fig.savefig("infer_omegab_neff.png", dpi=100)
    print("figure written to infer_omegab_neff.png")


if __name__ == "__main__":  # also a module: docs/make_figures.py calls main(2000)
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10 if os.environ.get("NUVEX_EXAMPLE_QUICK") else 2000)
