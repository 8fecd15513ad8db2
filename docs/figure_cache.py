# Cached outputs of the documentation's figure jobs: each job's files and printed output are kept under
# a key made of the job's own source, the library and data it runs on; an unchanged key reuses them.
"""Figure cache of the documentation build.

A job makes some files in an empty working directory (and may print). Its cache entry, one folder per
job under the cache directory, holds those files, the printed output (``output.txt``) and
``manifest.json``: the key and the SHA-256 of every file. An entry is reused only when its key equals
the job's key and every file is present with its recorded hash; otherwise (a changed example, library
or data; a truncated or edited file; ``rebuild=True``) the job runs again. A job that fails or does not
make the files it promises leaves no entry and the build stops with its error.

Jobs marked ``shipped`` (the inference chains, minutes each) also have an entry in a folder kept in the
repository, keyed by their own source and the data alone: a fresh clone, or a change to the library,
reuses it instead of running the chain; the job runs again when its source or the data change, or on
request (``rebuild=True``), which also refreshes the repository's entry (to be committed).
"""
from __future__ import annotations

import contextlib
import hashlib
import io
import json
import os
import shutil
import stat
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterable

MANIFEST = "manifest.json"
OUTPUT = "output.txt"


@dataclass
class Job:
    """``run(workdir)`` makes ``outputs`` (file names) in ``workdir``; ``source`` is everything that
    defines what it makes besides the common key (its code, its arguments)."""

    name: str
    run: Callable[[Path], None]
    source: str
    outputs: list[str] = field(default_factory=list)
    shipped: bool = False


def sha256_file(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def files_digest(paths: Iterable[Path]) -> str:
    """SHA-256 over the names and contents of the given files (order-independent); a missing file
    counts as its name alone, so that it appearing or going away changes the digest."""
    h = hashlib.sha256()
    for p in sorted({Path(p) for p in paths}, key=str):
        h.update(str(p).encode() + b"\0")
        if p.is_file():
            h.update(sha256_file(p).encode())
        h.update(b"\0")
    return h.hexdigest()


def job_key(common: str, job: Job) -> str:
    h = hashlib.sha256()
    for part in (common, job.name, job.source, "\0".join(job.outputs)):
        h.update(part.encode() + b"\0")
    return h.hexdigest()


def _entry_valid(entry: Path, key: str, job: Job) -> bool:
    try:
        manifest = json.loads((entry / MANIFEST).read_text(encoding="utf-8"))
        files = manifest["files"]
        if manifest.get("key") != key or sorted(files) != sorted(job.outputs + [OUTPUT]):
            return False
        return all(sha256_file(entry / name) == digest for name, digest in files.items())
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return False


def _write_if_changed(target: Path, data: bytes) -> bool:
    """Atomic copy that leaves an identical file (and its time stamp) alone; refuses to replace a
    directory, device, FIFO or socket."""
    try:
        st = os.stat(target)
    except FileNotFoundError:
        st = None
    if st is not None:
        if not stat.S_ISREG(st.st_mode):
            raise OSError(f"cannot write {target}: not a regular file")
        if st.st_size == len(data) and target.read_bytes() == data:
            return False
    target.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix="." + target.name + ".", suffix=".tmp", dir=target.parent)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    return True


class _Tee(io.TextIOBase):
    def __init__(self, *streams: io.TextIOBase) -> None:
        self.streams = streams

    def write(self, s: str) -> int:
        for st in self.streams:
            st.write(s)
        return len(s)

    def flush(self) -> None:
        for st in self.streams:
            st.flush()


def _swap_in(work: Path, folder: Path, name: str) -> Path:
    """Makes the finished folder ``work`` the entry ``folder/name``, the old entry moved aside first
    and removed after, so that a reader never sees half an entry."""
    target = folder / name
    old = None
    if target.exists() or target.is_symlink():
        old = Path(tempfile.mkdtemp(prefix=f".{name}.old.", dir=folder))
        os.replace(target, old / "entry")
    os.replace(work, target)
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)
    return target


