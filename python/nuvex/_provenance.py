# What produced a table: a fingerprint of the data directory's contents and the parameters of a run
# that differ from the package's defaults, for the headers of written tables.
from __future__ import annotations

import functools
import hashlib
import os
from typing import Any, Mapping

from ._params import PARAMS

# generator inputs and notes: not read by runs, so not part of what a result depends on
_SKIP_DIRS = {"sources"}
_SKIP_SUFFIXES = (".md",)
# Caches that runs write into the data directory (and their temporary files) hold tables keyed by
# their own fingerprints, so a result does not depend on whether they exist; the QED tables shipped
# beside them are data.
_CACHE_DIR = "cache_plasma_weak"
_SHIPPED_CACHES = ("QED_pressure_correction_",)


def _written_by_runs(rel_root: str, name: str) -> bool:
    return rel_root.split(os.sep)[0] == _CACHE_DIR and not name.startswith(_SHIPPED_CACHES)


def _listing(directory: str) -> tuple[tuple[str, int, int], ...]:
    out = []
    for root, dirs, files in os.walk(directory):
        dirs[:] = sorted(d for d in dirs if not (root == directory and d in _SKIP_DIRS))
        rel_root = os.path.relpath(root, directory)
        for name in sorted(files):
            if name.endswith(_SKIP_SUFFIXES) or _written_by_runs(rel_root, name):
                continue
            path = os.path.join(root, name)
            st = os.stat(path)
            out.append((os.path.relpath(path, directory).replace(os.sep, "/"), st.st_size, st.st_mtime_ns))
    return tuple(out)


@functools.lru_cache(maxsize=8)
def _hash(directory: str, listing: tuple[tuple[str, int, int], ...]) -> str:
    h = hashlib.sha256()
    for rel, size, _ in listing:
        h.update(rel.encode() + b"\0" + str(size).encode() + b"\0")
        with open(os.path.join(directory, rel), "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
    return h.hexdigest()


def data_fingerprint(directory: str) -> str:
    """SHA-256 of the data directory's files that runs read (names, sizes and contents), hex; the
    caches that runs write there are left out."""
    directory = os.path.abspath(directory)
    return _hash(directory, _listing(directory))


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b or (a == b and type(a) is type(b))
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return float(a) == float(b)
    return a == b


# parameters that change how a run is carried out or reported, never its numbers
NOT_PHYSICS = {"verbose", "show_progress", "debug", "cache_dir", "output_file", "recompute_electron_thermo",
                "recompute_qed_corrections", "weak_rate_cache", "save_nTOp", "save_nTOp_thermal"}


def non_default(params: Mapping[str, Any]) -> dict[str, Any]:
    """The parameters that differ from the package defaults (rate variations always do), except those
    that cannot change a result (progress, logging, caches)."""
    out = {}
    for key, value in params.items():
        if key in NOT_PHYSICS:
            continue
        info = PARAMS.get(key)
        if info is None or not _same(value, info.default):
            out[key] = value
    return out
