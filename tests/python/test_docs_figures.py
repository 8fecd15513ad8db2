# The documentation's figure cache: a job runs again exactly when its key (own source, library,
# package, data) changes, when a cached file is damaged or on request, and a failed job leaves nothing.
import importlib.util
import json
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def _load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    mod = importlib.util.module_from_spec(spec)
    sys.modules[name] = mod
    spec.loader.exec_module(mod)
    return mod


fc = _load("figure_cache", ROOT / "docs" / "figure_cache.py")


class Counting:
    """A job body that writes a figure whose bytes encode its argument and counts its runs."""

    def __init__(self, payload=b"PNG-1", prints="printed line\n"):
        self.payload, self.prints, self.calls = payload, prints, 0

    def __call__(self, out):
        self.calls += 1
        assert Path.cwd() == out  # examples write their figures to the working directory
        (out / "fig.png").write_bytes(self.payload)
        (out / "scratch.tmp").write_text("not promised")
        print(self.prints, end="")


def job(body, source="v1"):
    return fc.Job("demo", body, source, ["fig.png"])


@pytest.fixture()
def dirs(tmp_path):
    return tmp_path / "cache", tmp_path / "out"


def test_unchanged_key_reuses_and_changed_parts_rebuild(dirs):
    cache, out = dirs
    body = Counting()
    assert fc.build([job(body)], cache, out, "lib-A", echo=False, log=lambda s: None) == {"demo": "built"}
    assert (out / "fig.png").read_bytes() == b"PNG-1"
    assert (out / "demo.txt").read_text() == "printed line\n"
    assert not (cache / "demo" / "scratch.tmp").exists()  # only promised files are kept
    mtime = os.stat(out / "fig.png").st_mtime_ns
    assert fc.build([job(body)], cache, out, "lib-A", echo=False, log=lambda s: None) == {"demo": "reused"}
    assert body.calls == 1
    assert os.stat(out / "fig.png").st_mtime_ns == mtime  # identical output left untouched
    # the job's own source, the common key (library, package, data) and the rebuild request each rerun it
    for source, common, rebuild in (("v2", "lib-A", False), ("v2", "lib-B", False), ("v2", "lib-B", True)):
        body.payload = f"{source}{common}{rebuild}".encode()
        assert fc.build([job(body, source)], cache, out, common, rebuild=rebuild, echo=False,
                        log=lambda s: None) == {"demo": "built"}
        assert (out / "fig.png").read_bytes() == body.payload
    assert body.calls == 4
    # a new output in the job's promise is a new key too
    two = fc.Job("demo", body, "v2", ["fig.png", "fig2.png"])
    assert fc.job_key("lib-B", two) != fc.job_key("lib-B", job(body, "v2"))
    # no stray folders of earlier entries or runs are left in the cache, also after a killed run
    (cache / ".demo.killedrun" / "half.png").parent.mkdir()
    (cache / ".demo.killedrun" / "half.png").write_bytes(b"half")
    fc.build([job(body, "v3")], cache, out, "lib-B", echo=False, log=lambda s: None)
    assert sorted(p.name for p in cache.iterdir()) == ["demo"]


