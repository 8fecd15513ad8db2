# Makes the figures of the documentation from real runs (default parameters, per-user cache):
# abundances against temperature, a Monte Carlo corner plot, the Schramm plot, the sensitivities and
# the two inference examples (full chains: a few minutes on two cores).
# Usage: python3 docs/make_figures.py OUTPUT_DIR
import os
import runpy
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402

import nuvex  # noqa: E402


def main(out: Path) -> None:
    out.mkdir(parents=True, exist_ok=True)
    r = nuvex.run(output_time_evolution=True, output_n_points=400)
    ax = r.plot()
    ax.set_title(f"default run: Yp = {r.Yp:.5f}, D/H = {r.DoH:.3e}")
    ax.figure.savefig(out / "abundances.png", dpi=110)
    mc = nuvex.monte_carlo(300, ["Yp", "DoH", "He3oH", "Li7oH"], seed=1)
    mc.plot().savefig(out / "monte_carlo.png", dpi=80)
    fig = nuvex.plot_schramm(np.geomspace(0.004, 0.04, 10), n=40)
    fig.savefig(out / "schramm.png", dpi=90)
    sens = nuvex.sensitivities(["Yp", "DoH", "Li7oH"], jobs=1)
    sens.plot(top=8).savefig(out / "sensitivities.png", dpi=90)
    examples = Path(__file__).resolve().parents[1] / "examples"
    here = os.getcwd()
    os.chdir(out)  # the examples write their figures to the working directory
    try:
        for name in ("infer_omegab_dh.py", "infer_omegab_neff.py"):
            runpy.run_path(str(examples / name), run_name="__example__")["main"](2000)
    finally:
        os.chdir(here)


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "_figures"))
