# One vocabulary across the front ends: the same quantity names, units and definitions in the CLI and
# the package, the same "did you mean" for a typo in the CLI, an INI file and Python, exceptions of
# the promised types, and failures named after the user's call rather than the solver's internals.
import json
import subprocess

import _nuvex_c
import pytest

import nuvex
from nuvex.result import QUANTITIES


def cli_run(cli, *args, cwd=None, env=None):
    return subprocess.run([cli, *args], capture_output=True, text=True, timeout=300, cwd=cwd, env=env)


def test_cli_and_package_list_the_same_quantities(cli):
    listed = json.loads(cli_run(cli, "--list-quantities", "--json").stdout)
    assert listed == _nuvex_c.quantities()
    assert cli_run(cli, "--quantities", "help", "--json").stdout == cli_run(cli, "--list-quantities", "--json").stdout
    by_name = {q["name"]: q for q in listed}
    assert {q.key: q.attr for q in QUANTITIES} == {n: q["alias"] or n for n, q in by_name.items()}
    for q in QUANTITIES:
        assert (q.definition, q.measure) == (by_name[q.key]["definition"], by_name[q.key]["unit"])


def test_cli_table_explains_every_row(cli, data_dir, cache_dir):
    out = cli_run(cli, "--data-dir", data_dir, "--set", f"cache_dir='{cache_dir}'", "--set", "show_progress=False")
    assert out.returncode == 0, out.stderr
    header, *rows = out.stdout.splitlines()
    assert header.split() == ["quantity", "alias", "value", "unit", "definition"]
    table = {r.split()[0]: r for r in rows}
    assert "Yp" in table["YPBBN"].split() and "nucleon fraction" in table["YPBBN"]
    assert "mass fraction" in table["YPCMB"] and "ratio by number" in table["DoH"]
    assert "eV" in table["OneOverOmeganunr"].split() and "relativistic" in table["Omeganurel"]
    assert all(len(r.split()) >= 6 for r in rows)  # name, alias, value, unit, definition words


def test_every_quantity_answers_to_both_names(cli, data_dir, cache_dir):
    r = nuvex.run(cache_dir=cache_dir, show_progress=False)
    assert r["Yp"] == r["YPBBN"] == r.Yp and r["Yp_mass"] == r["YPCMB"] == r.Yp_mass
    # the CLI's Monte Carlo keeps the names as given; the central values are those of the run
    out = cli_run(cli, "--data-dir", data_dir, "--set", f"cache_dir='{cache_dir}'", "--set", "show_progress=False",
                  "--mc", "2", "--jobs", "1", "--quantities", "Yp,YPCMB,He4", "--json")
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout)
    assert list(got) == ["Yp", "YPCMB", "He4"]
    assert got["Yp"]["central"] == r.Yp and got["YPCMB"]["central"] == r.Yp_mass
    assert got["He4"]["central"] == r.abundances["He4"]
    mc = nuvex.monte_carlo(2, ["Yp_mass", "YPBBN"], jobs=1, progress=False, cache_dir=cache_dir)
    assert mc.central["Yp_mass"] == r.Yp_mass and mc.central["YPBBN"] == r.Yp


