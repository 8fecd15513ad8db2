# The hostile-user reproducers: stale caches, impossible results, silently dropped settings and
# failures reported as success. Each case ends in a correct result or a clear error naming the
# key, file or line, through run_bbn, run_mc and the CLI.
import json
import math
import os
import shutil
import subprocess

import pytest

_nuvex_c = pytest.importorskip("_nuvex_c")


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    return str(tmp_path_factory.mktemp("integrity_cache"))


@pytest.fixture(scope="module")
def run(data_dir, cache_dir):
    def go(data=None, custom_network=None, **params):
        p = {"cache_dir": cache_dir, "thermal_corrections": False}
        p.update(params)
        return _nuvex_c.run_bbn(p, data or data_dir, custom_network=custom_network, show_progress=0)
    return go


def scale_second_column(path, factor):
    lines = open(path).read().splitlines(keepends=True)
    out = []
    for line in lines:
        if line.startswith("#") or not line.strip():
            out.append(line)
            continue
        fields = line.rstrip("\n").split(",")
        fields[1] = "%.10e" % (float(fields[1]) * factor)
        out.append(",".join(fields) + "\n")
    open(path, "w").write("".join(out))


def test_edited_decoupling_tables_invalidate_the_weak_caches(data_dir, scratch):
    # the reproducer: a copy of the data directory whose decoupling tables are edited after
    # the caches exist must give the result of a cold run, not the cached one
    data = scratch / "data"
    shutil.copytree(data_dir, data, ignore=shutil.ignore_patterns("cache_plasma_weak", "nuclear"))
    os.symlink(os.path.join(data_dir, "nuclear"), data / "nuclear")
    caches = scratch / "caches"
    p = {"cache_dir": str(caches), "thermal_corrections": False}
    before = _nuvex_c.run_bbn(p, str(data), show_progress=0)
    for name in ("SOLANNUVEX_col_1_7.csv", "SOLANNUVEX.csv"):
        scale_second_column(data / "SOLAN" / name, 1.05)
    warm = _nuvex_c.run_bbn(p, str(data), show_progress=0)
    shutil.rmtree(caches)
    cold = _nuvex_c.run_bbn(p, str(data), show_progress=0)
    assert warm["YPBBN"] == cold["YPBBN"] and warm["DoH"] == cold["DoH"]
    assert abs(warm["YPBBN"] - before["YPBBN"]) > 1e-4


@pytest.mark.parametrize("key, value, text", [
    ("numerical_precision", 1.0, "numerical_precision=1 is out of range: must lie in (0, 0.01]"),
    ("numerical_precision", 0.5, "numerical_precision=0.5 is out of range"),
    ("rate_grid_npts", 1, "rate_grid_npts=1 is out of range: must lie in [100, 1000000]"),
    ("amax", 4294967300, "amax=4294967300 is out of range"),
    ("p_n_p__d_g", "3", "p_n_p__d_g expects a number"),
    ("p_n_p__d_g", None, "p_n_p__d_g expects a number"),
    ("std_tau_n", 1e300, "std_tau_n=1e+300 is out of range"),
    ("rescale_nuclear_rates", True, "rescale_nuclear_rates=True is not supported"),
])
def test_meaningless_values_are_refused_naming_the_key(run, key, value, text):
    with pytest.raises(ValueError) as info:
        run(**{key: value})
    assert text in str(info.value)


def test_unknown_reaction_names_are_errors(run):
    with pytest.raises(RuntimeError, match=r"p_n_p__dg: no reaction 'n_p__dg' in the network 'small' "
                                           r"\(did you mean 'n_p__d_g'\?\)"):
        run(p_n_p__dg=3)
    with pytest.raises(RuntimeError, match=r"custom_network\['removed'\]: reaction 'd_a__Li6_gg' is not in"):
        run(custom_network={"removed": ["d_a__Li6_gg"]})
    with pytest.raises(ValueError, match=r"custom_network: unknown key 'remove' \(expected 'removed', "):
        run(custom_network={"remove": ["d_a__Li6_g"]})
    with pytest.raises(ValueError, match="is longer than 63 characters"):
        run(custom_network={"added": {"a_" * 50 + "_b": "0.1 1\n1 2\n"}})
    with pytest.raises(ValueError, match=r"line 2: cannot parse the rate 'x' as a finite number"):
        run(custom_network={"replaced": {"d_p__He3_g": "0.1 1 1.1\n1 x 1.1\n"}})


