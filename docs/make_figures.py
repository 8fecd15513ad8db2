# Makes the figures of the documentation from real runs (default parameters, per-user solver cache):
# abundances against temperature, a Monte Carlo corner plot, the Schramm plot, the sensitivities and
# the two inference examples. Each figure is cached (docs/figure_cache.py) under a key of its own code,
# the extension module, the package and the data; only what changed runs again. The inference chains
# (minutes each on two cores) also keep their output in docs/example_outputs, keyed by the example and
# the data alone, so a fresh clone builds the docs in about a minute; --rebuild runs them and refreshes it.
# Usage: python3 docs/make_figures.py [OUTPUT_DIR] [--cache DIR] [--shipped DIR] [--rebuild]
import argparse
import inspect
import os
import platform
import subprocess
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402

import nuvex  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import figure_cache  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE_STEPS = 2000


def abundances(out: Path) -> None:
    r = nuvex.run(output_time_evolution=True, output_n_points=400)
    ax = r.plot()
    ax.set_title(f"default run: Yp = {r.Yp:.5f}, D/H = {r.DoH:.3e}")
    ax.figure.savefig(out / "abundances.png", dpi=110)
    print(r)


def monte_carlo(out: Path) -> None:
    mc = nuvex.monte_carlo(300, ["Yp", "DoH", "He3oH", "Li7oH"], seed=1, progress=False)
    mc.plot().savefig(out / "monte_carlo.png", dpi=80)
    print(mc)


def schramm(out: Path) -> None:
    fig = nuvex.plot_schramm(np.geomspace(0.004, 0.04, 10), n=40)
    fig.savefig(out / "schramm.png", dpi=90)


def sensitivities(out: Path) -> None:
    sens = nuvex.sensitivities(["Yp", "DoH", "Li7oH"], jobs=1)
    sens.plot(top=8).savefig(out / "sensitivities.png", dpi=90)
    print(sens)


def example_job(name: str, steps: int, script: Path | None = None) -> figure_cache.Job:
    """An example run as a user runs it (its own process, in the working directory where it writes its
    figure ``name``.png); what it prints is kept beside the figure."""
    script = script or ROOT / "examples" / f"{name}.py"

    def run(out: Path) -> None:
        # the example runs in its own folder: the package this script imported, and the PYTHONPATH
        # entries it was given (relative ones too), must stay visible from there
        import _nuvex_c

        found = [os.path.dirname(os.path.abspath(_nuvex_c.__file__)),
                 os.path.dirname(os.path.dirname(os.path.abspath(nuvex.__file__)))]
        given = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
        env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(dict.fromkeys(found + given)))
        done = subprocess.run([sys.executable, str(script), str(steps)], cwd=out, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        sys.stdout.write(done.stdout)
        if done.returncode != 0:
            raise RuntimeError(f"{script} failed (exit {done.returncode}):\n{done.stderr[-3000:]}")

    return figure_cache.Job(name, run, f"{script.read_text(encoding='utf-8')}\0steps={steps}", [f"{name}.png"],
                            shipped=True)


def jobs() -> list[figure_cache.Job]:
    own = [(abundances, "abundances.png"), (monte_carlo, "monte_carlo.png"), (schramm, "schramm.png"),
           (sensitivities, "sensitivities.png")]
    return ([figure_cache.Job(f.__name__, f, inspect.getsource(f), [png]) for f, png in own]
            + [example_job(n, EXAMPLE_STEPS) for n in ("infer_omegab_dh", "infer_omegab_neff")])


def common_key() -> str:
    """What every figure depends on: the compiled library, the package's code, the data directory
    (runs' own caches left out) and the versions of the interpreter and the plotting stack."""
    import _nuvex_c
    from nuvex import _provenance

    ext = Path(_nuvex_c.__file__).resolve()
    libraries = [ext] + sorted(ext.parent.glob("libnuvex*.so*")) + sorted(ext.parent.parent.glob("libnuvex*.so*"))
    package = sorted(Path(nuvex.__file__).resolve().parent.rglob("*.py"))
    parts = [figure_cache.files_digest(libraries), figure_cache.files_digest(package),
             _provenance.data_fingerprint(nuvex.data_dir()), platform.python_version(), np.__version__,
             matplotlib.__version__, nuvex.__version__]
    return "\0".join(parts)


def shipped_key() -> str:
    """What the kept chain outputs depend on besides the example itself: the data directory (runs' own
    caches left out). Changes to the library reuse them until a rebuild is asked for."""
    from nuvex import _provenance

    return _provenance.data_fingerprint(nuvex.data_dir())


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description="make the documentation's figures, reusing cached ones")
    ap.add_argument("out", nargs="?", type=Path, default=Path(__file__).parent / "_figures")
    ap.add_argument("--cache", type=Path, default=ROOT / "build" / "docs-cache",
                    help="cache folder (default build/docs-cache)")
    ap.add_argument("--shipped", type=Path, default=ROOT / "docs" / "example_outputs",
                    help="kept outputs of the inference chains (default docs/example_outputs)")
    ap.add_argument("--rebuild", action="store_true",
                    help="run every figure job again (and refresh the kept chain outputs)")
    args = ap.parse_args(argv)
    status = figure_cache.build(jobs(), args.cache, args.out, common_key(), rebuild=args.rebuild, echo=False,
                                shipped=args.shipped, shipped_common=shipped_key())
    built = [k for k, v in status.items() if v == "built"]
    print(f"figures: {len(status) - len(built)} cached or kept, {len(built)} made"
          + (f" ({', '.join(built)})" if built else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
