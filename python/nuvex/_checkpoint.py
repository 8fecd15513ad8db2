# Scan checkpoints: a JSON-lines file whose first line describes the scan (fixed parameters, points,
# quantities, the data directory's fingerprint) and every further line one finished point, appended
# whole as soon as it finishes and sealed with a checksum tied to the header.
from __future__ import annotations

import hashlib
import json
import logging
import math
import os
import stat
from typing import Any, Mapping, Sequence

from ._output import UnsafeOutputError, check_target, write_text

FORMAT = "nuvex-scan-checkpoint"
VERSION = 2
READABLE_VERSIONS = (1, 2)  # version 1: no data fingerprint, no line checksums

logger = logging.getLogger("nuvex")


def canonical(value: Any) -> Any:
    """A JSON-ready copy with sorted keys, so that equal descriptions compare equal as text."""
    return json.loads(json.dumps(value, sort_keys=True, allow_nan=True))


def _dumps(value: Any) -> str:
    # repr-exact floats; NaN and infinities as JSON's common extension (read back by json.loads)
    return json.dumps(value, sort_keys=True, allow_nan=True, separators=(",", ":"))


def _seal(key: bytes, entry: Mapping[str, Any]) -> str:
    """The checksum of a point line: SHA-256 of the header's digest and the line without its checksum,
    so that an edited value, or a line copied from another checkpoint, no longer matches."""
    body = {k: v for k, v in entry.items() if k != "c"}
    return hashlib.sha256(key + _dumps(body).encode()).hexdigest()[:16]


