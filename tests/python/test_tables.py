# Tables for CMB codes read back by readers that follow the codes' rules (CLASS: comments, counts line,
# ombh2 fastest; CAMB: named columns, ombh2 fastest within DeltaN blocks) and checked against direct runs.
import os
import subprocess
import sys

import numpy as np
import pytest

nuvex = pytest.importorskip("nuvex")
import nuvex.tables as tables  # noqa: E402



@pytest.fixture(scope="module")
def fast(cache_dir):
    # the session's cache directory: the cold tables are built once for all suites
    return dict(show_progress=False, cache_dir=cache_dir)
OMBH2 = [0.012, 0.0202, 0.031]
DELTAN = [-1.0, 0.0, 2.5]


def read_class(path):
    """A reader with CLASS's rules: '#' lines and blank lines skipped, the first data line holds
    num_ombh2 num_DeltaN, then num_ombh2 * num_DeltaN lines 'ombh2 DeltaN YHe', ombh2 fastest."""
    rows = []
    with open(path) as f:
        data = [line for line in f if line.strip() and not line.lstrip().startswith("#")]
    n_o, n_d = (int(x) for x in data[0].split())
    for line in data[1:]:
        rows.append([float(x) for x in line.split()])
    assert len(rows) == n_o * n_d and all(len(r) == 3 for r in rows)
    table = np.array(rows).reshape(n_d, n_o, 3)
    ombh2, deltan = table[0, :, 0], table[:, 0, 1]
    # ombh2 varies fastest and repeats identically in every DeltaN block
    assert np.all(table[:, :, 0] == ombh2) and np.all(table[:, :, 1] == deltan[:, None])
    return ombh2, deltan, table[:, :, 2]


def read_camb(path):
    """A reader with CAMB's rules: '#' header lines, the last of which names the columns; rows of
    numbers; ombh2 varying fastest within each DeltaN block."""
    header, rows = [], []
    with open(path) as f:
        for line in f:
            if line.startswith("#"):
                header.append(line[1:].strip())
            elif line.strip():
                rows.append([float(x) for x in line.split()])
    columns = header[-1].split()
    data = np.array(rows)
    assert data.shape[1] == len(columns)
    return header, {c: data[:, i] for i, c in enumerate(columns)}


@pytest.fixture(scope="module")
def direct(fast):
    """Direct runs at the tables' tolerance, keyed by (ombh2, DeltaNeff)."""
    return {(o, d): nuvex.run(Omegabh2=o, DeltaNeff=d, tau_n=879.0, numerical_precision=1e-9, **fast)
            for o in OMBH2 for d in DELTAN + [round(x + 0.002, 10) for x in DELTAN]}


def test_class_table_reads_back_and_matches_direct_runs(scratch, direct, fast):
    path = scratch / "sBBN_test.dat"
    tables.write_class(path, OMBH2, DELTAN, tau_n=879.0, jobs=1, progress=False, **fast)
    ombh2, deltan, yhe = read_class(path)
    assert ombh2.tolist() == OMBH2 and deltan.tolist() == DELTAN
    # the column is N_eff - 3.046 (what CLASS subtracts); each row ran at DeltaNeff = N_eff - 3.044
    for j, d in enumerate(DELTAN):
        for i, o in enumerate(OMBH2):
            assert yhe[j, i] == pytest.approx(direct[o, round(d + 0.002, 10)].Yp_mass, abs=1e-10)
    # YHe is the mass fraction, not the nucleon fraction (they differ by about 0.5%)
    assert abs(yhe[1, 1] - direct[0.0202, 0.002].Yp) > 1e-3
    text = path.read_text()
    assert "tau_n = 879 s" in text and "tau_n = 879.0" in text  # input line and non-default list
    assert "numerical_precision = 1e-09" in text
    assert "DeltaN = N_eff - 3.046" in text and "DeltaNeff = DeltaN + 0.002" in text
    assert "CLASS v3.3.4, commit e858083" in text
    assert f"sha256:{nuvex._provenance.data_fingerprint(nuvex.data_dir())}" in text


