# The install a user makes: a clean archive of the committed tree (what a clone holds, no build tree),
# `pip install --no-build-isolation --no-index .` into a fresh venv, then the package and the command from an empty folder.
"""Runs as its own ctest entry (label ``install``, minutes long); tested is ``git archive HEAD``, so
uncommitted changes are not part of it. The pip build is the package's default (Release, warnings
not fatal), so a compiler warning there is looked for in pip's output: a packager's build must be
quiet. The installed environment is the session fixture `installed` (conftest.py), which the
snippet tests share."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif("san" in os.environ.get("LD_PRELOAD", ""),
                                reason="a sanitizer runtime cannot be preloaded into the fresh interpreter")

# what points an interpreter or a build at the source tree or at one of our build trees: a user has
# none of it (every NUVEX_ variable, the build type; a compiler launcher such as ccache stays)
_TREE_VARIABLES = ("PYTHONPATH", "XDG_CACHE_HOME", "PIP_INDEX_URL", "CMAKE_BUILD_TYPE")


def _is_tree_variable(name):
    return name in _TREE_VARIABLES or name.startswith("NUVEX_")


def snapshot(folder, skip=()):
    files = (p for p in folder.rglob("*") if p.is_file() and not any(part in skip for part in p.parts))
    return {str(p.relative_to(folder)): p.stat().st_mtime_ns for p in files}


def clean_env(home, venv=None, **extra):
    env = {k: v for k, v in os.environ.items() if not _is_tree_variable(k)}
    env.update(HOME=str(home), PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", **extra)
    if venv is not None:  # an activated venv: its scripts folder first on PATH
        env["PATH"] = f"{venv / 'bin'}:{env.get('PATH', '/usr/bin:/bin')}"
        env["VIRTUAL_ENV"] = str(venv)
    return env


def git_checkout_root():
    """The repository's top folder when the sources are a git checkout with a commit, else None."""
    try:
        out = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--show-toplevel", "HEAD"], capture_output=True,
                             text=True, timeout=60)
    except OSError:
        return None
    if out.returncode != 0:
        return None
    top = pathlib.Path(out.stdout.split()[0]).resolve()
    return top if top == ROOT.resolve() else None


def archive_head(dest):
    """Extracts `git archive HEAD` into dest (tar through a pipe, as `git archive HEAD | tar -x -C dest`)."""
    dest.mkdir()
    git = subprocess.Popen(["git", "-C", str(ROOT), "archive", "--format=tar", "HEAD"], stdout=subprocess.PIPE)
    tar = subprocess.run(["tar", "-x", "-C", str(dest)], stdin=git.stdout, capture_output=True, timeout=300)
    git.stdout.close()
    assert git.wait(timeout=300) == 0 and tar.returncode == 0, tar.stderr.decode()


def compiler_warnings(log):
    return [line for line in log.splitlines() if re.search(r":\d+:(\d+:)? warning: |^cc1plus: warning: ", line)]


class Installed:
    """A venv with the package installed from a clean archive: paths and an environment per home."""

    def __init__(self, base):
        self.base = base
        self.source = base / "src"
        self.venv = base / "venv"
        self.python = self.venv / "bin" / "python"
        self.command = self.venv / "bin" / "nuvex"
        self.home = base / "home"
        self.build_log = ""

    def env(self, **extra):
        return clean_env(self.home, self.venv, **extra)

    def run(self, args, cwd, timeout=600, **extra):
        return subprocess.run([str(a) for a in args], cwd=cwd, env=self.env(**extra), capture_output=True, text=True,
                              timeout=timeout)


