# The mutation-testing tool of tools/mutate: validation of its mutant list and applying and restoring
# one mutant on a temporary file (no builds, no test runs).
import importlib.util
import os
import pathlib
import re
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("nuvex_mutate", ROOT / "tools" / "mutate" / "mutate.py")
mutate = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(mutate)


def block(mid, file="src/a.cpp", desc="a fault", before="x + y", after="x - y"):
    return f"== {mid}\nfile: {file}\ndesc: {desc}\nbefore: {before}\nafter: {after}\n\n"


@pytest.fixture()
def tree(tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "a.cpp").write_text("int f(int x, int y) { return x + y; }\nint g() { return 2 * 2; }\n")
    return tmp_path


def errors_of(text, root):
    return mutate.validate(mutate.parse_list(text, "list.txt"), str(root), "list.txt")


def test_shipped_list_is_valid_and_large_enough():
    mutants = mutate.load_list(str(ROOT / "tools" / "mutate" / "mutants.txt"), str(ROOT))
    assert len(mutants) >= 40
    folders = {m.file.split("/")[1] if m.file.startswith("src/") else m.file.split("/")[0] for m in mutants}
    for subsystem in ("config", "cache", "numerics", "ode", "plasma", "neutrino", "background", "weak", "network",
                      "integration", "mc", "run", "python"):
        assert subsystem in folders


def test_parse_reads_blocks_and_continuation_lines(tree):
    text = "# comment\n" + block("one") + "== two\nfile: src/a.cpp\ndesc: two lines\nbefore: x + y; }\n| int g()\nafter: x; }\n| int g()\n"
    ms = mutate.parse_list(text)
    assert [m.id for m in ms] == ["one", "two"]
    assert ms[0].line == 2 and ms[1].line == 8
    assert ms[1].before == "x + y; }\nint g()" and ms[1].after == "x; }\nint g()"
    assert errors_of(text, tree) == []


@pytest.mark.parametrize("text, message", [
    (block("m1", file="src/missing.cpp"), "list.txt:1: mutant m1: file not found: src/missing.cpp"),
    (block("m1", before="x * y"), "list.txt:1: mutant m1: text not found in src/a.cpp"),
    (block("m1", before="return"), "list.txt:1: mutant m1: text found 2 times in src/a.cpp"),
    (block("m1", desc=""), "list.txt:1: mutant m1: empty description"),
    (block("m1", after="x + y"), "list.txt:1: mutant m1: 'after' equals 'before'"),
    (block("m1") + block("m1", before="2 * 2"), "list.txt:7: mutant m1: id already used at line 1"),
    (block("m1", file="../outside.cpp"), "list.txt:1: mutant m1: file not found: ../outside.cpp"),
])
def test_validation_names_line_and_mutant(tree, text, message):
    errors = errors_of(text, tree)
    assert len(errors) == 1 and errors[0].startswith(message), errors


@pytest.mark.parametrize("text, message", [
    ("file: src/a.cpp\n", "list.txt:1: text before the first '== ID' line"),
    ("== m1\nfile src/a.cpp\n", "list.txt:2: mutant m1: expected one of"),
    ("== m1\n| dangling\n", "list.txt:2: mutant m1: continuation line outside"),
    ("== bad id\n", "list.txt:1: mutant id 'bad id'"),
])
def test_malformed_list_is_an_error_naming_the_line(text, message):
    with pytest.raises(mutate.ListError, match="^" + re.escape(message)):
        mutate.parse_list(text, "list.txt")


def test_select_by_id_or_regex():
    ms = mutate.parse_list(block("weak.a") + block("weak.b") + block("mc.a"))
    assert [m.id for m in mutate.select(ms, ["mc.a"])] == ["mc.a"]
    assert [m.id for m in mutate.select(ms, ["^weak"])] == ["weak.a", "weak.b"]
    with pytest.raises(mutate.ListError):
        mutate.select(ms, ["nothing"])


def test_apply_and_restore_leave_the_original_text_with_a_newer_mtime(tree):
    path = tree / "src" / "a.cpp"
    original = path.read_text()
    old = time.time_ns() - 10**9
    os.utime(path, ns=(old, old))
    m = mutate.parse_list(block("m1"))[0]
    with mutate.Applied(str(tree), m):
        assert path.read_text() == original.replace("x + y", "x - y")
        mutated_mtime = path.stat().st_mtime_ns
        assert mutated_mtime > old
    assert path.read_text() == original
    # the restored file must rebuild: its mtime is not older than the object built from the mutant
    assert path.stat().st_mtime_ns >= mutated_mtime


def test_apply_restores_after_an_exception(tree):
    path = tree / "src" / "a.cpp"
    original = path.read_text()
    with pytest.raises(RuntimeError):
        with mutate.Applied(str(tree), mutate.parse_list(block("m1"))[0]):
            raise RuntimeError("build interrupted")
    assert path.read_text() == original


def test_sync_copies_only_changed_files(tmp_path):
    src, scratch = tmp_path / "repo", tmp_path / "work" / "src"
    src.mkdir()
    os.system(f"git -C {src} init -q")
    (src / "a.txt").write_text("one")
    (src / "b.txt").write_text("two")
    scratch.mkdir(parents=True)
    assert mutate.sync(str(src), str(scratch)) == 2
    old = time.time_ns() - 10**9
    os.utime(scratch / "a.txt", ns=(old, old))
    (src / "b.txt").write_text("three")
    (src / "a.txt").rename(src / "c.txt")
    assert mutate.sync(str(src), str(scratch)) == 2  # b changed, c new
    assert not (scratch / "a.txt").exists()  # no longer in the tree
    assert (scratch / "b.txt").read_text() == "three"


def test_shift_and_report():
    base = {"small": {q: 1.0 for q in mutate.QUANTITIES}}
    shifted = {"small": dict(base["small"], DoH=1.0 + 3e-5)}
    shift, note = mutate.largest_shift(base, shifted)
    assert shift == pytest.approx(3e-5) and note == "small DoH"
    assert mutate.largest_shift(base, {"small": None})[0] == float("inf")
    ms = mutate.parse_list(block("k") + block("s") + block("c"))
    outcomes = {"k": mutate.Outcome("killed", ["test_x:A.b"], 2e-3), "s": mutate.Outcome("survived", [], 3e-5),
                "c": mutate.Outcome("no-compile")}
    text = mutate.report(ms, outcomes, False)
    assert "Kill rate: 1/2 = 50.0 %" in text
    assert "Survivors shifting a default abundance by more than 1e-5: s" in text
    assert "Did not compile (not counted): c" in text