def test_a_negative_custom_rate_is_refused(run):
    with pytest.raises(RuntimeError, match=r"reaction 'd_p__He3_g', custom rate table, data row 1: rate -1"):
        run(custom_network={"replaced": {"d_p__He3_g": "0.001 -1 1.1\n10 1 1.1\n"}})


def test_rate_variation_with_a_known_name_acts(run):
    base, varied = run(), run(p_d_p__He3_g=1.0)
    assert varied["DoH"] < base["DoH"] * 0.99  # a faster d(p,g) burns deuterium


def test_unwritable_output_fails_and_keeps_the_previous_file(run, scratch):
    good = scratch / "final.dat"
    run(output_final_result=True, output_final_file=str(good))
    before = good.read_text()
    with pytest.raises(RuntimeError, match="cannot open " + str(scratch)):
        run(output_time_evolution=True, output_file=str(scratch))
    assert good.read_text() == before
    assert not [f for f in os.listdir(scratch) if ".tmp." in f]


def test_cli_json_is_valid_and_alone_on_stdout(cli, data_dir, cache_dir, scratch):
    args = [cli, "--data-dir", data_dir, "--set", f"cache_dir='{cache_dir}'", "--set", "thermal_corrections=False",
            "--set", "output_final_result=True", "--set", f"output_final_file='{scratch}/f.dat'",
            "--set", "verbose=True", "--json"]
    res = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stderr
    got = json.loads(res.stdout)  # the [output] notice and the verbose log went to stderr
    assert 0.2 < got["YPBBN"] < 0.3
    assert "[output] Final abundances" in res.stderr


def test_output_on_a_full_device_fails_and_leaves_the_node(run, cli, data_dir, cache_dir, full_device):
    # a private device that answers every write with ENOSPC, never the machine's own full device
    with pytest.raises(RuntimeError, match=f"cannot (write|open) {full_device}"):
        run(output_final_result=True, output_final_file=str(full_device))
    bad = subprocess.run([cli, "--data-dir", data_dir, "--set", f"cache_dir='{cache_dir}'", "--set",
                          "thermal_corrections=False", "--set", "output_final_result=True", "--set",
                          f"output_final_file='{full_device}'", "--json"], capture_output=True, text=True, timeout=300)
    assert bad.returncode != 0 and bad.stdout == "" and f"cannot write {full_device}" in bad.stderr
    assert full_device.is_char_device()


def test_cli_strict_params_refuses_bad_ini_lines(cli, data_dir, scratch):
    ini = scratch / "run.ini"
    ini.write_text("tau_n = 880\ntua_n = 881\n")
    res = subprocess.run([cli, "--data-dir", data_dir, "--ini", str(ini), "--set", "strict_params=True"],
                         capture_output=True, text=True, timeout=60)
    assert res.returncode == 1 and f"{ini}:2: warning: unknown parameter key: tua_n" in res.stderr
    assert "strict_params" in res.stderr


def test_cli_long_ini_comment_is_not_applied(cli, data_dir, cache_dir, scratch):
    ini = scratch / "long.ini"
    ini.write_text("# " + "x" * 4093 + "tau_n = 1000\n" + f"cache_dir = '{cache_dir}'\nthermal_corrections = False\n"
                   "show_progress = False\n")
    plain = subprocess.run([cli, "--data-dir", data_dir, "--ini", str(ini), "--json"], capture_output=True, text=True,
                           timeout=300, check=True)
    ini.write_text(f"cache_dir = '{cache_dir}'\nthermal_corrections = False\nshow_progress = False\n")
    ref = subprocess.run([cli, "--data-dir", data_dir, "--ini", str(ini), "--json"], capture_output=True, text=True,
                         timeout=300, check=True)
    assert json.loads(plain.stdout)["YPBBN"] == json.loads(ref.stdout)["YPBBN"]


