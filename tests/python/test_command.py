# The nuvex command as a newcomer meets it: `python3 -m nuvex` runs the compiled program with the same
# output and exit codes, Python subcommands plug in by one registration, and scripts/bootstrap
# reports what it would install without installing it.
import json
import os
import pathlib
import stat
import subprocess
import sys

import pytest

from nuvex import cli

ROOT = pathlib.Path(__file__).resolve().parents[2]


def env_for(xdg_cache_home, **extra):
    env = dict(os.environ, XDG_CACHE_HOME=str(xdg_cache_home))
    env.update(extra)
    return env


def run(cmd, cwd, env):
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_warnings_during_a_monte_carlo_start_their_own_line(cli, scratch, xdg_cache_home):
    # the progress line is rewritten in place ('\r'); a warning written meanwhile (a clamped rate
    # factor) must end it first instead of landing at its end
    done = run([cli, "--mc", "400", "--seed", "1", "--jobs", "1"], scratch, env_for(xdg_cache_home))
    assert done.returncode == 0, done.stderr
    lines = done.stderr.split("\n")
    warnings = [ln for ln in lines if "the rate factor" in ln]
    assert warnings, "the seed should give clamped rate factors"
    assert all("\r" not in ln and "[MC]" not in ln for ln in warnings), warnings[:3]
    assert "[MC] 400/400 samples (100%)\n" in done.stderr


