# Hostile inputs, second pass: every case ends in a result or in an error that names the key, file or
# line -- never a silent wrong answer, a failure reported as success, or a hang. Through the
# extension module, the CLI and the data files; each case is one the code once got wrong.
import json
import math
import os
import shutil
import subprocess
import sys

import pytest

_nuvex_c = pytest.importorskip("_nuvex_c")


@pytest.fixture(scope="module")
def base(cache_dir):
    return {"cache_dir": cache_dir, "thermal_corrections": False, "show_progress": False}


def run(base, data_dir, data=None, **kw):
    params = dict(base, **kw.pop("params", {}))
    return _nuvex_c.run_bbn(params, data or data_dir, show_progress=0, **kw)


def data_copy(data_dir, target, *copied):
    """A data directory whose listed sub-directories are copies (to be edited) and the rest links."""
    os.makedirs(target)
    for name in os.listdir(data_dir):
        src, dst = os.path.join(data_dir, name), os.path.join(target, name)
        if name == "cache_plasma_weak":
            continue
        if name in copied:
            shutil.copytree(src, dst)
        else:
            os.symlink(src, dst)
    return target


# ---- physical ranges, checked before the run ------------------------------------------------------

@pytest.mark.parametrize("key, value, text", [
    ("DeltaNeff", -10.0, "DeltaNeff=-10 is out of range: N_eff = 3.044 + DeltaNeff = -6.956 must be >= 0"),
    ("DeltaNeff", -3.05, "DeltaNeff=-3.05 is out of range"),
    ("amax", 1, "amax=1 is out of range: must be None or >= 4 (the network must hold helium-4"),
    ("munuOverTnu", 1e3, "munuOverTnu=1000 is out of range: |mu/T| must be <= 10"),
    ("munuOverTnu_e", -11.0, "munuOverTnu_e=-11 is out of range"),
    ("munuOverTnu_e", 100.0, "munuOverTnu_e=100 is out of range: |mu/T| must be <= 10"),
    ("T_end_MeV", 1e-7, "T_end_MeV=1e-07 is out of range: must be >= 1e-06 MeV"),
])
def test_unphysical_values_are_refused_before_the_run(base, data_dir, key, value, text):
    with pytest.raises(ValueError) as info:
        run(base, data_dir, params={key: value})
    assert text in str(info.value)


def test_decay_era_on_the_small_network_is_refused(base, data_dir, scratch):
    out = scratch / "decay.tsv"
    with pytest.raises(ValueError, match=r"decay_era=True with output_decay_evolution=True needs network='large'"):
        run(base, data_dir, params={"decay_era": True, "output_decay_evolution": True,
                                    "output_decay_file": str(out)})
    assert not out.exists()


def test_integration_failures_name_the_parameters_off_their_defaults(base, data_dir):
    with pytest.raises(RuntimeError) as info:
        run(base, data_dir, params={"Omegabh2": 1000.0})
    assert "nvx_ode_" in str(info.value)
    assert "[parameters off their defaults: Omegabh2=1000, thermal_corrections=False]" in str(info.value)
    with pytest.raises(RuntimeError, match=r"parameters off their defaults: GN=1e\+300"):
        run(base, data_dir, params={"GN": 1e300})
    # a custom rate of 1e30 (N_A <sigma v> of d(p,g) is below 1e2 at these temperatures)
    table = "".join(f"{t} 1e30 1.1\n" for t in (0.001, 0.01, 1, 10))
    with pytest.raises(RuntimeError, match=r"off their defaults: thermal_corrections=False, custom_network \(rate "
                                           r"tables of d_p__He3_g\)\]"):
        run(base, data_dir, custom_network={"replaced": {"d_p__He3_g": table}})