def test_cut_nuclide_table_is_an_error_naming_file_and_line(data_dir, scratch):
    data = scratch / "data"
    (data / "csv").mkdir(parents=True)
    text = open(os.path.join(data_dir, "csv", "nuclides.csv")).read()
    (data / "csv" / "nuclides.csv").write_text(text[: len(text) // 2])
    with pytest.raises(RuntimeError, match=r"nuclides\.csv:\d+: expected at least \d+ fields|cannot parse"):
        _nuvex_c.run_bbn({}, str(data), show_progress=0)
    (data / "csv" / "nuclides.csv").write_text(text.replace("\nH2,1,1,", "\nH2,abc,1,", 1))
    with pytest.raises(RuntimeError, match=r"nuclides\.csv:4: cannot parse N 'abc' as an integer"):
        _nuvex_c.run_bbn({}, str(data), show_progress=0)


def test_monte_carlo_output_files(data_dir, cache_dir, scratch):
    prefix = str(scratch / "mc" / "out")
    params = {"cache_dir": cache_dir, "thermal_corrections": False, "output_mc_samples": True,
              "output_mc_covariance": True, "output_mc_correlation": True, "output_mc_file_prefix": prefix}
    mc = _nuvex_c.run_mc(params, data_dir, 6, ["YPBBN", "DoH"], seed=3, n_jobs=2, progress=0)
    rows = [line.split("\t") for line in open(prefix + "_samples.tsv").read().splitlines()]
    assert rows[0] == ["sample", "YPBBN", "DoH"] and len(rows) == 7
    assert [float(r[2]) for r in rows[1:]] == mc["DoH"]["values"]  # %.17g round-trips exactly
    cov = [line.split("\t") for line in open(prefix + "_covariance.tsv").read().splitlines()]
    cor = [line.split("\t") for line in open(prefix + "_correlation.tsv").read().splitlines()]
    assert cov[0] == ["quantity", "YPBBN", "DoH"] and cov[2][0] == "DoH"
    v = mc["DoH"]["values"]
    m = sum(v) / len(v)
    assert math.isclose(float(cov[2][2]), sum((x - m) ** 2 for x in v) / (len(v) - 1), rel_tol=1e-12)
    assert math.isclose(float(cor[1][1]), 1.0, rel_tol=1e-12) and -1 <= float(cor[1][2]) <= 1
    assert float(cor[1][2]) == float(cor[2][1])


def test_cli_monte_carlo_json_is_valid(cli, data_dir, cache_dir):
    # one sample has no spread: whatever the statistics say (NaN or 0), the document stays JSON
    res = subprocess.run([cli, "--data-dir", data_dir, "--set", f"cache_dir='{cache_dir}'", "--set",
                          "thermal_corrections=False", "--mc", "1", "--quantities", "DoH", "--json"],
                         capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stderr
    got = json.loads(res.stdout)
    assert set(got["DoH"]) == {"central", "mean", "std"}
    assert got["DoH"]["std"] is None or math.isfinite(got["DoH"]["std"])
    assert "[MC]" not in res.stdout


def test_monte_carlo_output_that_cannot_be_written_fails(data_dir, cache_dir):
    params = {"cache_dir": cache_dir, "thermal_corrections": False, "output_mc_samples": True,
              "output_mc_file_prefix": "/proc/nope/out"}
    with pytest.raises(RuntimeError, match="cannot open /proc/nope/out_samples.tsv"):
        _nuvex_c.run_mc(params, data_dir, 2, ["DoH"], seed=1, n_jobs=1, progress=0)