def install_from_archive(base):
    if git_checkout_root() is None:
        pytest.skip(f"{ROOT} is not a git checkout with a commit: the install test installs `git archive HEAD`")
    if shutil.which("tar") is None:
        pytest.skip("no tar to extract the archive")
    inst = Installed(base)
    archive_head(inst.source)
    assert not (inst.source / "build").exists()
    inst.home.mkdir()
    env = clean_env(inst.home)
    if "ccache" in env.get("CMAKE_CXX_COMPILER_LAUNCHER", "") and os.environ.get("HOME"):
        # the user's ccache keeps its configuration and cache under the real home; paths inside the
        # archive are hashed relative to it, so that a second install finds the first one's objects
        user = pathlib.Path(os.environ["HOME"])
        if (user / ".config" / "ccache" / "ccache.conf").is_file():
            env.setdefault("CCACHE_CONFIGPATH", str(user / ".config" / "ccache" / "ccache.conf"))
        env.setdefault("CCACHE_DIR", str(user / ".cache" / "ccache"))
        env["CCACHE_BASEDIR"] = str(inst.source)
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(inst.venv)], check=True, env=env,
                   timeout=300)
    out = subprocess.run([str(inst.python), "-m", "pip", "install", "-v", "--no-build-isolation", "--no-index",
                          "--no-cache-dir", "."], env=env, cwd=inst.source, capture_output=True, text=True,
                         timeout=3000)
    inst.build_log = out.stdout + out.stderr
    assert out.returncode == 0, inst.build_log[-6000:]
    return inst


@pytest.fixture()
def empty(installed, tmp_path):
    work = tmp_path / "empty"
    work.mkdir()
    return work


# The first run in a fresh home builds the electron-positron table, whose progress bar goes to
# stderr by design: without bars, nothing else may appear there.
SCRIPT = """
import json, nuvex
r = nuvex.run(thermal_corrections=False, show_progress=False)
print(json.dumps({"file": nuvex.__file__, "data": nuvex.data_dir(), "cache": nuvex.cache_dir(),
                  "repr": repr(r), "Yp": r.Yp}))
"""


def run_installed(inst, cwd, **extra):
    out = inst.run([inst.python, "-c", SCRIPT], cwd, **extra)
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
    return json.loads(out.stdout)


class TestBuild:
    def test_release_build_is_quiet(self, installed):
        trees = list((installed.source / "build").glob("pip-*/CMakeCache.txt"))
        assert len(trees) == 1, "the pip build configures one tree of its own"
        cache = trees[0].read_text()
        # the package's default build type, warnings not turned into errors: a packager's compiler
        # may warn where ours does not, and a warning must not stop an install
        assert "CMAKE_BUILD_TYPE:STRING=Release\n" in cache and "NUVEX_WERROR:BOOL=OFF\n" in cache
        assert "Building CXX object" in installed.build_log  # pip -v shows the compiler's output
        assert compiler_warnings(installed.build_log) == []

    def test_warning_detector(self):
        log = ("src/network/custom_network.cpp:88:25: warning: 'row[2]' may be used uninitialized "
               "[-Wmaybe-uninitialized]\nbuilding 'nuvex'\n")
        assert len(compiler_warnings(log)) == 1 and compiler_warnings("-- warnings: none\n") == []


