# The code blocks of README.md and docs/ run as a reader runs them: each page's Python blocks in order in one
# interpreter, each shell block on its own, from an empty folder against the package installed from a clean archive.
"""Blocks that are not meant to run carry a marker naming why, just before them (before the paragraph
that introduces an rst literal block): ``<!-- not run: REASON -->`` in Markdown, ``.. not run: REASON``
in reStructuredText. Python blocks are ``python`` (``pycon`` for an interactive session whose printed
output or exception is checked), shell blocks ``sh``, ``bash`` or ``console``; other languages (``c``,
``text``, ``ini``) are not run. Every Markdown fence names its language and every rst literal block
(``::``) is marked, so that no block escapes by accident."""
import dataclasses
import os
import pathlib
import re
import subprocess
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.rst")), *sorted((ROOT / "docs" / "physics").glob("*.rst"))]
PYTHON, SHELL = {"python", "python3", "py", "pycon"}, {"sh", "bash", "console", "shell"}
PAGE_TIMEOUT_S = 1200

MD_MARKER = re.compile(r"^<!--\s*not run:\s*(.*?)\s*-->\s*$")
RST_MARKER = re.compile(r"^\.\. not run:\s*(.*\S)\s*$")


@dataclasses.dataclass
class Block:
    page: str
    line: int          # 1-based line of the fence or directive
    lang: str          # "" for an rst literal block (::)
    text: str
    not_run: str | None

    @property
    def where(self):
        return f"{self.page}:{self.line}"


def markdown_blocks(text, page="README.md"):
    blocks, lines, i, reason = [], text.splitlines(), 0, None
    while i < len(lines):
        line = lines[i]
        m = MD_MARKER.match(line.strip())
        if m:
            reason = m.group(1)
        elif line.startswith("```"):
            lang, start, body = line[3:].strip().lower(), i + 1, []
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                body.append(lines[i])
                i += 1
            blocks.append(Block(page, start, lang, "\n".join(body) + "\n", reason))
            reason = None
        elif line.strip():
            reason = None  # a marker binds the block right after it
        i += 1
    return blocks


def _indented_body(lines, i):
    """The indented block starting after line i (blank lines inside kept), dedented, and the next line."""
    j = i + 1
    while j < len(lines) and lines[j].strip().startswith(":") and lines[j].startswith(" "):
        j += 1  # directive options
    body = []
    while j < len(lines) and (not lines[j].strip() or lines[j][:1] in (" ", "\t")):
        body.append(lines[j])
        j += 1
    return textwrap.dedent("\n".join(body)).strip("\n") + "\n", j


def rst_blocks(text, page):
    blocks, lines, i, reason = [], text.splitlines(), 0, None
    while i < len(lines):
        line = lines[i]
        m = RST_MARKER.match(line)
        directive = re.match(r"^\s*\.\. code-block::\s*(\S*)", line)
        if m:
            reason = m.group(1)
        elif directive:
            body, nxt = _indented_body(lines, i)
            blocks.append(Block(page, i + 1, directive.group(1).lower(), body, reason))
            reason, i = None, nxt
            continue
        elif line.rstrip().endswith("::") and not re.match(r"^\s*\.\. ", line):
            body, nxt = _indented_body(lines, i)
            if body.strip():
                blocks.append(Block(page, i + 1, "", body, reason))
                reason, i = None, nxt
                continue
        i += 1
    return blocks


def page_blocks(path):
    rel = str(path.relative_to(ROOT))
    text = path.read_text()
    return markdown_blocks(text, rel) if path.suffix == ".md" else rst_blocks(text, rel)


def runnable(blocks):
    return [b for b in blocks if b.not_run is None and b.lang in PYTHON | SHELL]


# Runs a page's Python blocks in one namespace, naming the block that fails; a pycon block compares the
# printed output or the exception line with the one shown.
RUNNER = r'''
import contextlib, io, json, sys, traceback
blocks = json.loads(sys.stdin.read())
ns = {"__name__": "__main__"}

def pycon(text):
    lines, i = text.splitlines(), 0
    while i < len(lines):
        if not lines[i].startswith(">>> "):
            i += 1
            continue
        source, i = lines[i][4:], i + 1
        while i < len(lines) and lines[i].startswith("... "):
            source += "\n" + lines[i][4:]
            i += 1
        expected = []
        while i < len(lines) and lines[i].strip() and not lines[i].startswith(">>> "):
            expected.append(lines[i])
            i += 1
        out = io.StringIO()
        try:
            with contextlib.redirect_stdout(out):
                try:
                    value = eval(compile(source, "<pycon>", "eval"), ns)
                    if value is not None:
                        print(repr(value))
                except SyntaxError:
                    exec(compile(source, "<pycon>", "exec"), ns)
            got = out.getvalue().splitlines()
        except Exception as e:
            got = [f"{type(e).__name__}: {e}"]
        if got != expected:
            raise AssertionError(f"{source!r} shows {expected}, gives {got}")

for where, lang, text in blocks:
    print(f"--- {where}", file=sys.stderr, flush=True)
    try:
        if lang == "pycon":
            pycon(text)
        else:
            exec(compile(text, where, "exec"), ns)
    except BaseException:
        traceback.print_exc()
        print(f"SNIPPET FAILED: {where}", file=sys.stderr)
        sys.exit(1)
'''


