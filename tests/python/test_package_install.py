# The offline install: `pip install --no-build-isolation .` into a fresh virtual environment, then
# `import nuvex` from a directory outside the source tree, with the data directory installed in the
# package and the caches in the per-user directory (never the package or the source tree).
import json
import os
import pathlib
import subprocess
import sys

import pytest

import nuvex

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif("san" in os.environ.get("LD_PRELOAD", ""),
                                reason="a sanitizer runtime cannot be preloaded into the fresh interpreter")


def snapshot(folder, skip=()):
    files = (p for p in folder.rglob("*") if p.is_file() and not any(part in skip for part in p.parts))
    return {str(p.relative_to(folder)): p.stat().st_mtime_ns for p in files}


def clean_env(home, **extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "NUVEX_DATA_DIR", "XDG_CACHE_HOME", "PIP_INDEX_URL")}
    env.update(HOME=str(home), PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", **extra)
    return env


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    base = tmp_path_factory.mktemp("install")
    build = os.environ.get("NUVEX_BUILD_DIR", str(ROOT / "build"))
    if not (pathlib.Path(build) / "CMakeCache.txt").is_file():
        pytest.skip("no configured build tree to install from")
    home = base / "home"
    home.mkdir()
    env = clean_env(home, NUVEX_CMAKE_BUILD_DIR=build)
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(base / "venv")], check=True,
                   env=env, timeout=300)
    python = base / "venv" / "bin" / "python"
    out = subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-cache-dir",
                          "--quiet", str(ROOT)], env=env, cwd=base, capture_output=True, text=True, timeout=900)
    assert out.returncode == 0, out.stdout + out.stderr
    return base, python


# The first run in a fresh home builds the electron-positron table, whose progress bar goes to
# stderr by design: without bars, nothing else may appear there.
SCRIPT = """
import json, nuvex
r = nuvex.run(thermal_corrections=False, show_progress=False)
print(json.dumps({"file": nuvex.__file__, "data": nuvex.data_dir(), "cache": nuvex.cache_dir(),
                  "repr": repr(r), "Yp": r.Yp}))
"""


def run_installed(python, cwd, env):
    out = subprocess.run([str(python), "-c", SCRIPT], cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
    return json.loads(out.stdout)


def test_installed_package_runs_outside_the_source_tree(venv, cache_dir):
    base, python = venv
    work = base / "work"
    work.mkdir()
    site = pathlib.Path(subprocess.run([str(python), "-c", "import nuvex, os; print(os.path.dirname(nuvex.__file__))"],
                                       cwd=work, env=clean_env(base / "home"), capture_output=True, text=True,
                                       check=True).stdout.strip())
    assert site.is_relative_to(base / "venv")
    # the C suites running alongside may write caches into the source tree's data directory
    before_pkg, before_data = snapshot(site), snapshot(ROOT / "data", skip=("cache_plasma_weak",))

    got = run_installed(python, work, clean_env(base / "home"))
    assert pathlib.Path(got["data"]) == site / "data"
    assert got["cache"] == str(base / "home" / ".cache" / "nuvex")
    # the weak-rate tables of the default parameters ship with the data: only the plasma cache is new,
    # beside the snapshots of the run's stages
    assert sorted(p.name for p in (base / "home" / ".cache" / "nuvex").iterdir()) == ["plasma", "snapshots"]
    # the same numbers as the build tree
    assert got["repr"] == repr(nuvex.run(cache_dir=cache_dir, thermal_corrections=False, show_progress=False))

    got = run_installed(python, work, clean_env(base / "home", XDG_CACHE_HOME=str(base / "xdg")))
    assert got["cache"] == str(base / "xdg" / "nuvex")
    assert any((base / "xdg" / "nuvex" / "plasma").iterdir())

    assert snapshot(site) == before_pkg
    assert snapshot(ROOT / "data", skip=("cache_plasma_weak",)) == before_data
    assert list(work.iterdir()) == []
    # the shipped data came along, the run-time caches of the source tree did not
    assert (site / "data" / "csv" / "nuclides.csv").is_file()
    assert (site / "data" / "nuclear" / "networks" / "small.txt").is_file()
    assert any((site / "data" / "weak_tables").glob("nTOp_thermal_*.txt"))
    assert not (site / "data" / "cache_plasma_weak" / "weak").exists()


WEB_SCRIPT = """
import json, nuvex.web
client = nuvex.web.create_app(workers=1).test_client()
page, js, css = client.get("/"), client.get("/static/app.js"), client.get("/static/style.css")
plotly = client.get(page.data.decode().split('data-plotly="', 1)[1].split('"', 1)[0])
print(json.dumps([page.status_code, js.status_code, css.status_code, plotly.status_code, nuvex.web.__file__]))
"""


def test_installed_web_calculator_serves_its_page_and_files(venv):
    pytest.importorskip("flask")
    pytest.importorskip("plotly")
    base, python = venv
    out = subprocess.run([str(python), "-c", WEB_SCRIPT], cwd=base, env=clean_env(base / "home"), capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    *codes, where = json.loads(out.stdout)
    assert codes == [200, 200, 200, 200]  # the templates and static files were installed with the package
    assert pathlib.Path(where).is_relative_to(base / "venv")