def test_camb_table_columns_mean_what_they_say(scratch, direct, fast):
    path = scratch / "camb_test.dat"
    tables.write_camb(path, OMBH2, DELTAN, tau_n=879.0, jobs=2, progress=False, **fast)
    header, cols = read_camb(path)
    assert list(cols) == ["ombh2", "eta10", "DeltaN", "Yp", "Yp^BBN", "sigma_Yp", "D/H", "err_D/H"]
    assert cols["ombh2"].tolist() == OMBH2 * len(DELTAN)
    assert cols["DeltaN"].tolist() == [d for d in DELTAN for _ in OMBH2]
    # eta_10 = 273.75 Omega_b h^2 for the measured Newton constant and T_CMB = 2.7255 K
    assert cols["eta10"] == pytest.approx(273.7484 * cols["ombh2"], rel=2e-6)
    for k, (o, d) in enumerate(zip(cols["ombh2"], cols["DeltaN"])):
        r = direct[o, d]
        assert cols["Yp"][k] == pytest.approx(r.Yp_mass, abs=1e-10)
        assert cols["Yp^BBN"][k] == pytest.approx(r.Yp, abs=1e-10)
        assert cols["D/H"][k] == pytest.approx(r.DoH, rel=1e-8)
    assert not cols["sigma_Yp"].any() and not cols["err_D/H"].any()
    assert any("tau_n = 879 s" in h and "T_CMB = 2.7255 K" in h for h in header)
    assert any(h.startswith("data directory fingerprint: sha256:") for h in header)


def test_camb_error_columns_are_monte_carlo_deviations(scratch, fast):
    path = scratch / "camb_mc.dat"
    tables.write_camb(path, [0.02, 0.024], [0.0, 1.0], mc=4, seed=3, jobs=1, progress=False, **fast)
    _, cols = read_camb(path)
    mc = nuvex.monte_carlo(4, ["Yp_mass", "DoH"], seed=3, jobs=1, progress=False, Omegabh2=0.024, DeltaNeff=1.0,
                           numerical_precision=1e-9, **fast)
    assert cols["sigma_Yp"][3] == pytest.approx(mc.std["Yp_mass"], rel=1e-4)
    assert cols["err_D/H"][3] == pytest.approx(mc.std["DoH"], rel=1e-4)
    assert (cols["sigma_Yp"] > 0).all() and (cols["err_D/H"] > 0).all()


def test_default_grids_are_the_stated_ones():
    ob, neff = tables.default_ombh2(), tables.default_Neff()
    assert len(ob) == 50 and len(neff) == 37
    # past the range asked for (ombh2 0.005 - 0.040, N_eff up to 12) on both sides, N_eff = 0 exactly
    assert ob[0] == 0.002 and ob[-1] == 0.046 and neff[0] == 0 and neff[-1] == 15
    assert np.allclose(np.diff(ob[ob < 0.0099]), 5e-4) and np.allclose(np.diff(ob[(ob > 0.0099) & (ob < 0.0401)]), 1e-3)
    assert np.all(np.diff(ob) > 0) and np.all(np.diff(neff) > 0)
    # the DeltaN column for each reader: N_eff - 3.046 (CLASS), N_eff - 3.044 (CAMB), written exactly
    assert tables.default_DeltaN()[0] == -3.046 and tables.default_DeltaN(3.044)[0] == -3.044
    assert tables.default_DeltaN()[-1] == 11.954 and tables.default_DeltaN(3.044)[-1] == 11.956


