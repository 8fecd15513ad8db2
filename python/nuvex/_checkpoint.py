# Scan checkpoints: a JSON-lines file whose first line describes the scan (fixed parameters, points,
# quantities) and every further line one finished point, appended whole as soon as it finishes.
from __future__ import annotations

import json
import math
import os
import stat
from typing import Any, Mapping, Sequence

from ._output import UnsafeOutputError, check_target, write_text

FORMAT = "nuvex-scan-checkpoint"
VERSION = 1


def canonical(value: Any) -> Any:
    """A JSON-ready copy with sorted keys, so that equal descriptions compare equal as text."""
    return json.loads(json.dumps(value, sort_keys=True, allow_nan=True))


def _dumps(value: Any) -> str:
    # repr-exact floats; NaN and infinities as JSON's common extension (read back by json.loads)
    return json.dumps(value, sort_keys=True, allow_nan=True, separators=(",", ":"))


class Checkpoint:
    """An open checkpoint: the finished points it already held and an append handle for new ones.

    ``description`` is the scan's identity (fixed parameters, points, quantities, ...): a file written
    for another description is refused with a ``ValueError`` naming the first differing item.
    ``n_points`` bounds the point indices a line may hold and ``width`` is the number of values of a
    finished point. The file is locked against a second scan writing to it at the same time.
    """

    def __init__(self, path: str | os.PathLike[str], description: Mapping[str, Any], n_points: int,
                 width: int) -> None:
        self.path = os.fspath(path)
        self.description = canonical(dict(description))
        self.n_points = n_points
        self.width = width
        self.done: dict[int, tuple[list[float] | None, str | None]] = {}
        self._fd = -1
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
        header = {"format": FORMAT, "version": VERSION, "scan": self.description}
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
        if header.get("version") != VERSION:
            raise ValueError(f"{self.path}:1: checkpoint version {header.get('version')!r} is not {VERSION}")
        stored = header.get("scan")
        if _dumps(stored) != _dumps(self.description):
            raise ValueError(f"checkpoint {self.path} belongs to a different scan: "
                             f"{_first_difference(stored, self.description)}; use another checkpoint file")

    def _read_entry(self, raw: bytes, number: int) -> None:
        try:
            entry = json.loads(raw)
            index = entry["i"]
            values, error = entry.get("v"), entry.get("error")
            ok = isinstance(index, int) and 0 <= index < self.n_points and (values is None) != (error is None)
            ok = ok and (error is not None or (isinstance(values, list) and len(values) == self.width))
        except (ValueError, KeyError, TypeError, AttributeError):
            ok = False
        if not ok:
            raise ValueError(f"{self.path}:{number}: corrupt checkpoint line")
        self.done[index] = ([float(v) for v in values] if values is not None else None, error)

    def append(self, index: int, values: Sequence[float] | None, error: str | None) -> None:
        """Record one finished point: its values in quantity order, or its error message."""
        entry: dict[str, Any] = {"i": int(index)}
        if error is None:
            entry["v"] = [float(v) for v in values or ()]
        else:
            entry["error"] = str(error)
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


def _short(value: Any) -> str:
    text = json.dumps(value)
    return text if len(text) <= 60 else text[:57] + "..."
