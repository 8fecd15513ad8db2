"""Invariants of the shipped neutrino decoupling tables (data/SOLAN) and their regeneration."""
import math
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DATA = pathlib.Path(os.environ.get("NUVEX_DATA_DIR", ROOT / "data")) / "SOLAN"
M_E = 0.51099895
REF_RATIO = (4.0 / 11.0) ** (1.0 / 3.0)
# Neff of the momentum-resolved solutions with averaged flavour oscillations: with the QED plasma
# corrections 3.0440 (J. Froustey, C. Pitrou, M. C. Volpe, JCAP 12 (2020) 015; J. J. Bennett et al.,
# JCAP 04 (2021) 073: 3.0440 +- 0.0002), without them about 0.0093 lower (the O(e^2) + O(e^3) plasma
# term of the same papers)
VARIANTS = [("", 3.0440, 0.0003), ("_NoQED", 3.0347, 0.0005)]
NAMES = ["SOLANNUVEX_col_1_7.csv", "SOLANNUVEX_NoQED_col_1_7.csv", "SOLANNUVEX.csv",
         "SOLANNUVEX_NoQED.csv", "SOLANNUVEX_numu.csv", "SOLANNUVEX_NoQED_numu.csv",
         "SOLANNUVEX_nutau.csv", "SOLANNUVEX_NoQED_nutau.csv", "SOLANGrid.csv"]


def read_table(path, ncols):
    rows = []
    for line in path.read_text().splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = [f for f in line.replace(",", " ").split()]
        assert len(fields) == ncols, f"{path.name}: expected {ncols} columns, found {len(fields)}"
        rows.append([float(f) for f in fields])
    assert rows, f"{path.name}: no data rows"
    return rows


def neff(T, Te, Tm, Tt):
    # what the background computes from the last row's temperature ratios
    return (Te ** 4 + Tm ** 4 + Tt ** 4) / T ** 4 * (8.0 / 7.0) * (11.0 / 4.0) ** (4.0 / 3.0) * (7.0 / 8.0)


def fermi(v):
    return 1.0 / (math.exp(v) + 1.0)


@pytest.mark.parametrize("suffix,neff_target,tol", VARIANTS)
def test_history_table(suffix, neff_target, tol):
    rows = read_table(DATA / f"SOLANNUVEX{suffix}_col_1_7.csv", 7)
    x = [r[0] for r in rows]
    T = [M_E * r[1] / r[0] for r in rows]
    assert all(b > a for a, b in zip(x, x[1:])), "x must increase"
    assert all(b < a for a, b in zip(T, T[1:])), "T must decrease"
    assert 19.9 < T[0] < 20.1 and T[-1] <= 0.005 < T[-2]
    # comoving temperatures start at 1 (all species coupled); mu and tau flavours agree until
    # oscillations set in (a few MeV) and differ by less than 1e-4 afterwards
    assert all(abs(z - 1) < 1e-4 for z in rows[0][1:5])
    assert all(abs(r[3] - r[4]) < 1e-9 for r, t in zip(rows, T) if t > 10)
    assert all(abs(r[3] - r[4]) < 1e-4 for r in rows)
    # after annihilation: z_gamma near (11/4)^(1/3), nu_e hotter than nu_mu and nu_tau, all above
    # (4/11)^(1/3)
    last = rows[-1]
    ratio_e, ratio_mu, ratio_tau = last[2] / last[1], last[3] / last[1], last[4] / last[1]
    assert REF_RATIO < ratio_tau < ratio_e < REF_RATIO + 0.005
    assert REF_RATIO < ratio_mu < ratio_e
    assert abs(last[1] - (11.0 / 4.0) ** (1.0 / 3.0)) < 0.01
    assert abs(neff(1.0, ratio_e, ratio_mu, ratio_tau) - neff_target) <= tol
    # heating: small while coupled, peaks near decoupling, gone after annihilation
    N = [r[5] for r in rows]
    peak = max(N)
    peak_T = T[N.index(peak)]
    assert 0.3 < peak_T < 5 and 1e-3 < peak < 0.05
    assert 0 <= N[0] < 0.05 * peak
    assert all(abs(n) < 1e-9 * peak for n, t in zip(N, T) if t < 0.01)
    # linear interpolation of T_nu/T against T between rows stays within 1e-6
    for col in (2, 3):
        f = [r[col] / r[1] for r in rows]
        worst = 0.0
        for i in range(1, len(rows) - 1):
            lin = f[i - 1] + (f[i + 1] - f[i - 1]) * (T[i] - T[i - 1]) / (T[i + 1] - T[i - 1])
            worst = max(worst, abs(f[i] - lin) / 4)
        assert worst < 1e-6