def test_a_failed_point_leaves_the_previous_table_untouched(scratch, fast):
    path = scratch / "keep.dat"
    path.write_text("previous table\n")
    with pytest.raises(RuntimeError, match=r"2 grid points failed, so no table was written: "
                                           r"ombh2=100, DeltaN=0 \(DeltaNeff=0.002\): "):
        tables.write_class(path, [0.02, 100.0], [0.0, 1.0], jobs=1, progress=False, **fast)
    assert path.read_text() == "previous table\n"
    assert [p.name for p in scratch.iterdir()] == ["keep.dat"]  # no temporary file left behind
    with pytest.raises(ValueError, match="strictly increasing"):
        tables.write_class(path, [0.022, 0.02], [0.0, 1.0])
    with pytest.raises(ValueError, match="Omegabh2 is an axis"):
        tables.write_camb(path, Omegabh2=0.02)
    # below N_eff = 0 there is no radiation left to remove: refused before any run, naming the values
    with pytest.raises(ValueError, match=r"starts at -3.05, that is N_eff = -0.004 < 0 for a reader subtracting "
                                         r"3.046: .* below N_eff = 0 \(DeltaN = -3.046\)"):
        tables.write_class(path, [0.02, 0.022], [-3.05, 0.0])
    with pytest.raises(ValueError, match="N_eff = -0.006 < 0 for a reader subtracting 3.044"):
        tables.write_camb(path, [0.02, 0.022], [-3.05, 0.0])
    for bad, kind in ((3.46e1, ValueError), (float("nan"), ValueError), ("3.046", TypeError), (True, TypeError)):
        with pytest.raises(kind, match="neff_reference"):
            tables.write_class(path, [0.02, 0.022], [0.0, 1.0], neff_reference=bad)


def run_cli(*args, cwd):
    # the subprocess imports the same package and extension as this test, whatever its directory
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(nuvex.__file__))),
             os.path.dirname(os.path.abspath(nuvex._ext.ext.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-m", "nuvex.tables", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=600)


def test_command_line_writes_a_class_table_and_names_bad_input(scratch, direct, fast):
    out = scratch / "sBBN_nuvex.dat"
    p = run_cli("class", "--out", str(out), "--ombh2", "0.012,0.0202:0.0202:0.0002,0.031", "--DeltaN", "-1:0:1,2.5",
                "--tau-n", "879", "--jobs", "1", "--quiet", "--set", f"cache_dir={fast['cache_dir']}", cwd=scratch)
    assert p.returncode == 0, p.stderr
    assert p.stdout == ""
    ombh2, deltan, yhe = read_class(out)
    assert ombh2.tolist() == OMBH2 and deltan.tolist() == DELTAN
    assert yhe[2, 0] == pytest.approx(direct[0.012, 2.502].Yp_mass, abs=1e-10)  # N_eff = 2.5 + 3.046
    assert "DeltaN = N_eff - 3.046" in out.read_text()
    # --neff-reference 3.044: the same DeltaN column now means N_eff = DeltaN + 3.044
    p = run_cli("class", "--out", str(out), "--ombh2", "0.012,0.0202,0.031", "--DeltaN", "-1,0,2.5",
                "--neff-reference", "3.044", "--tau-n", "879", "--jobs", "1", "--quiet",
                "--set", f"cache_dir={fast['cache_dir']}", cwd=scratch)
    assert p.returncode == 0, p.stderr
    assert read_class(out)[2][2, 0] == pytest.approx(direct[0.012, 2.5].Yp_mass, abs=1e-10)
    assert "DeltaN = N_eff - 3.044" in out.read_text()

    bad = run_cli("class", "--out", str(out), "--set", "tau_nn=880", "--quiet", cwd=scratch)
    assert bad.returncode == 2 and "tau_nn" in bad.stderr and "tau_n" in bad.stderr
    bad = run_cli("camb", "--out", str(out), "--ombh2", "0.02,abc", cwd=scratch)
    assert bad.returncode == 2 and "'abc'" in bad.stderr
    bad = run_cli("class", "--out", str(out), "--mc", "3", cwd=scratch)
    assert bad.returncode == 2 and "--mc" in bad.stderr
    bad = run_cli("class", "--out", str(out), "--neff-reference", "30.46", cwd=scratch)
    assert bad.returncode == 2 and "neff_reference=30.46" in bad.stderr
    bad = run_cli("class", "--out", str(out), "--DeltaN", "-3.1,0", "--quiet", cwd=scratch)
    assert bad.returncode == 2 and "N_eff = -0.054 < 0" in bad.stderr
    assert read_class(out)[0].tolist() == OMBH2  # refused commands leave the table alone