def test_negative_radiation_density_names_the_table(base, data_dir):
    T = [10 ** (-3 + 0.25 * i) for i in range(21)]  # 1 keV .. 100 MeV
    rho = [-1e3 * t ** 4 for t in T]  # far below the photon density
    with pytest.raises(RuntimeError, match=r"radiation energy density is -[0-9.e+-]+ MeV\^4 at T=.* not positive.* "
                                           r"extra_rho table -[0-9.e+-]+\): check DeltaNeff and extra_rho_val"):
        run(base, data_dir, extra_rho_T=T, extra_rho_val=rho)
    # a small negative extra density (a deficit of radiation) is physics, and runs (tabulated densely
    # enough in log T for its spline: coarser nodes ring, and the check above finds the negative dips)
    T = [10 ** (-4 + 0.1 * i) for i in range(61)]
    ok = run(base, data_dir, extra_rho_T=T, extra_rho_val=[-0.01 * 0.6579736267392905 * t ** 4 for t in T])
    ref = run(base, data_dir)
    assert ok["YPBBN"] < ref["YPBBN"]  # less radiation, slower expansion, later freeze-out: less helium


def _files(folder):
    return {os.path.join(d, f) for d, _, names in os.walk(folder) for f in names}


def test_signed_zero_reuses_the_tables_of_zero(base, data_dir, cache_dir):
    # -0.0 is the input 0.0: it once got tables of its own (minutes of weak-rate integrals) because
    # the fingerprint kept the sign; now its run writes no new cache or snapshot and gives 0.0's numbers
    zero = run(base, data_dir, params={"munuOverTnu_e": 0.0, "DeltaNeff": 0.0})
    before = _files(cache_dir)
    minus = run(base, data_dir, params={"munuOverTnu_e": -0.0, "DeltaNeff": -0.0})
    assert _files(cache_dir) == before
    assert minus == zero


# ---- rate variations and uncertainty factors ------------------------------------------------------

def test_rate_factor_that_is_zero_or_negative_is_an_error(base, data_dir):
    # delta = -1 makes the d(p,g) factor u^0 - 1 = 0: once run silently as 1/30 of the rate
    with pytest.raises(RuntimeError, match=r"delta_n_p__d_g=-1: the rate factor u\^p \+ delta is 0 at T9="):
        run(base, data_dir, params={"delta_n_p__d_g": -1.0})
    # without the cap, a negative rate was used (D/H 4.07e-5)
    with pytest.raises(RuntimeError, match=r"delta_d_p__He3_g=-2: the rate factor u\^p \+ delta is -1 at T9="):
        run(base, data_dir, params={"delta_d_p__He3_g": -2.0, "mc_rate_rescale_cap": None})


def test_a_clamped_rate_factor_is_reported(base, data_dir):
    messages = []
    res = run(base, data_dir, params={"delta_d_p__He3_g": 40.0},
              on_message=lambda level, tag, text: messages.append((level, tag, text)))
    warned = [t for lvl, tag, t in messages if tag == "rates" and "clamped" in t]
    assert len(warned) == 1 and warned[0].startswith("delta_d_p__He3_g=40: the rate factor u^p + delta reaches 41")
    assert "clamped to 30 there (mc_rate_rescale_cap=30" in warned[0]
    # the clamp acts: the run equals one with the factor 30 given as delta = 29
    assert res["DoH"] == run(base, data_dir, params={"delta_d_p__He3_g": 29.0})["DoH"]


def test_uncertainty_factors_below_one_are_refused(base, data_dir, scratch):
    custom = {"replaced": {"d_p__He3_g": "0.001 1e-3 1.1\n0.01 1e-2 0\n0.1 1 1.1\n10 1e3 1.1\n"}}
    with pytest.raises(ValueError, match=r"line 2: uncertainty factor 0 must be >= 1"):
        run(base, data_dir, custom_network=custom)
    # a factor left out means "not varied": accepted
    custom = {"replaced": {"d_p__He3_g": "0.001 1e-3\n0.01 1e-2\n0.1 1\n10 1e3\n"}}
    run(base, data_dir, custom_network=custom)
    # a data table with a factor below 1 (a +1 sigma variation would lower the rate)
    user = scratch / "user_nuclear"
    table = user / "tables" / "d_p__He3_g" / "d_p__He3_g_nuvex.txt"
    table.parent.mkdir(parents=True)
    src = os.path.join(data_dir, "nuclear", "tables", "d_p__He3_g", "d_p__He3_g_nuvex.txt")
    lines = open(src).read().splitlines()
    k = next(i for i, line in enumerate(lines) if line.strip() and not line.startswith("#"))
    cols = lines[k].split()
    lines[k] = " ".join(cols[:2] + ["0.9"])
    table.write_text("\n".join(lines) + "\n")
    with pytest.raises(RuntimeError, match=r"reaction 'd_p__He3_g', table .* uncertainty factor 0.9 must be finite "
                                           r"and >= 1"):
        run(base, data_dir, params={"user_nuclear_dir": str(user)})