def rho_ratio(grid, deltas):
    """Energy density of a tabulated spectrum over that of F(y), with the solver's quadrature."""
    num = sum(y ** 3 * (1 + d) * fermi(y) for y, d in zip(grid, deltas))
    return num / sum(y ** 3 * fermi(y) for y in grid)


@pytest.mark.parametrize("suffix,neff_target,tol", VARIANTS)
def test_spectral_tables_carry_the_solved_distortions(suffix, neff_target, tol):
    grid = [r[0] for r in read_table(DATA / "SOLANGrid.csv", 1)]
    assert len(grid) == 80 and all(abs(y - 0.25 * (j + 1)) < 1e-9 for j, y in enumerate(grid))
    main = {r[0]: r for r in read_table(DATA / f"SOLANNUVEX{suffix}_col_1_7.csv", 7)}
    for flavour, col in (("", 2), ("_numu", 3), ("_nutau", 4)):
        spectra = read_table(DATA / f"SOLANNUVEX{suffix}{flavour}.csv", 86)
        assert len(spectra) > 100 and abs(spectra[-1][0] / max(main) - 1) < 1e-9
        for row in spectra:
            near = min(main, key=lambda v: abs(v - row[0]))
            assert abs(near / row[0] - 1) < 1e-9
            # the spectrum's energy density is the flavour temperature of the history table
            z = main[near][col]
            assert abs(rho_ratio(grid, row[6:]) - z ** 4) < 2e-8
        # coupled at the start: thermal within 1e-6; at the end a true distortion against the
        # Fermi-Dirac spectrum of the same energy density: colder below y ~ 4, hotter above,
        # one change of sign, about 1.4% at y = 10 for nu_e (about 1% for nu_mu and nu_tau)
        first, last = spectra[0], spectra[-1]
        z0, z1 = main[min(main)][col], main[max(main)][col]
        dist0 = [(1 + d) * fermi(y) / fermi(y / z0) - 1 for y, d in zip(grid, first[6:])]
        dist1 = [(1 + d) * fermi(y) / fermi(y / z1) - 1 for y, d in zip(grid, last[6:])]
        assert max(abs(v) for v in dist0) < 1e-6
        i1, i10 = grid.index(1.0), grid.index(10.0)
        assert dist1[i1] < 0 < dist1[i10]
        assert sum(1 for a, b in zip(dist1[:60], dist1[1:60]) if (a < 0) != (b < 0)) == 1
        lo, hi = (1e-2, 2e-2) if flavour == "" else (0.5e-2, 1.3e-2)
        assert lo < dist1[i10] < hi


def test_flavour_excesses_with_oscillations():
    rows = read_table(DATA / "SOLANNUVEX_col_1_7.csv", 7)
    last = rows[-1]
    # relative energy-density excesses in comoving units with averaged oscillations: nu_e 0.70%,
    # nu_mu and nu_tau 0.52% (Froustey, Pitrou, Volpe 2020; Mangano et al., Nucl. Phys. B 729
    # (2005) 221: 0.73%, 0.52%, 0.52%); without oscillations they were 0.94% and 0.39%, so the
    # oscillations move about a quarter of the nu_e excess to the other flavours
    excess = [last[c] ** 4 - 1 for c in (2, 3, 4)]
    assert 0.0068 < excess[0] < 0.0074
    assert all(0.0050 < e < 0.0055 for e in excess[1:])
    # the total excess is conserved to within the small rise of Neff by oscillations
    assert abs(sum(excess) - (0.009376 + 2 * 0.003912)) < 0.0006
    # final comoving photon temperature, 1.3978-1.3980 in the published solutions
    assert 1.3975 < last[1] < 1.3985


SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def plain_env():
    """The environment without the sanitizer runtime of an instrumented test build."""
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS")}


def find_tool(tmp):
    env = os.environ.get("NUVEX_SOLAN_TOOL")
    if env:
        return pathlib.Path(env)
    in_tree = pathlib.Path.cwd() / "tools" / "solan" / "nuvex_solan"
    # an instrumented build's generator is several times slower: build an optimised copy then
    if in_tree.exists() and not SANITIZED:
        return in_tree
    build = tmp / "build"
    subprocess.run(["cmake", "-S", str(ROOT / "tools" / "solan"), "-B", str(build),
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DNUVEX_WERROR=ON"], check=True, capture_output=True, env=plain_env())
    subprocess.run(["cmake", "--build", str(build), "-j2"], check=True, capture_output=True, env=plain_env())
    return build / "nuvex_solan"


# Regenerating both variants to the end costs about 140 CPU-seconds, more than the rest of the suite:
# the suite regenerates the tables with the QED plasma (those of the default runs) down to 1 MeV,
# whose rows are the first rows of the shipped tables (fixed steps in ln x; rows interpolated inside
# them; a table's last row is written whatever its place), and `make data-check`
# (NUVEX_FULL_REGENERATION=1) both variants to the end, byte for byte.
FULL_REGENERATION = os.environ.get("NUVEX_FULL_REGENERATION") == "1"


def data_rows(path):
    return [line for line in path.read_text().splitlines() if not line.startswith("#")]


def test_regeneration_is_bit_identical():
    base = pathlib.Path(os.environ.get("NUVEX_TEST_TMP", tempfile.gettempdir()))
    base.mkdir(parents=True, exist_ok=True)
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="solan_", dir=base))
    try:
        tool = find_tool(tmp)
        out = tmp / "SOLAN"
        args = [] if FULL_REGENERATION else ["--variant", "qed", "--T-last", "1"]
        run = subprocess.run([str(tool), "--out", str(out), "--quiet"] + args,
                             capture_output=True, text=True, env=plain_env())
        assert run.returncode == 0, run.stderr
        names = [n for n in NAMES if FULL_REGENERATION or "NoQED" not in n]
        for name in names:
            if FULL_REGENERATION or name == "SOLANGrid.csv":
                assert (out / name).read_bytes() == (DATA / name).read_bytes(), name
            else:
                rows, shipped = data_rows(out / name), data_rows(DATA / name)
                assert 100 < len(rows) < len(shipped), name
                assert rows[:-1] == shipped[:len(rows) - 1], name
        assert sorted(p.name for p in out.iterdir()) == sorted(names)  # no temporary leftovers
        bad = subprocess.run([str(tool), "--rows-per-decade", "zero"], capture_output=True, text=True,
                             env=plain_env())
        assert bad.returncode == 1 and "--rows-per-decade" in bad.stderr
        for args, text in ((["--method", "exact"], "--method"), (["--step", "0"], "--step"),
                           (["--variant", "neither"], "--variant"), (["--T-last", "0"], "--T-last"),
                           (["--electron-nodes", "2.5"], "--electron-nodes"),
                           (["--electron-nodes", "2"], "--electron-nodes")):
            bad = subprocess.run([str(tool), "--out", str(tmp / "unused")] + args, capture_output=True,
                                 text=True, env=plain_env())
            assert bad.returncode == 1 and text in bad.stderr, args
        assert not (tmp / "unused").exists()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
