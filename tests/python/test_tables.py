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
    return {(o, d): nuvex.run(Omegabh2=o, DeltaNeff=d, tau_n=879.0, **fast) for o in OMBH2 for d in DELTAN}


def test_class_table_reads_back_and_matches_direct_runs(scratch, direct, fast):
    path = scratch / "sBBN_test.dat"
    tables.write_class(path, OMBH2, DELTAN, tau_n=879.0, jobs=1, progress=False, **fast)
    ombh2, deltan, yhe = read_class(path)
    assert ombh2.tolist() == OMBH2 and deltan.tolist() == DELTAN
    for j, d in enumerate(DELTAN):
        for i, o in enumerate(OMBH2):
            assert yhe[j, i] == pytest.approx(direct[o, d].Yp_mass, abs=1e-10)
    # YHe is the mass fraction, not the nucleon fraction (they differ by about 0.5%)
    assert abs(yhe[1, 1] - direct[0.0202, 0.0].Yp) > 1e-3
    text = path.read_text()
    assert "tau_n = 879 s" in text and "tau_n = 879.0" in text  # input line and non-default list
    assert "N_eff - 3.044" in text and "DeltaNeff" in text
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
                           **fast)
    assert cols["sigma_Yp"][3] == pytest.approx(mc.std["Yp_mass"], rel=1e-4)
    assert cols["err_D/H"][3] == pytest.approx(mc.std["DoH"], rel=1e-4)
    assert (cols["sigma_Yp"] > 0).all() and (cols["err_D/H"] > 0).all()


def test_default_grids_are_the_stated_ones():
    ob, dn = tables.default_ombh2(), tables.default_DeltaN()
    assert len(ob) == 52 and len(dn) == 25
    assert ob[0] == 0.005 and ob[-1] == 0.04 and dn[0] == -3 and dn[-1] == 9
    dense = ob[(ob >= 0.020) & (ob <= 0.024)]
    assert len(dense) == 21 and np.allclose(np.diff(dense), 2e-4)
    assert np.all(np.diff(ob) > 0)


def test_a_failed_point_leaves_the_previous_table_untouched(scratch, fast):
    path = scratch / "keep.dat"
    path.write_text("previous table\n")
    with pytest.raises(RuntimeError, match="2 grid points failed, so no table was written: ombh2=0.02, DeltaN=-20: .*DeltaNeff=-20 is out of range"):
        tables.write_class(path, [0.02, 0.022], [-20.0, 0.0], jobs=1, progress=False, **fast)
    assert path.read_text() == "previous table\n"
    assert [p.name for p in scratch.iterdir()] == ["keep.dat"]  # no temporary file left behind
    with pytest.raises(ValueError, match="strictly increasing"):
        tables.write_class(path, [0.022, 0.02], [0.0, 1.0])
    with pytest.raises(ValueError, match="Omegabh2 is an axis"):
        tables.write_camb(path, Omegabh2=0.02)


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
    assert yhe[2, 0] == pytest.approx(direct[0.012, 2.5].Yp_mass, abs=1e-10)

    bad = run_cli("class", "--out", str(out), "--set", "tau_nn=880", "--quiet", cwd=scratch)
    assert bad.returncode == 2 and "tau_nn" in bad.stderr and "tau_n" in bad.stderr
    bad = run_cli("camb", "--out", str(out), "--ombh2", "0.02,abc", cwd=scratch)
    assert bad.returncode == 2 and "'abc'" in bad.stderr
    bad = run_cli("class", "--out", str(out), "--mc", "3", cwd=scratch)
    assert bad.returncode == 2 and "--mc" in bad.stderr
    assert read_class(out)[0].tolist() == OMBH2  # refused commands leave the table alone