# ---- data files -----------------------------------------------------------------------------------

def test_empty_nuclide_field_is_an_error_not_a_shift(data_dir, scratch):
    data = data_copy(data_dir, str(scratch / "data"), "csv")
    path = os.path.join(data, "csv", "nuclides.csv")
    lines = open(path).read().splitlines(keepends=True)
    k = next(i for i, line in enumerate(lines) if line.startswith("He3,"))
    fields = lines[k].split(",")
    fields[3] = ""  # the mass excess; the spin would have moved into its place
    lines[k] = ",".join(fields)
    open(path, "w").write("".join(lines))
    with pytest.raises(RuntimeError, match=rf"nuclides\.csv:{k + 1}:4: empty mass_excess_keV field \(column 4\)"):
        _nuvex_c.run_bbn({}, data, show_progress=0)


def test_neutrino_momentum_grid_must_match_the_spectrum(base, data_dir, scratch):
    data = data_copy(data_dir, str(scratch / "data"), "SOLAN")
    grid = os.path.join(data, "SOLAN", "SOLANGrid.csv")
    lines = open(grid).read().splitlines(keepends=True)
    open(grid, "w").write("".join(lines[:-1]))  # 79 momenta for 80 distortion columns
    with pytest.raises(RuntimeError, match=r"SOLANGrid\.csv: 79 grid momenta, but the spectral table .*SOLANNUVEX\.csv "
                                           r"holds distortions in 80 columns"):
        run(base, data_dir, data=data)


def test_empty_network_list_is_an_error(base, data_dir, scratch):
    user = scratch / "user_nuclear"
    (user / "networks").mkdir(parents=True)
    (user / "networks" / "empty.txt").write_text("# nothing yet\n")
    with pytest.raises(RuntimeError, match=r"empty\.txt: the network list 'empty' names no reaction"):
        run(base, data_dir, params={"user_nuclear_dir": str(user), "network": "empty"})


def test_unreadable_nuclide_table_is_not_reported_as_missing(data_dir, scratch):
    data = data_copy(data_dir, str(scratch / "data"), "csv")
    os.chmod(scratch, 0o755)
    os.chmod(os.path.join(data, "csv", "nuclides.csv"), 0)
    background = scratch / "background.tsv"
    background.write_text("T\tt\ta\n")
    background.chmod(0)
    code = (f"import _nuvex_c\nfor d, p in (({data!r}, {{}}), ({data_dir!r}, {{'custom_background': "
            f"{str(background)!r}}})):\n    try:\n        _nuvex_c.run_bbn(p, d, show_progress=0)\n"
            "    except RuntimeError as e:\n        print(e)\n")
    user = {}
    if os.geteuid() == 0:  # root reads any file: ask as an unprivileged user
        try:
            import pwd

            user = {"user": pwd.getpwnam("nobody").pw_uid}
        except KeyError:
            pytest.skip("no unprivileged user to read as")
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, HOME="/tmp"), **user)
    assert "cannot read " + os.path.join(data, "csv", "nuclides.csv") + ": Permission denied" in res.stdout, res
    assert f"cannot read custom_background file '{background}': Permission denied" in res.stdout, res


# ---- Monte Carlo and settings without effect ------------------------------------------------------

def test_monte_carlo_of_no_quantity_is_refused(base, data_dir):
    with _nuvex_c.Session(base, data_dir) as s:
        with pytest.raises(ValueError, match="no quantities requested"):
            s.mc(3, [])
    with pytest.raises(ValueError, match="no quantities requested"):
        _nuvex_c.run_mc(base, data_dir, 3, [], progress=0)


