# Omega_b h^2 from the primordial deuterium abundance alone (Cooke, Pettini & Steidel 2018), the key
# nuclear rates and the neutron lifetime marginalised by MCMC; figure infer_omegab_dh.png.
# Usage: python3 infer_omegab_dh.py [steps, default 2000]   (32 walkers; 10 parameters)
# NUVEX_EXAMPLE_QUICK=1: 10 steps, to check the script rather than the chain's convergence
import os
import sys

import numpy as np

import nuvex

PLANCK = (0.02237, 0.00015)  # Planck 2018 TT,TE,EE+lowE+lensing (A&A 641, A6, table 2), CMB only


def main(steps: int) -> None:
    obs = ["DoH_Cooke2018"]
    print(nuvex.observations.table(obs))
    chain = nuvex.sample(obs, params=("Omegabh2",), nuisance="rates", walkers=32, steps=steps, seed=1)
    print(chain)
    short = steps < 500
    axis = np.linspace(0.0212, 0.0236, 13 if short else 49)
    fixed = nuvex.grid_posterior(obs, {"Omegabh2": axis}, nuisance=None)
    theory = nuvex.grid_posterior(obs, {"Omegabh2": axis}, nuisance="theory", mc_samples=40 if short else 400)
    print("\nOmega_b h^2 from D/H alone:")
    for name, m, s in (("rates fixed (grid)", fixed.mean("Omegabh2"), fixed.std("Omegabh2")),
                       ("Monte Carlo theory error (grid)", theory.mean("Omegabh2"), theory.std("Omegabh2")),
                       ("key rates and tau_n marginalised (MCMC)", chain.mean("Omegabh2"), chain.std("Omegabh2"))):
        print(f"  {name:<42} {m:.5f} +/- {s:.5f}")
    tau = max(chain.autocorr_time.values())
    print(f"autocorrelation time {tau:.1f} steps ({chain.steps / tau:.0f} per chain), "
          f"acceptance {chain.acceptance:.2f}")

    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 4), constrained_layout=True)
    ax.hist(chain.samples("Omegabh2"), bins=40, density=True, histtype="stepfilled", alpha=0.35, color="C0",
            label="MCMC, key rates and $\\tau_n$ marginalised")
    for g, style, what in ((fixed, "C1--", "grid, rates fixed"), (theory, "C2-", "grid, Monte Carlo theory error")):
        ax.plot(*g.marginal("Omegabh2"), style, label=what)
    ax.axvspan(PLANCK[0] - PLANCK[1], PLANCK[0] + PLANCK[1], color="0.6", alpha=0.3, label="Planck 2018 (CMB)")
    ax.set_xlabel(r"$\Omega_b h^2$")
    ax.set_ylabel("posterior density")
    ax.set_title("D/H = (2.527 $\\pm$ 0.030)$\\times 10^{-5}$ (Cooke et al. 2018)")
    ax.legend(fontsize=8)
    fig.savefig("infer_omegab_dh.png", dpi=100)
    print("figure written to infer_omegab_dh.png")


if __name__ == "__main__":  # also a module: docs/make_figures.py calls main(2000)
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10 if os.environ.get("NUVEX_EXAMPLE_QUICK") else 2000)