class TestPackage:
    def test_installed_package_runs_outside_the_source_tree(self, installed, empty, cache_dir):
        inst = installed
        site = pathlib.Path(inst.run([inst.python, "-c", "import nuvex, os; print(os.path.dirname(nuvex.__file__))"],
                                     empty).stdout.strip())
        assert site.is_relative_to(inst.venv)
        before_pkg, before_src = snapshot(site), snapshot(inst.source / "data")

        got = run_installed(inst, empty)
        assert pathlib.Path(got["data"]) == site / "data"
        assert got["cache"] == str(inst.home / ".cache" / "nuvex")
        # the weak-rate tables of the default parameters ship with the data: only the plasma cache is
        # new, beside the snapshots of the run's stages
        assert sorted(p.name for p in (inst.home / ".cache" / "nuvex").iterdir()) == ["plasma", "snapshots"]
        # the same numbers as the build tree
        import nuvex
        assert got["repr"] == repr(nuvex.run(cache_dir=cache_dir, thermal_corrections=False, show_progress=False))

        got = run_installed(inst, empty, XDG_CACHE_HOME=str(inst.base / "xdg"))
        assert got["cache"] == str(inst.base / "xdg" / "nuvex")
        assert any((inst.base / "xdg" / "nuvex" / "plasma").iterdir())

        assert snapshot(site) == before_pkg
        assert snapshot(inst.source / "data") == before_src
        assert list(empty.iterdir()) == []
        # the shipped data came along, the run-time caches did not
        assert (site / "data" / "csv" / "nuclides.csv").is_file()
        assert (site / "data" / "nuclear" / "networks" / "small.txt").is_file()
        assert any((site / "data" / "weak_tables").glob("nTOp_thermal_*.txt"))
        assert not (site / "data" / "cache_plasma_weak" / "weak").exists()

    def test_installed_web_calculator_serves_its_page_and_files(self, installed, empty):
        pytest.importorskip("flask")
        pytest.importorskip("plotly")
        script = ("import json, nuvex.web\n"
                  "client = nuvex.web.create_app(workers=1).test_client()\n"
                  "page, js, css = client.get('/'), client.get('/static/app.js'), client.get('/static/style.css')\n"
                  "plotly = client.get(page.data.decode().split('data-plotly=\"', 1)[1].split('\"', 1)[0])\n"
                  "print(json.dumps([page.status_code, js.status_code, css.status_code, plotly.status_code, "
                  "nuvex.web.__file__]))\n")
        out = installed.run([installed.python, "-c", script], empty, timeout=300)
        assert out.returncode == 0, out.stderr
        *codes, where = json.loads(out.stdout)
        assert codes == [200, 200, 200, 200]  # the templates and static files were installed with the package
        assert pathlib.Path(where).is_relative_to(installed.venv)


class TestCommand:
    def test_help_lists_program_and_subcommands(self, installed, empty):
        for cmd in (["nuvex"], [installed.python, "-m", "nuvex"]):
            out = installed.run([*cmd, "--help"], empty, timeout=120)
            assert out.returncode == 0, out.stderr
            assert out.stdout.startswith("usage: nuvex [--data-dir DIR]")
            assert "nuvex serve" in out.stdout and "nuvex tables" in out.stdout
        assert shutil.which("nuvex", path=installed.env()["PATH"]) == str(installed.command)

    def test_default_run_prints_the_build_trees_table(self, installed, empty, cli, tmp_path):
        xdg = tmp_path / "xdg"
        ours = installed.run(["nuvex"], empty, XDG_CACHE_HOME=str(xdg))
        assert ours.returncode == 0, ours.stderr
        tree = subprocess.run([cli, "--data-dir", str(ROOT / "data")], cwd=empty, capture_output=True, text=True,
                              timeout=600, env=dict(os.environ, XDG_CACHE_HOME=str(xdg)))
        assert tree.returncode == 0, tree.stderr
        assert ours.stdout == tree.stdout and "YPBBN" in ours.stdout
        as_module = installed.run([installed.python, "-m", "nuvex", "--json", "--set", "show_progress=False"], empty,
                                  XDG_CACHE_HOME=str(xdg))
        assert as_module.returncode == 0, as_module.stderr
        assert json.loads(as_module.stdout)
        assert sorted(p.name for p in empty.iterdir()) == []
        # a usage error keeps the program's exit code through the console script
        assert installed.run(["nuvex", "--frobnicate"], empty, timeout=120).returncode == 2

    def test_serve_help(self, installed, empty):
        pytest.importorskip("flask")
        out = installed.run(["nuvex", "serve", "--help"], empty, timeout=120)
        assert out.returncode == 0, out.stderr
        assert out.stdout.startswith("usage: nuvex serve")
        out = installed.run([installed.python, "-m", "nuvex", "serve", "--help"], empty, timeout=120)
        assert out.returncode == 0 and out.stdout.startswith("usage: nuvex serve")