def test_help_into_a_closed_pipe_ends_quietly(cli, scratch, xdg_cache_home):
    # `nuvex --help | head -1`: the reader goes away; no traceback, the program's status kept
    def into_closed_pipe(cmd):
        p = subprocess.Popen(cmd, cwd=scratch, env=env_for(xdg_cache_home, NUVEX_CLI=cli),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.stdout.close()
        err = p.stderr.read().decode()
        p.stderr.close()
        return p.wait(timeout=60), err

    rc, err = into_closed_pipe([sys.executable, "-m", "nuvex", "--help"])
    assert "Traceback" not in err and "BrokenPipe" not in err, err
    # the help may fit the pipe before the reader goes (0) or meet the closed pipe (SIGPIPE: 128 + 13)
    assert rc in (0, 128 + 13), err
    assert into_closed_pipe([cli, "--help"])[0] in (0, -13)


class TestPythonModuleIsTheProgram:
    CASES = [
        ["--json", "--set", "show_progress=False"],                      # a run: same JSON document
        ["--set", "tua_n=880"],                                          # a refused key: exit 1
        ["--frobnicate"],                                                # a usage error: exit 2
        ["--mc", "3", "--seed", "2", "--jobs", "1", "--json", "--set", "show_progress=False"],
    ]

    @pytest.mark.parametrize("args,code", zip(CASES, (0, 1, 2, 0)), ids=["run", "bad-key", "usage", "mc"])
    def test_same_output_and_exit_code(self, cli, scratch, xdg_cache_home, args, code):
        env = env_for(xdg_cache_home, NUVEX_CLI=cli)
        direct = run([cli, *args], scratch, env)
        module = run([sys.executable, "-m", "nuvex", *args], scratch, env)
        assert (module.returncode, module.stdout) == (direct.returncode, direct.stdout)
        if "--mc" in args:  # the progress lines depend on timing
            assert module.stderr.startswith("[MC] Running 3 samples") and direct.stderr.startswith("[MC] Running 3")
        else:
            assert module.stderr == direct.stderr
        assert direct.returncode == code, direct.stderr
        if code == 0:
            assert json.loads(direct.stdout)
        assert list(scratch.iterdir()) == []  # nothing written into the working folder

    def test_help_lists_the_python_subcommands(self, cli, scratch, xdg_cache_home):
        out = run([sys.executable, "-m", "nuvex", "--help"], scratch, env_for(xdg_cache_home, NUVEX_CLI=cli))
        assert out.returncode == 0
        assert out.stdout.startswith("usage: nuvex [--data-dir DIR]")
        assert "nuvex tables" in out.stdout and "write BBN tables for CLASS and CAMB" in out.stdout
        assert "nuvex serve" in out.stdout and "the calculator in the browser" in out.stdout

    def test_subcommand_runs_with_its_program_name(self, scratch, xdg_cache_home):
        out = run([sys.executable, "-m", "nuvex", "tables", "--help"], scratch, env_for(xdg_cache_home))
        assert out.returncode == 0, out.stderr
        assert out.stdout.startswith("usage: nuvex tables")

    def test_serve_is_the_web_calculator(self, scratch, xdg_cache_home):
        pytest.importorskip("flask")
        env = env_for(xdg_cache_home)
        out = run([sys.executable, "-m", "nuvex", "serve", "--help"], scratch, env)
        assert out.returncode == 0, out.stderr
        assert out.stdout.startswith("usage: nuvex serve") and "--port" in out.stdout
        # the arguments and the program name reach the web command: a refused port, before any socket
        out = run([sys.executable, "-m", "nuvex", "serve", "--port", "70000"], scratch, env)
        assert (out.returncode, out.stdout) == (2, "")
        assert out.stderr == "nuvex serve: --port must be between 0 and 65535, not 70000\n"

    def test_compiled_program_points_to_the_python_subcommands(self, cli, scratch, xdg_cache_home):
        out = run([cli, "serve"], scratch, env_for(xdg_cache_home))
        assert out.returncode == 2
        assert "python3 -m nuvex serve" in out.stderr

    def test_data_directory_from_the_environment(self, cli, scratch, xdg_cache_home):
        # NUVEX_DATA_DIR names the data directory for the program as for the package
        out = run([cli, "--set", "show_progress=False"], scratch, env_for(xdg_cache_home, NUVEX_DATA_DIR=str(scratch)))
        assert out.returncode == 1
        assert "nuclides.csv" in out.stderr


def test_a_subcommand_is_one_registration(monkeypatch, tmp_path):
    module = tmp_path / "hello_cmd.py"
    module.write_text("def main(argv, prog):\n    print(prog, argv)\n    return 3\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setitem(cli.SUBCOMMANDS, "hello", cli.Subcommand("hello_cmd", "main", "say hello"))
    assert cli.main(["hello", "a", "--b"]) == 3
    assert "  nuvex hello" in cli._usage_of_subcommands()


def test_missing_program_is_a_clear_error(monkeypatch, capsys, tmp_path):
    monkeypatch.setattr(cli, "program", lambda: None)
    assert cli.main(["--json"]) == 1
    assert "compiled command-line program was not found" in capsys.readouterr().err


# ---------------------------------------------------------------- scripts/bootstrap
def fake_system(tmp_path, installed):
    """A PATH where dpkg-query knows `installed` and apt-get/sudo only record that they ran."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir(parents=True)
    log = tmp_path / "calls.log"
    names = " ".join(installed)
    scripts = {
        "dpkg-query": "#!/bin/sh\nfor p in \"$@\"; do case \" %s \" in *\" $p \"*) echo \"$p installed\";; esac; done\n"
                      % names,
        "apt-get": f"#!/bin/sh\necho \"apt-get $*\" >> {log}\n",
        "sudo": f"#!/bin/sh\necho \"sudo $*\" >> {log}\n\"$@\"\n",
    }
    for name, text in scripts.items():
        path = bin_dir / name
        path.write_text(text)
        path.chmod(path.stat().st_mode | stat.S_IEXEC)
    # the sanitizer runtime preloaded for our extension is not meant for the system's tools: under it
    # LeakSanitizer fails mktemp, which the script uses
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["PATH"] = f"{bin_dir}:{os.environ['PATH']}"
    return env, log


def bootstrap(env, *args):
    return subprocess.run(["sh", str(ROOT / "scripts" / "bootstrap"), *args], env=env, capture_output=True,
                          text=True, timeout=60)


class TestBootstrap:
    def required(self, tmp_path, group):
        """Every package of a group: what a dry run lists on a system where none is installed."""
        env, _ = fake_system(tmp_path / f"empty-{group}", [])
        out = bootstrap(env, "--dry-run", group)
        assert out.returncode == 0
        return out.stdout.split(":", 1)[1].split()

    def test_dry_run_lists_what_is_missing_and_installs_nothing(self, tmp_path):
        every = self.required(tmp_path, "all")
        assert {"cmake", "g++", "libgtest-dev", "python3-dev", "python3-pytest", "python3-numpy"} <= set(every)
        env, log = fake_system(tmp_path, [p for p in every if p != "python3-pytest"])
        out = bootstrap(env, "--dry-run")
        assert (out.returncode, out.stdout) == (0, "bootstrap: would install: python3-pytest\n")
        assert not log.exists()

    def test_build_group_is_what_make_run_needs(self, tmp_path):
        build, every = self.required(tmp_path, "build"), self.required(tmp_path, "all")
        assert set(build) < set(every)
        assert {"cmake", "g++", "python3-dev"} <= set(build) and "python3-sphinx" not in build

    def test_installs_only_the_missing_packages_in_one_line(self, tmp_path):
        every = self.required(tmp_path, "all")
        env, log = fake_system(tmp_path, [p for p in every if p not in ("clang", "python3-tqdm")])
        out = bootstrap(env)
        assert out.returncode == 0, out.stderr
        assert out.stdout == "bootstrap: installing missing Debian packages: clang python3-tqdm\n"
        calls = log.read_text()
        assert "apt-get install -y -qq clang python3-tqdm" in calls

    def test_nothing_missing_is_silent(self, tmp_path):
        every = self.required(tmp_path, "all")
        env, log = fake_system(tmp_path, every)
        out = bootstrap(env)
        assert (out.returncode, out.stdout, out.stderr) == (0, "", "")
        assert not log.exists()
