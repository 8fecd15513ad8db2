# Where the package finds the shipped data directory and where it keeps its caches, and the few
# data-directory facts it checks user input against (nuclide and reaction names).
from __future__ import annotations

import csv
import functools
import os
from pathlib import Path

_HERE = Path(__file__).resolve().parent
_MARKER = Path("csv") / "nuclides.csv"


def _is_data_dir(path: Path) -> bool:
    return (path / _MARKER).is_file()


@functools.lru_cache(maxsize=8)
def _locate(env_value: str | None) -> str:
    if env_value:
        path = Path(env_value).expanduser()
        if not _is_data_dir(path):
            raise FileNotFoundError(f"NUVEX_DATA_DIR={env_value!r} is not a NUVEX data directory (no {_MARKER})")
        return str(path.resolve())
    # installed: <package>/data; build or source tree: <repository>/data next to python/nuvex
    for candidate in (_HERE / "data", _HERE.parent.parent / "data"):
        if _is_data_dir(candidate):
            return str(candidate)
    raise FileNotFoundError(
        "the NUVEX data directory was not found: expected it installed with the package or at "
        f"{_HERE.parent.parent / 'data'}; set NUVEX_DATA_DIR or pass data_dir=")


def data_dir() -> str:
    """The data directory runs read by default.

    The environment variable ``NUVEX_DATA_DIR`` wins when set; otherwise the copy installed with the
    package, else the ``data/`` folder of the source tree the package was imported from (a build
    tree on ``PYTHONPATH``). ``FileNotFoundError`` when none holds ``csv/nuclides.csv``.
    """
    return _locate(os.environ.get("NUVEX_DATA_DIR") or None)


def cache_dir() -> str:
    """The per-user directory of the solver's cached tables.

    ``$XDG_CACHE_HOME/nuvex`` when that variable holds an absolute path (the XDG base-directory
    rule), else ``~/.cache/nuvex``. The first run with a new configuration writes its tables there;
    later runs read them. Never the installed package or the source tree.
    """
    xdg = os.environ.get("XDG_CACHE_HOME", "")
    if xdg and os.path.isabs(xdg):
        return os.path.join(xdg, "nuvex")
    home = os.path.expanduser("~")
    if home == "~" or not os.path.isabs(home):
        raise RuntimeError("no per-user cache directory: set XDG_CACHE_HOME or HOME, or pass cache_dir=")
    return os.path.join(home, ".cache", "nuvex")


@functools.lru_cache(maxsize=8)
def nuclide_masses(directory: str) -> dict[str, int]:
    """Nuclide name -> mass number A = N + Z, from the data directory's nuclide table."""
    out: dict[str, int] = {}
    with open(Path(directory) / _MARKER, newline="") as f:
        for row in csv.DictReader(f):
            try:
                out[row["name"]] = int(row["N"]) + int(row["Z"])
            except (KeyError, TypeError, ValueError):
                continue
    return out


@functools.lru_cache(maxsize=8)
def reaction_names(directory: str) -> frozenset[str]:
    """Names of the reactions of the data directory's catalogue (those ``p_``/``delta_`` keys may name)."""
    names: set[str] = set()
    path = Path(directory) / "csv" / "reactions_large.csv"
    try:
        with open(path, newline="") as f:
            for row in csv.DictReader(f):
                if row.get("name"):
                    names.add(row["name"].strip())
    except OSError:
        return frozenset()
    return frozenset(names)