class Checkpoint:
    """An open checkpoint: the finished points it already held and an append handle for new ones.

    ``description`` is the scan's identity (fixed parameters, points, quantities, ...): a file written
    for another description is refused with a ``ValueError`` naming the first differing item.
    ``data_fingerprint`` is the content fingerprint of the data directory the points are computed
    from: a file written from other data is refused (finished points would mix old and new data).
    ``n_points`` bounds the point indices a line may hold and ``width`` is the number of values of a
    finished point. Every point line carries a checksum; an edited or damaged line, a point given
    twice or an index that is not an integer is refused with the file and line. The file is locked
    against a second scan writing to it at the same time.
    """

    def __init__(self, path: str | os.PathLike[str], description: Mapping[str, Any], n_points: int,
                 width: int, data_fingerprint: str | None = None) -> None:
        self.path = os.fspath(path)
        self.description = canonical(dict(description))
        self.data_fingerprint = data_fingerprint
        self.n_points = n_points
        self.width = width
        self.done: dict[int, tuple[list[float] | None, str | None]] = {}
        self._fd = -1
        self._key: bytes | None = None  # digest of the header line; None for a version-1 file
        self._lines: dict[int, int] = {}  # point index -> line number, for duplicates
        # a device, FIFO or directory is refused before anything is written or opened
        target = check_target(self.path)
        if not os.path.exists(target) or os.path.getsize(target) == 0:
            self._create()
        self._open_and_lock()
        try:
            self._load()
        except BaseException:
            self.close()
            raise

    def _create(self) -> None:
        header = {"format": FORMAT, "version": VERSION, "scan": self.description, "data": self.data_fingerprint}
        # the header appears whole or not at all: written aside, then renamed into place
        write_text(self.path, _dumps(header) + "\n")

    def _open_and_lock(self) -> None:
        check_target(self.path)
        # O_NONBLOCK: a FIFO put in place since the check must not block the open
        self._fd = os.open(self.path, os.O_RDWR | os.O_APPEND | os.O_NONBLOCK)
        if not stat.S_ISREG(os.fstat(self._fd).st_mode):
            os.close(self._fd)
            self._fd = -1
            check_target(self.path)  # names what the path has become
            raise UnsafeOutputError(f"cannot write {self.path}: not a regular file")
        os.set_blocking(self._fd, True)
        try:
            import fcntl

            fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except ImportError:  # no advisory locks on this platform
            pass
        except OSError:
            os.close(self._fd)
            self._fd = -1
            raise RuntimeError(f"checkpoint {self.path} is in use by another running scan") from None

    def _load(self) -> None:
        with open(self.path, "rb") as f:
            data = f.read()
        lines = data.split(b"\n")
        # a final piece without its newline is a line cut short by an interruption: drop it
        complete, tail = lines[:-1], lines[-1]
        if tail:
            os.ftruncate(self._fd, len(data) - len(tail))
        if not complete:
            raise ValueError(f"{self.path}:1: not a nuvex scan checkpoint (no header line)")
        self._check_header(complete[0])
        for number, raw in enumerate(complete[1:], start=2):
            if raw.strip():
                self._read_entry(raw, number)

    def _check_header(self, raw: bytes) -> None:
        try:
            header = json.loads(raw)
        except ValueError:
            header = None
        if not isinstance(header, dict) or header.get("format") != FORMAT:
            raise ValueError(f"{self.path}:1: not a nuvex scan checkpoint")
        version = header.get("version")
        if version not in READABLE_VERSIONS or isinstance(version, bool):
            raise ValueError(f"{self.path}:1: checkpoint version {version!r} is not one of {READABLE_VERSIONS}")
        stored = header.get("scan")
        if _dumps(stored) != _dumps(self.description):
            raise ValueError(f"checkpoint {self.path} belongs to a different scan: "
                             f"{_first_difference(stored, self.description)}; use another checkpoint file")
        if version == 1:
            logger.warning("checkpoint %s was written by an older nuvex: its lines carry no checksums and the data "
                           "directory it was computed from cannot be verified", self.path)
            return
        stored_data = header.get("data")
        if self.data_fingerprint is not None and stored_data != self.data_fingerprint:
            raise ValueError(f"checkpoint {self.path} was computed from other data: the data directory's fingerprint "
                             f"is {_short(stored_data)} in the checkpoint and {self.data_fingerprint!r} now, so its "
                             "points would mix old and new data; use another checkpoint file")
        self._key = hashlib.sha256(raw).digest()

    def _read_entry(self, raw: bytes, number: int) -> None:
        where = f"{self.path}:{number}"
        try:
            entry = json.loads(raw)
            index = entry["i"]
            values, error = entry.get("v"), entry.get("error")
            ok = isinstance(entry, dict) and (values is None) != (error is None)
            ok = ok and (error is not None or (isinstance(values, list) and len(values) == self.width
                                               and all(_is_number(v) for v in values)))
            ok = ok and (error is None or isinstance(error, str))
        except (ValueError, KeyError, TypeError, AttributeError):
            ok = False
        if not ok:
            raise ValueError(f"{where}: corrupt checkpoint line")
        # an index is an integer in JSON: true, 1.0 or "1" would land on point 1 unnoticed
        if type(index) is not int:
            raise ValueError(f"{where}: corrupt checkpoint line: point index {_short(index)} is not an integer")
        if not 0 <= index < self.n_points:
            raise ValueError(f"{where}: corrupt checkpoint line: point index {index} is outside 0..{self.n_points - 1}")
        if self._key is not None and entry.get("c") != _seal(self._key, entry):
            raise ValueError(f"{where}: checksum mismatch: the line was edited or damaged (or comes from another "
                             "checkpoint); use another checkpoint file")
        if index in self._lines:
            raise ValueError(f"{where}: point {index} is recorded twice (first on line {self._lines[index]})")
        self._lines[index] = number
        self.done[index] = ([float(v) for v in values] if values is not None else None, error)

    def append(self, index: int, values: Sequence[float] | None, error: str | None) -> None:
        """Record one finished point: its values in quantity order, or its error message."""
        entry: dict[str, Any] = {"i": int(index)}
        if error is None:
            entry["v"] = [float(v) for v in values or ()]
        else:
            entry["error"] = str(error)
        if self._key is not None:
            entry["c"] = _seal(self._key, entry)
        line = (_dumps(entry) + "\n").encode()
        # one write on an O_APPEND descriptor: the line lands whole at the end of the file
        written = os.write(self._fd, line)
        if written != len(line):
            raise OSError(f"checkpoint {self.path}: short write ({written} of {len(line)} bytes)")
        self.done[int(index)] = (list(values) if error is None else None, error)

    def close(self) -> None:
        if self._fd >= 0:
            try:
                os.fsync(self._fd)
            except OSError:
                pass
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> "Checkpoint":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _first_difference(stored: Any, wanted: Any, where: str = "") -> str:
    """A short description of the first item in which two scan descriptions differ."""
    if isinstance(stored, dict) and isinstance(wanted, dict):
        for key in sorted(set(stored) | set(wanted)):
            name = f"{where}.{key}" if where else key
            if key not in stored:
                return f"{name} is not in the checkpoint"
            if key not in wanted:
                return f"{name} is in the checkpoint but not in this scan"
            if stored[key] != wanted[key]:
                return _first_difference(stored[key], wanted[key], name)
    if isinstance(stored, list) and isinstance(wanted, list) and len(stored) == len(wanted):
        for i, (a, b) in enumerate(zip(stored, wanted)):
            if a != b and not (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b)):
                return _first_difference(a, b, f"{where}[{i}]")
    return f"{where or 'the scan'} is {_short(stored)} in the checkpoint and {_short(wanted)} here"


def _is_number(value: Any) -> bool:
    return type(value) in (int, float)


def _short(value: Any) -> str:
    text = json.dumps(value)
    return text if len(text) <= 60 else text[:57] + "..."