def test_settings_without_effect_warn_once_and_fail_under_strict_params(base, data_dir):
    messages = []
    with _nuvex_c.Session(dict(base, debug=True, y_SZ=0.01), data_dir) as s:
        for _ in range(3):
            s.run(on_message=lambda level, tag, text: messages.append((level, tag, text)))
    warned = [t for lvl, tag, t in messages if "without effect" in t]
    assert warned == ["settings without effect in this configuration: debug=True (carried for host programs, no "
                      "stage reads it); y_SZ=0.01 (read only with analytic_distortions=True)"]
    with pytest.raises(ValueError, match=r"strict_params: settings without effect in this configuration: "
                                         r"numba_installed=False"):
        run(base, data_dir, params={"numba_installed": False, "strict_params": True})


# ---- the command line -----------------------------------------------------------------------------

def cli_args(cli, data_dir, cache_dir, *extra):
    return [cli, "--data-dir", data_dir, "--set", f"cache_dir='{cache_dir}'", "--set", "thermal_corrections=False",
            "--set", "show_progress=False", *extra]


@pytest.mark.parametrize("extra", [[], ["--json"], ["--mc", "2", "--json", "--jobs", "1"]])
def test_cli_failed_standard_output_is_a_failure(cli, data_dir, cache_dir, full_device, extra):
    with open(full_device, "w") as out:
        res = subprocess.run(cli_args(cli, data_dir, cache_dir, *extra), stdout=out, stderr=subprocess.PIPE,
                             text=True, timeout=300)
    assert res.returncode == 1, res.stderr
    assert "nuvex: cannot write standard output: No space left on device" in res.stderr


@pytest.mark.parametrize("extra, text", [
    (["--seed", "3"], "--seed applies to a Monte Carlo run only: add --mc N"),
    (["--jobs", "2"], "--jobs applies to a Monte Carlo run only"),
    (["--quantities", "DoH"], "--quantities applies to a Monte Carlo run only"),
    (["--mc", "2", "--quantities", ",,,"], "--quantities names no quantity, got ',,,'"),
])
def test_cli_refuses_options_that_would_be_ignored(cli, data_dir, cache_dir, extra, text):
    res = subprocess.run(cli_args(cli, data_dir, cache_dir, *extra), capture_output=True, text=True, timeout=300)
    assert res.returncode == 2 and text in res.stderr and res.stdout == ""


def test_cli_ini_bytes_and_sizes(cli, data_dir, cache_dir, scratch):
    ini = scratch / "run.ini"
    ini.write_bytes(b"tau_n = 880\nOmegabh2 = 0.022\x00 junk\n")
    res = subprocess.run(cli_args(cli, data_dir, cache_dir, "--ini", str(ini)), capture_output=True, text=True,
                         timeout=300)
    assert res.returncode == 1 and f"{ini}:2: NUL byte in the line" in res.stderr
    # a byte-order mark is skipped: the first key applies
    ini.write_bytes(b"\xef\xbb\xbftau_n = 881\n")
    bom = subprocess.run(cli_args(cli, data_dir, cache_dir, "--ini", str(ini), "--json"), capture_output=True,
                         text=True, timeout=300)
    plain = subprocess.run(cli_args(cli, data_dir, cache_dir, "--set", "tau_n=881", "--json"), capture_output=True,
                           text=True, timeout=300)
    assert bom.returncode == 0 and "unknown parameter key" not in bom.stderr
    assert json.loads(bom.stdout)["YPBBN"] == json.loads(plain.stdout)["YPBBN"]
    # 100 MB of zero bytes, as /dev/zero delivers them (a sparse file: no disk used)
    zeros = scratch / "zeros.ini"
    with open(zeros, "wb") as f:
        f.truncate(100 * 1024 * 1024)
    res = subprocess.run(cli_args(cli, data_dir, cache_dir, "--ini", str(zeros)), capture_output=True, text=True,
                         timeout=60)
    assert res.returncode == 1 and f"{zeros}:1: NUL byte in the line (not a text file?)" in res.stderr


def test_many_rate_variation_keys(cli, data_dir, cache_dir, scratch):
    # 20,000 keys are read in linear time (the timing lives in bench/config_keys.cpp); the first
    # unknown one is named
    ini = scratch / "keys.ini"
    ini.write_text("".join(f"p_r{i} = 0.1\n" for i in range(20000)))
    res = subprocess.run(cli_args(cli, data_dir, cache_dir, "--ini", str(ini)), capture_output=True, text=True,
                         timeout=300)
    assert res.returncode == 1 and "p_r0: no reaction 'r0' in the network 'small'" in res.stderr
