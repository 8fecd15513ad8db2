# The `nuvex` command (console script and `python3 -m nuvex`): subcommands written in Python are
# registered here by name; everything else runs the compiled command-line program of the package.
"""The ``nuvex`` command.

``nuvex [options]`` is the compiled command-line program (one run, ``--mc``, ``--json``, ...): the
same flags, output and exit codes whether it is started as ``build/nuvex``, as ``nuvex`` after
``pip install`` or as ``python3 -m nuvex``. ``nuvex COMMAND ...`` runs a subcommand of the Python
package (``nuvex tables class --out sBBN.dat``); ``nuvex --help`` lists both.

A subcommand is one entry of :data:`SUBCOMMANDS`: its name, the module and function to call, and a
one-line summary. The function is called as ``main(argv, prog)`` with the arguments after the
subcommand's name and the program name to show in its usage (``"nuvex tables"``), and returns the
exit code. Its module is imported only when the subcommand runs.
"""
from __future__ import annotations

import importlib
import importlib.util
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence


@dataclass(frozen=True)
class Subcommand:
    module: str
    function: str
    summary: str


# name -> subcommand; add one line per subcommand.
SUBCOMMANDS: dict[str, Subcommand] = {
    "tables": Subcommand("nuvex.tables", "main", "write BBN tables for CLASS and CAMB"),
    "serve": Subcommand("nuvex.web", "main", "the calculator in the browser"),
}

_PACKAGE = Path(__file__).resolve().parent


def program() -> str | None:
    """Path of the compiled command-line program: installed in the package (``bin/nuvex``), else
    ``NUVEX_CLI``, else the one of the build tree whose extension module is on ``sys.path``."""
    candidates = [_PACKAGE / "bin" / "nuvex"]
    if os.environ.get("NUVEX_CLI"):
        candidates.append(Path(os.environ["NUVEX_CLI"]))
    try:
        spec = importlib.util.find_spec("_nuvex_c")
    except (ImportError, ValueError):
        spec = None
    if spec is not None and spec.origin:
        candidates.append(Path(spec.origin).resolve().parent.parent / "nuvex")  # build/python/_nuvex_c*.so
    for path in candidates:
        if path.is_file() and os.access(path, os.X_OK):
            return str(path)
    return None


def _usage_of_subcommands() -> str:
    width = max(len(n) for n in SUBCOMMANDS)
    lines = [f"  nuvex {n:<{width}}  {s.summary}" for n, s in SUBCOMMANDS.items()]
    return "commands of the Python package (nuvex COMMAND --help for their options):\n" + "\n".join(lines) + "\n"


def _run_subcommand(name: str, argv: list[str]) -> int:
    sub = SUBCOMMANDS[name]
    fn = getattr(importlib.import_module(sub.module), sub.function)
    rc = fn(argv, prog=f"nuvex {name}")
    return int(rc or 0)


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if args and args[0] in SUBCOMMANDS:
        return _run_subcommand(args[0], args[1:])
    exe = program()
    if exe is None:
        print("nuvex: the compiled command-line program was not found (not installed with the package, "
              "no NUVEX_CLI, no build tree); reinstall with 'python3 -m pip install --no-build-isolation .' "
              "or build it with 'make run'", file=sys.stderr)
        return 1
    if args[:1] in (["-h"], ["--help"]):
        sys.stdout.flush()
        rc = subprocess.run([exe, *args]).returncode
        try:
            print("\n" + _usage_of_subcommands(), end="", flush=True)
        except BrokenPipeError:  # `nuvex --help | head -1`: the reader has gone, as the program found
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return rc if rc >= 0 else 128 - rc  # a program ended by a signal: the shell's status
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execv(exe, [exe, *args])  # the same process: signals, streams and exit code are the program's
    except OSError as e:
        print(f"nuvex: cannot start {exe}: {e.strerror}", file=sys.stderr)
        return 1
