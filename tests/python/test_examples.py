# Every script of examples/ runs as a user runs it: a plain script started from an empty folder (warm
# per-user cache, Agg backend, quick mode), producing its tables and figures; a new example is picked up here.
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = sorted(p.name for p in (ROOT / "examples").glob("*.py"))


def run_example(name, tmp_path, xdg_cache_home, *args):
    # NUVEX_EXAMPLE_QUICK: the examples' own switch to shorter chains and fewer samples
    env = dict(os.environ, MPLBACKEND="Agg", XDG_CACHE_HOME=str(xdg_cache_home), NUVEX_EXAMPLE_QUICK="1")
    out = subprocess.run([sys.executable, str(ROOT / "examples" / name), *args], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=900)
    assert out.returncode == 0, out.stderr
    assert "Traceback" not in out.stderr, out.stderr
    return out.stdout


def check_single_run(out, folder):
    assert out.startswith("nuvex.Result (network small, Omegabh2 = 0.02242")
    assert re.search(r"Yp = 4 Y\(He4\) = 0\.24\d{3} \(BBN convention\)", out)
    assert (folder / "abundances.png").stat().st_size > 10000


def check_monte_carlo(out, folder):
    assert out.startswith("nuvex.MCResult (16 samples, seed 1)")
    assert "correlation matrix" in out and "95% of the samples" in out
    assert (folder / "monte_carlo.png").stat().st_size > 10000


def check_custom_network(out, folder):
    # a faster d(p,g)3He burns more deuterium: the logarithmic sensitivity is about -0.3
    slope = float(re.search(r"d ln D/H / d ln rate = ([-+0-9.]+)", out).group(1))
    assert -0.45 < slope < -0.2
    li = re.search(r"7Li/H standard (\S+), without 7Li\(p,a\)4He (\S+)", out)
    assert float(li.group(2)) > float(li.group(1))


def check_scan_grid(out, folder):
    assert out.startswith("nuvex.ScanResult (DeltaNeff[2] x Omegabh2[3]; 0 failed)")
    # D/H falls with the baryon density and rises with extra radiation
    doh = [float(x) for x in re.findall(r"D/H = (\S+)", out)]
    assert doh[0] > doh[1] > doh[2] and doh[3] > doh[0]
    table = [line for line in (folder / "sBBN_example.dat").read_text().splitlines() if not line.startswith("#")]
    assert table[0] == "3 3" and len(table) == 1 + 9  # counts line, then 3 x 3 points
    assert (folder / "sensitivities.png").stat().st_size > 10000


def check_infer_omegab_dh(out, folder):
    # ten steps instead of the documented 2,000: the script, its summaries and figure, not convergence
    m = re.search(r"rates fixed \(grid\)\s+(\S+) \+/- (\S+)", out)
    assert 0.0221 < float(m.group(1)) < 0.0225 and 1.2e-4 < float(m.group(2)) < 2.2e-4
    assert "key rates and tau_n marginalised (MCMC)" in out
    assert (folder / "infer_omegab_dh.png").stat().st_size > 10000


def check_infer_omegab_neff(out, folder):
    assert "N_eff = 3.044 + Delta N_eff" in out and "nuvex.GridPosterior (Omegabh2[9] x DeltaNeff[9])" in out
    assert (folder / "infer_omegab_neff.png").stat().st_size > 10000


def check_relic_bounds(out, folder):
    # quick mode, 6 masses: the bounds it prints and the physics of a Majorana fermion in both sectors
    # (electrophilic Neff below the standard value, neutrinophilic above)
    assert out.count("6 masses") == 2
    bounds = re.findall(r"Majorana fermion coupled to (\w+), (BBN[^:]*): excluded below ([0-9.]+) MeV", out)
    assert [(s, k) for s, k, _ in bounds] == [("electrons", "BBN (Yp, D/H)"), ("electrons", "BBN + Planck Neff"),
                                             ("neutrinos", "BBN (Yp, D/H)"), ("neutrinos", "BBN + Planck Neff")]
    assert all(3.0 < float(m) < 30.0 for _, _, m in bounds)
    light = re.findall(r"^\s+0\.1\s+([0-9.]+)", out, re.M)
    assert abs(float(light[0]) - 2.0966) < 2e-3 and abs(float(light[1]) - 4.4599) < 2e-3
    for sector in ("electrons", "neutrinos"):
        assert (folder / f"relic_bounds_{sector}.png").stat().st_size > 10000


CHECKS = {"single_run.py": check_single_run, "monte_carlo.py": check_monte_carlo,
          "custom_network.py": check_custom_network, "scan_grid.py": check_scan_grid,
          "infer_omegab_dh.py": check_infer_omegab_dh, "infer_omegab_neff.py": check_infer_omegab_neff,
          "relic_bounds.py": check_relic_bounds}


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_runs_as_a_plain_script(name, tmp_path, xdg_cache_home):
    folder = tmp_path / "empty"
    folder.mkdir()
    out = run_example(name, folder, xdg_cache_home)
    if name in CHECKS:
        CHECKS[name](out, folder)
    else:  # an example without checks of its own: it printed something and wrote only into its folder
        assert out.strip()
    assert all(p.parent == folder for p in folder.iterdir())


def test_every_example_says_what_it_shows():
    for name in EXAMPLES:
        text = (ROOT / "examples" / name).read_text()
        lines = text.splitlines()
        assert lines[0].startswith("# ") and lines[1].startswith("# "), f"{name}: open with two lines on what it shows"
        # the quick mode of the tests is part of the usage the header documents
        if "NUVEX_EXAMPLE_QUICK" in text.split("\nimport", 1)[-1]:
            assert "NUVEX_EXAMPLE_QUICK" in text.split("\nimport", 1)[0], name