def _copy_entry(entry: Path, folder: Path, name: str, key: str) -> Path:
    """Copies a valid entry under ``folder/name`` with another key, replacing the old copy whole."""
    folder.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix=f".{name}.", dir=folder))
    try:
        manifest = json.loads((entry / MANIFEST).read_text(encoding="utf-8"))
        for fname in manifest["files"]:
            shutil.copyfile(entry / fname, work / fname)
        (work / MANIFEST).write_text(json.dumps({"key": key, "files": manifest["files"]}, indent=1) + "\n",
                                     encoding="utf-8")
        os.chmod(work, 0o755)
        return _swap_in(work, folder, name)
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise


def _run_job(job: Job, cache: Path, key: str, echo: bool) -> Path:
    """Runs the job in a fresh folder beside its entry and turns that folder into the entry."""
    cache.mkdir(parents=True, exist_ok=True)
    for stale in cache.glob(f".{job.name}.*"):  # left by a run that was killed
        shutil.rmtree(stale, ignore_errors=True)
    work = Path(tempfile.mkdtemp(prefix=f".{job.name}.", dir=cache))
    try:
        printed = io.StringIO()
        out = _Tee(printed, sys.stdout) if echo else printed
        here = os.getcwd()
        os.chdir(work)
        try:
            with contextlib.redirect_stdout(out):
                job.run(work)
        finally:
            os.chdir(here)
        missing = [name for name in job.outputs if not (work / name).is_file()]
        if missing:
            raise RuntimeError(f"figure job {job.name!r} did not make {', '.join(missing)}")
        made = {p.name for p in work.iterdir()} - set(job.outputs)
        for extra in made:  # keep only what the job promises
            p = work / extra
            shutil.rmtree(p) if p.is_dir() and not p.is_symlink() else p.unlink()
        (work / OUTPUT).write_text(printed.getvalue(), encoding="utf-8")
        files = {name: sha256_file(work / name) for name in job.outputs + [OUTPUT]}
        (work / MANIFEST).write_text(json.dumps({"key": key, "files": files}, indent=1), encoding="utf-8")
        return _swap_in(work, cache, job.name)
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        raise


def build(jobs: Iterable[Job], cache: Path, out: Path, common: str, rebuild: bool = False,
          echo: bool = True, log: Callable[[str], None] | None = None, shipped: Path | None = None,
          shipped_common: str = "") -> dict[str, str]:
    """Makes every job's files in ``out`` (``<name>.txt`` holds what it printed), from the cache when
    its entry is valid, else for a shipped job from ``shipped`` when its entry there is valid under
    ``shipped_common`` (the data alone), else by running it. Returns ``{name: "reused" | "shipped" |
    "built"}``."""
    cache, out = Path(cache).absolute(), Path(out).absolute()  # jobs run in a folder of their own
    shipped = Path(shipped).absolute() if shipped is not None else None
    log = log or (lambda s: print(s, file=sys.stderr))
    status = {}
    for job in jobs:
        key = job_key(common, job)
        entry = cache / job.name
        ships = job.shipped and shipped is not None
        shipped_key = job_key(shipped_common, job) if ships else ""
        if not rebuild and _entry_valid(entry, key, job):
            status[job.name] = "reused"
            log(f"figures: {job.name}: cached")
        elif not rebuild and ships and _entry_valid(shipped / job.name, shipped_key, job):
            entry = shipped / job.name
            status[job.name] = "shipped"
            log(f"figures: {job.name}: output kept in {shipped} (rebuild on request)")
        else:
            t0 = time.monotonic()
            log(f"figures: {job.name}: running")
            entry = _run_job(job, cache, key, echo)
            status[job.name] = "built"
            log(f"figures: {job.name}: made in {time.monotonic() - t0:.1f} s")
            if ships:
                _copy_entry(entry, shipped, job.name, shipped_key)
                log(f"figures: {job.name}: output refreshed in {shipped / job.name} (commit it)")
        for name in job.outputs:
            _write_if_changed(out / name, (entry / name).read_bytes())
        _write_if_changed(out / f"{job.name}.txt", (entry / OUTPUT).read_bytes())
    return status
