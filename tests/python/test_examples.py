# The scripts of examples/ run as a user would run them (warm per-user cache, Agg backend) and
# produce their tables and figures.
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run_example(name, tmp_path, xdg_cache_home, *args):
    env = dict(os.environ, MPLBACKEND="Agg", XDG_CACHE_HOME=str(xdg_cache_home))
    out = subprocess.run([sys.executable, str(ROOT / "examples" / name), *args], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_single_run(tmp_path, xdg_cache_home):
    out = run_example("single_run.py", tmp_path, xdg_cache_home)
    assert out.startswith("nuvex.Result (network small, Omegabh2 = 0.02242")
    assert re.search(r"Yp = 4 Y\(He4\) = 0\.24\d{3} \(BBN convention\)", out)
    assert (tmp_path / "abundances.png").stat().st_size > 10000


def test_monte_carlo(tmp_path, xdg_cache_home):
    out = run_example("monte_carlo.py", tmp_path, xdg_cache_home, "16")
    assert out.startswith("nuvex.MCResult (16 samples, seed 1)")
    assert "correlation matrix" in out and "95% of the samples" in out
    assert (tmp_path / "monte_carlo.png").stat().st_size > 10000


def test_custom_network(tmp_path, xdg_cache_home):
    out = run_example("custom_network.py", tmp_path, xdg_cache_home)
    # a faster d(p,g)3He burns more deuterium: the logarithmic sensitivity is about -0.3
    slope = float(re.search(r"d ln D/H / d ln rate = ([-+0-9.]+)", out).group(1))
    assert -0.45 < slope < -0.2
    li = re.search(r"7Li/H standard (\S+), without 7Li\(p,a\)4He (\S+)", out)
    assert float(li.group(2)) > float(li.group(1))


def test_inference_examples(tmp_path, xdg_cache_home):
    # ten steps instead of the documented 2,000: the scripts, their summaries and figures, not convergence
    out = run_example("infer_omegab_dh.py", tmp_path, xdg_cache_home, "10")
    m = re.search(r"rates fixed \(grid\)\s+(\S+) \+/- (\S+)", out)
    assert 0.0221 < float(m.group(1)) < 0.0225 and 1.2e-4 < float(m.group(2)) < 2.2e-4
    assert "key rates and tau_n marginalised (MCMC)" in out
    assert (tmp_path / "infer_omegab_dh.png").stat().st_size > 10000
    out = run_example("infer_omegab_neff.py", tmp_path, xdg_cache_home, "10")
    assert "N_eff = 3.044 + Delta N_eff" in out and "nuvex.GridPosterior (Omegabh2[9] x DeltaNeff[9])" in out
    assert (tmp_path / "infer_omegab_neff.png").stat().st_size > 10000