def snippet_env(installed, tmp_path):
    # one per-user cache for all pages (a reader's cache is warm after the first page), in the install's temp folder
    return installed.env(XDG_CACHE_HOME=str(installed.base / "xdg-snippets"), MPLBACKEND="Agg")


def run_page_python(installed, blocks, tmp_path):
    import json
    work = tmp_path / "empty"
    work.mkdir()
    todo = [(b.where, b.lang, b.text) for b in blocks]
    try:
        out = subprocess.run([str(installed.python), "-c", RUNNER], input=json.dumps(todo), cwd=work, text=True,
                             capture_output=True, env=snippet_env(installed, tmp_path), timeout=PAGE_TIMEOUT_S)
    except subprocess.TimeoutExpired as e:
        started = re.findall(r"^--- (\S+)", (e.stderr or b"").decode(errors="replace"), re.M)
        pytest.fail(f"over {PAGE_TIMEOUT_S} s, in the block at {started[-1] if started else '?'}")
    assert out.returncode == 0, out.stderr[-4000:]


def run_shell(installed, block, tmp_path):
    work = tmp_path / "empty"
    work.mkdir()
    script = "\n".join(line[2:] if line.startswith("$ ") else line for line in block.text.splitlines())
    out = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", script], cwd=work, text=True, capture_output=True,
                         env=snippet_env(installed, tmp_path), timeout=PAGE_TIMEOUT_S)
    assert out.returncode == 0, f"{block.where}\n{out.stdout[-2000:]}\n{out.stderr[-4000:]}"


def _page_ids():
    return [str(p.relative_to(ROOT)) for p in PAGES]


# ---------------------------------------------------------------- the extraction and the markers
class TestExtraction:
    def test_markdown_fences_markers_and_languages(self):
        text = ("intro\n```python\nx = 1\n\ny = 2\n```\n<!-- not run: needs a cluster -->\n```sh\nmake run\n```\n"
                "<!-- not run: stale -->\nprose in between\n```text\nnuvex [--json]\n```\n")
        a, b, c = markdown_blocks(text)
        assert (a.line, a.lang, a.text, a.not_run) == (2, "python", "x = 1\n\ny = 2\n", None)
        assert (b.lang, b.text, b.not_run) == ("sh", "make run\n", "needs a cluster")
        assert c.not_run is None and runnable([a, b, c]) == [a]

    def test_rst_directives_literal_blocks_and_markers(self):
        text = ("Title\n=====\n\n.. code-block:: python\n   :caption: x\n\n    import nuvex\n\n    r = 1\n\n"
                ".. not run: a server that runs until Ctrl-C\n\nStart it::\n\n   nuvex serve\n\nAfter.\n"
                "Plain::\n\n   a = 1\n")
        a, b, c = rst_blocks(text, "p.rst")
        assert (a.line, a.lang, a.text, a.not_run) == (4, "python", "import nuvex\n\nr = 1\n", None)
        assert (b.lang, b.text, b.not_run) == ("", "nuvex serve\n", "a server that runs until Ctrl-C")
        assert (c.lang, c.not_run) == ("", None)

    @pytest.mark.parametrize("page", PAGES, ids=_page_ids())
    def test_every_block_says_whether_it_runs(self, page):
        for b in page_blocks(page):
            if page.suffix == ".md":
                assert b.lang, f"{b.where}: a fence without a language (python, sh, text, ...)"
            elif not b.lang:
                assert b.not_run is not None, f"{b.where}: a literal block (::) neither marked not run nor given a " \
                                              "language with .. code-block::"
            if b.not_run is not None:
                assert len(b.not_run) > 10, f"{b.where}: say why the block does not run"

    def test_the_pages_have_blocks_that_run(self):
        # the extraction finds what the pages show: a quick start that runs, a README that does
        assert len(runnable(page_blocks(ROOT / "README.md"))) >= 2
        assert len(runnable(page_blocks(ROOT / "docs" / "quickstart.rst"))) >= 5


# ---------------------------------------------------------------- running them
@pytest.mark.parametrize("page", [p for p in PAGES if any(b.lang in PYTHON for b in runnable(page_blocks(p)))],
                         ids=lambda p: str(p.relative_to(ROOT)))
def test_python_blocks_of_the_page_run(page, installed, tmp_path):
    run_page_python(installed, [b for b in runnable(page_blocks(page)) if b.lang in PYTHON], tmp_path)


SHELL_BLOCKS = [b for p in PAGES for b in runnable(page_blocks(p)) if b.lang in SHELL]


@pytest.mark.parametrize("block", SHELL_BLOCKS, ids=[b.where for b in SHELL_BLOCKS])
def test_shell_block_runs(block, installed, tmp_path):
    run_shell(installed, block, tmp_path)


def test_a_failing_block_is_named(installed, tmp_path):
    # the runner reports the block that fails, not a later one, and a pycon block's shown output counts
    blocks = [Block("a.md", 3, "python", "import nuvex\nx = 2\n", None),
              Block("a.md", 9, "pycon", ">>> x + 1\n4\n", None),
              Block("a.md", 14, "python", "raise SystemExit('never reached')\n", None)]
    with pytest.raises(AssertionError, match=r"(?s)'x \+ 1' shows \['4'\], gives \['3'\].*SNIPPET FAILED: a.md:9"):
        run_page_python(installed, blocks, tmp_path)
    assert os.listdir(tmp_path / "empty") == []