@pytest.mark.parametrize("damage", ["truncate", "edit", "delete", "manifest", "output"])
def test_damaged_entry_is_rebuilt(dirs, damage):
    cache, out = dirs
    body = Counting(payload=b"\x89PNG" + bytes(range(256)) * 8)
    fc.build([job(body)], cache, out, "k", echo=False, log=lambda s: None)
    entry = cache / "demo"
    if damage == "truncate":
        data = (entry / "fig.png").read_bytes()
        (entry / "fig.png").write_bytes(data[: len(data) // 2])
    elif damage == "edit":
        data = bytearray((entry / "fig.png").read_bytes())
        data[100] ^= 1
        (entry / "fig.png").write_bytes(bytes(data))
    elif damage == "delete":
        (entry / "fig.png").unlink()
    elif damage == "manifest":
        (entry / fc.MANIFEST).write_text("{ not json")
    else:
        (entry / fc.OUTPUT).write_text("someone else's output\n")
    (out / "fig.png").write_bytes(b"stale")
    assert fc.build([job(body)], cache, out, "k", echo=False, log=lambda s: None) == {"demo": "built"}
    assert body.calls == 2
    assert (out / "fig.png").read_bytes() == body.payload
    assert (out / "demo.txt").read_text() == "printed line\n"
    manifest = json.loads((entry / fc.MANIFEST).read_text())
    assert manifest["files"]["fig.png"] == fc.sha256_file(entry / "fig.png")


def test_failed_or_incomplete_job_leaves_no_entry(dirs):
    cache, out = dirs
    good = Counting()
    fc.build([job(good)], cache, out, "k", echo=False, log=lambda s: None)

    def crashes(work):
        (work / "fig.png").write_bytes(b"half")
        raise ValueError("the chain diverged")

    def forgets(work):
        print("made nothing")

    with pytest.raises(ValueError, match="the chain diverged"):
        fc.build([job(crashes, "v2")], cache, out, "k", echo=False, log=lambda s: None)
    with pytest.raises(RuntimeError, match="did not make fig.png"):
        fc.build([job(forgets, "v3")], cache, out, "k", echo=False, log=lambda s: None)
    # the earlier good entry still stands (a failure replaces nothing) and no partial folders remain
    assert sorted(p.name for p in cache.iterdir()) == ["demo"]
    assert (out / "fig.png").read_bytes() == b"PNG-1"
    assert fc.build([job(good)], cache, out, "k", echo=False, log=lambda s: None) == {"demo": "reused"}


def test_relative_folders_are_taken_from_the_caller(tmp_path, monkeypatch):
    # the job runs in its own folder: relative cache and output folders must not follow it there
    monkeypatch.chdir(tmp_path)
    body = Counting()
    assert fc.build([job(body)], Path("cache"), Path("out"), "k", echo=False, log=lambda s: None) == {"demo": "built"}
    assert Path.cwd() == tmp_path
    assert (tmp_path / "out" / "fig.png").read_bytes() == b"PNG-1"
    assert fc.build([job(body)], Path("cache"), Path("out"), "k", echo=False, log=lambda s: None) == {"demo": "reused"}


def test_output_never_replaces_a_directory(dirs):
    cache, out = dirs
    (out / "fig.png").mkdir(parents=True)
    with pytest.raises(OSError, match="not a regular file"):
        fc.build([job(Counting())], cache, out, "k", echo=False, log=lambda s: None)
    assert (out / "fig.png").is_dir()


def test_files_digest_follows_contents_and_presence(tmp_path):
    a, b = tmp_path / "lib.so", tmp_path / "pkg.py"
    a.write_bytes(b"one")
    b.write_bytes(b"two")
    base = fc.files_digest([a, b])
    assert fc.files_digest([b, a]) == base
    a.write_bytes(b"onE")
    assert fc.files_digest([a, b]) != base
    a.write_bytes(b"one")
    assert fc.files_digest([a, b]) == base
    b.unlink()
    assert fc.files_digest([a, b]) != base


def test_docs_jobs_cover_every_figure_the_pages_show():
    # every image under _figures/ that a page shows is made by one job, keyed by the example's text
    mf = _load("make_figures", ROOT / "docs" / "make_figures.py")
    made = {name for j in mf.jobs() for name in j.outputs + [f"{j.name}.txt"]}
    shown = set()
    for page in (ROOT / "docs").rglob("*.rst"):
        for line in page.read_text(encoding="utf-8").splitlines():
            if "_figures/" in line and line.strip().startswith(".."):
                shown.add(line.split("_figures/", 1)[1].strip())
    assert shown and shown <= made
    example = next(j for j in mf.jobs() if j.name == "infer_omegab_dh")
    assert (ROOT / "examples" / "infer_omegab_dh.py").read_text(encoding="utf-8") in example.source


def test_example_runs_as_a_script_in_its_own_folder(tmp_path, monkeypatch):
    # an example is its own process in a fresh folder: it must still import the package this build
    # uses when PYTHONPATH was given relative to the caller's folder, and a failing one stops the build
    mf = _load("make_figures", ROOT / "docs" / "make_figures.py")
    import nuvex

    pkg_parent = Path(nuvex.__file__).resolve().parent.parent
    ext_dir = Path(sys.modules["_nuvex_c"].__file__).resolve().parent if "_nuvex_c" in sys.modules else pkg_parent
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(os.path.relpath(p, tmp_path) for p in (ext_dir, pkg_parent)))
    script = tmp_path / "demo_example.py"
    script.write_text("import sys\nimport nuvex\nopen('demo_example.png', 'wb').write(b'png')\n"
                      "print('steps', sys.argv[1], nuvex.__name__)\n")
    status = mf.figure_cache.build([mf.example_job("demo_example", 7, script)], Path("cache"), Path("out"),
                                   "k", echo=False, log=lambda s: None)
    assert status == {"demo_example": "built"}
    assert (tmp_path / "out" / "demo_example.txt").read_text() == "steps 7 nuvex\n"
    script.write_text("raise SystemExit('no data')\n")
    with pytest.raises(RuntimeError, match="exit 1"):
        mf.figure_cache.build([mf.example_job("demo_example", 7, script)], Path("cache"), Path("out"), "k",
                              echo=False, log=lambda s: None)


def test_shipped_outputs_stand_in_until_the_example_or_the_data_change(tmp_path):
    # the chains' kept outputs serve a fresh clone and a changed library; a changed example or data,
    # a damaged kept file, or a rebuild request runs the job, and a run refreshes the kept entry
    cache, out, kept = tmp_path / "cache", tmp_path / "out", tmp_path / "kept"
    body = Counting(payload=b"chain-1")

    def chain(source="ex-1"):
        return fc.Job("demo", body, source, ["fig.png"], shipped=True)

    def build(source="ex-1", lib="lib-A", data="data-A", rebuild=False, cache_dir=cache):
        # the cache's key holds the library and the data; the kept entry's key only the data
        return fc.build([chain(source)], cache_dir, out, lib + data, rebuild=rebuild, echo=False,
                        log=lambda s: None, shipped=kept, shipped_common=data)["demo"]

    assert build() == "built" and body.calls == 1
    assert (kept / "demo" / "fig.png").read_bytes() == b"chain-1"
    # a fresh clone (no cache) and a changed library both take the kept output without running
    assert build(cache_dir=tmp_path / "fresh") == "shipped"
    assert build(lib="lib-B") == "shipped" and body.calls == 1
    assert (out / "fig.png").read_bytes() == b"chain-1" and (out / "demo.txt").read_text() == "printed line\n"
    # a changed example, changed data, or a request runs it and refreshes the kept entry
    for n, kwargs in enumerate(({"source": "ex-2"}, {"source": "ex-2", "data": "data-B"},
                                {"source": "ex-2", "data": "data-B", "lib": "lib-C", "rebuild": True}), start=2):
        body.payload = f"chain-{n}".encode()
        assert build(**kwargs) == "built" and body.calls == n
        assert (kept / "demo" / "fig.png").read_bytes() == body.payload
    assert build(source="ex-2", data="data-B", lib="lib-D") == "shipped"
    # a damaged kept file is never published: the job runs again
    (kept / "demo" / "fig.png").write_bytes(b"chain-?")
    assert build(source="ex-2", data="data-B", lib="lib-E") == "built"
    assert (out / "fig.png").read_bytes() == body.payload
    assert sorted(p.name for p in kept.iterdir()) == ["demo"]  # no stray folders


def test_kept_chain_outputs_match_the_examples_and_the_data():
    # the outputs kept in the repository must be those of today's examples on today's data; after a
    # change to either, `make docs DOCS_REBUILD=1` refreshes them (then commit docs/example_outputs)
    mf = _load("make_figures", ROOT / "docs" / "make_figures.py")
    shipped = [j for j in mf.jobs() if j.shipped]
    assert {j.name for j in shipped} == {"infer_omegab_dh", "infer_omegab_neff"}
    key = mf.shipped_key()
    for j in shipped:
        assert fc._entry_valid(ROOT / "docs" / "example_outputs" / j.name, fc.job_key(key, j), j), (
            f"docs/example_outputs/{j.name} is not the output of today's example on today's data: "
            "run `make docs DOCS_REBUILD=1` and commit docs/example_outputs")