class TestTheSameDidYouMean:
    def test_parameter_key(self, cli, data_dir, scratch):
        with pytest.raises(ValueError) as info:
            nuvex.run(tua_n=880)
        assert str(info.value) == "unknown parameter 'tua_n'; did you mean 'tau_n'?"
        out = cli_run(cli, "--data-dir", data_dir, "--set", "tua_n=880")
        assert out.returncode == 1
        assert out.stderr == "nuvex: invalid --set: unknown parameter key: tua_n; did you mean 'tau_n'?\n"
        ini = scratch / "run.ini"
        ini.write_text("numerical_presicion = 1e-8\n")
        with pytest.raises(ValueError, match="did you mean 'numerical_precision'"):
            nuvex.run(numerical_presicion=1e-8)
        out = cli_run(cli, "--data-dir", data_dir, "--ini", str(ini), "--set", "strict_params=True")
        assert f"{ini}:1: warning: unknown parameter key: numerical_presicion; did you mean " \
               "'numerical_precision'?" in out.stderr

    def test_quantity(self, cli, data_dir, cache_dir):
        with pytest.raises(ValueError, match=r"unknown quantity 'Ypp'.*; did you mean 'Yp'\?$"):
            nuvex.monte_carlo(2, ["Ypp"], cache_dir=cache_dir)
        out = cli_run(cli, "--data-dir", data_dir, "--set", f"cache_dir='{cache_dir}'", "--set", "show_progress=False",
                      "--mc", "2", "--quantities", "Ypp")
        assert out.returncode == 1
        assert out.stderr.rstrip().endswith("unknown quantity 'Ypp': neither a result quantity of this run nor a "
                                            "nuclide of its network; did you mean 'Yp'?")
        assert "nvx_" not in out.stderr  # the user ran nuvex, not the library's functions

    def test_suggestions_are_the_librarys(self):
        assert _nuvex_c.suggest("tua_n", ["tau_n", "std_tau_n", "h"]) == ["tau_n"]
        assert _nuvex_c.suggest("omegabh2", ["Omegach2", "Omegabh2"]) == ["Omegabh2"]
        assert _nuvex_c.suggest("zzzz", ["tau_n"]) == []
        assert nuvex._params.suggestions("DeltaNEff", nuvex.defaults()) == ["DeltaNeff"]
        with pytest.raises(TypeError):
            _nuvex_c.suggest("x", [1, 2])


class TestPromisedExceptionTypes:
    @pytest.mark.parametrize("key, value, expects", [
        ("tau_n", "880", "a number"),
        ("tau_n", True, "a number"),
        ("verbose", 1.0, "a bool"),
        ("n_electron_table", 2000.0, "an int"),
        ("amax", False, "an int or None"),
        ("network", 3, "a string or None"),
        ("Omegabh2", "0.022", "a number"),
        ("tau_n", [880], "a number"),
    ])
    def test_wrong_types_are_type_errors_naming_the_key(self, key, value, expects):
        with pytest.raises(TypeError) as info:
            nuvex.run(**{key: value})
        assert str(info.value) == f"{key} expects {expects}, not {type(value).__name__}"
        with pytest.raises(TypeError):
            nuvex.Solver().run(**{key: value})

    def test_values_the_solver_accepts_stay_accepted(self, cache_dir):
        # ints for numbers and bools, numpy scalars: what the solver takes is not refused
        import numpy as np
        r = nuvex.run(tau_n=np.float64(878.4), Omegabh2=np.float64(0.02242), verbose=0, amax=None,
                      n_electron_table=np.int64(2000), cache_dir=cache_dir, show_progress=False)
        assert r.Yp == nuvex.run(cache_dir=cache_dir, show_progress=False).Yp

    def test_failures_name_the_users_call(self, cli, data_dir, cache_dir):
        bad = "/nonexistent/background.tsv"
        with pytest.raises(RuntimeError) as info:
            nuvex.run(custom_background=bad, cache_dir=cache_dir, show_progress=False)
        assert str(info.value).startswith("nuvex.run: custom_background file") and bad in str(info.value)
        with pytest.raises(RuntimeError, match="^nuvex.Solver.run: custom_background file"):
            nuvex.Solver(cache_dir=cache_dir, show_progress=False).run(custom_background=bad)
        out = cli_run(cli, "--data-dir", data_dir, "--set", f"custom_background='{bad}'")
        assert out.returncode == 1 and out.stderr.startswith("nuvex: run failed: custom_background file")
        for text in (str(info.value), out.stderr):
            assert "didiva" not in text and "nvx_" not in text
        # the extension keeps its documented messages
        with pytest.raises(RuntimeError, match="^didiva_run failed: "):
            _nuvex_c.run_bbn({"custom_background": bad, "cache_dir": cache_dir}, data_dir, show_progress=0)
