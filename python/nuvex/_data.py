# Where the package finds the shipped data directory and where it keeps its caches, the few
# data-directory facts it checks user input against (nuclide and reaction names), and the rate sets
# a data directory offers.
from __future__ import annotations

import csv
import functools
import os
import re
from dataclasses import dataclass
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


_default_data_dir = data_dir
# the names the solver accepts for rate_set (a file of the ratesets folder, nothing outside it)
_SET_NAME = re.compile(r"[A-Za-z0-9_+-][A-Za-z0-9_.+-]{0,62}")


@dataclass(frozen=True)
class RateSetEntry:
    """One reaction of a rate set: the table file replacing its own (in ``nuclear/tables/<reaction>/``),
    where that rate comes from and its 1-sigma uncertainty."""

    reaction: str
    table: str
    source: str
    uncertainty: str


@dataclass(frozen=True)
class RateSet:
    """A rate set (``rate_set=name``): its manifest, description and the reactions it replaces."""

    name: str
    path: str
    description: str
    entries: tuple[RateSetEntry, ...]

    def __repr__(self) -> str:
        head = f"rate set {self.name!r} ({len(self.entries)} reactions, {self.path})"
        rows = [f"  {e.reaction:<14} {e.table:<26} {e.source}" for e in self.entries]
        return "\n".join([head, *rows])


def _read_rate_set(name: str, path: Path) -> RateSet:
    description: list[str] = []
    entries: list[RateSetEntry] = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line:
                continue
            if line.startswith("#"):
                text = line.lstrip("#").strip()
                if not entries and not text.startswith("reaction |"):
                    description.append(text)
                continue
            fields = [x.strip() for x in line.split("|")]
            if len(fields) != 4 or not all(fields):
                raise ValueError(f"{path}:{number}: expected 4 non-empty fields "
                                 f"'reaction | table file | source | uncertainty', got {line!r}")
            entries.append(RateSetEntry(*fields))
    return RateSet(name, str(path), " ".join(description), tuple(entries))


def rate_sets(data_dir: str | None = None, user_nuclear_dir: str | None = None) -> dict[str, RateSet]:
    """The rate sets a run can select with ``rate_set=``, by name.

    A set is a manifest ``nuclear/ratesets/<name>.txt`` of the data directory (default: the one runs
    read) or of ``user_nuclear_dir`` (as ``ratesets/<name>.txt`` or ``nuclear/ratesets/<name>.txt``,
    which win over the data directory's, as for every nuclear file). Each line names a reaction, the
    table that replaces its own, the source of that rate and its 1-sigma uncertainty; Monte Carlo
    runs draw from the set's bands. ``nuvex`` (the default) keeps every reaction's own table.
    """
    found: dict[str, Path] = {}
    folders = [Path(data_dir or _default_data_dir()) / "nuclear" / "ratesets"]
    if user_nuclear_dir:
        user = Path(user_nuclear_dir).expanduser()
        folders += [user / "nuclear" / "ratesets", user / "ratesets"]
    for folder in folders:
        if folder.is_dir():
            for path in sorted(folder.glob("*.txt")):
                if path.is_file() and _SET_NAME.fullmatch(path.stem):
                    found[path.stem] = path
    return {name: _read_rate_set(name, found[name]) for name in sorted(found)}
