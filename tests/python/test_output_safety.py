# Every file the Python package writes goes through one atomic writer: complete or not at all, and
# never over a device, FIFO, socket or directory. The nodes are made in temporary folders only.
import os
import socket
import stat
import subprocess
import sys

import numpy as np
import pytest

from nuvex import _output
from nuvex._output import UnsafeOutputError


def _fingerprint(path):
    st = os.lstat(path)
    return stat.S_IFMT(st.st_mode), st.st_rdev, st.st_ino


@pytest.fixture()
def nodes(scratch, full_device, null_device):
    """Every kind of node a writer must leave alone, each with its stat fingerprint."""
    fifo = scratch / "fifo"
    os.mkfifo(fifo)
    sock = scratch / "sock"
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(sock))
    folder = scratch / "folder"
    folder.mkdir()
    link = scratch / "link_to_full"
    link.symlink_to(full_device)
    found = {p: _fingerprint(p) for p in (full_device, null_device, fifo, sock, folder, link)}
    yield found
    server.close()
    for p, before in found.items():
        assert _fingerprint(p) == before, f"{p} was replaced"


def _leftovers(directory):
    return [f for f in os.listdir(directory) if f.endswith(".tmp")]


def test_writer_refuses_every_node_that_is_not_a_regular_file(nodes, scratch):
    kinds = {"full": "character device", "null": "character device", "fifo": "FIFO", "sock": "socket",
             "folder": "directory", "link_to_full": "character device"}
    for path in nodes:
        with pytest.raises(UnsafeOutputError, match=f"cannot write {path}.*{kinds[path.name]}"):
            _output.write_text(path, "x\n")
        with pytest.raises(UnsafeOutputError):
            _output.write_bytes(path, b"x")
    assert not _leftovers(scratch)


def test_writer_replaces_regular_files_whole_and_follows_links(scratch):
    target = scratch / "sub" / "table.dat"
    _output.write_text(target, "old\n")  # missing folders are made
    assert target.read_text() == "old\n" and stat.S_IMODE(target.stat().st_mode) == 0o666 & ~_umask()
    link = scratch / "link.dat"
    link.symlink_to(target)
    _output.write_text(link, "new\n")
    assert link.is_symlink() and target.read_text() == "new\n"
    # an exception inside the block leaves the previous content and no temporary file
    with pytest.raises(ZeroDivisionError):
        with _output.atomic_open(target) as f:
            f.write("half")
            1 / 0
    assert target.read_text() == "new\n"
    assert not _leftovers(scratch) and not _leftovers(target.parent)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_checkpoint_scan_and_chain_refuse_special_nodes(nodes, data_dir, cache_dir):
    import nuvex

    chain = nuvex.Chain(["Omegabh2"], np.zeros((3, 2, 1)), np.zeros((3, 2)), np.full(2, 0.5))
    for path in nodes:
        with pytest.raises(OSError, match=f"cannot write {path}"):
            nuvex.scan({"Omegabh2": [0.022]}, ["DoH"], checkpoint=path, jobs=1, progress=False,
                       cache_dir=cache_dir, thermal_corrections=False)
        with pytest.raises(OSError, match=f"cannot write {path}"):
            chain.save(path)


def test_saved_chain_round_trips_through_a_link(scratch):
    import nuvex

    rng = np.random.default_rng(1)
    chain = nuvex.Chain(["Omegabh2"], rng.normal(size=(4, 2, 1)), rng.normal(size=(4, 2)), np.full(2, 0.25))
    real = scratch / "chain.npz"
    real.write_bytes(b"previous")
    (scratch / "link.npz").symlink_to(real)
    chain.save(scratch / "link.npz")
    back = nuvex.Chain.load(real)
    assert np.array_equal(back.chain, chain.chain) and back.names == ("Omegabh2",)
    assert (scratch / "link.npz").is_symlink() and not _leftovers(scratch)


def test_tables_command_refuses_a_device_before_running(nodes, data_dir):
    env = dict(os.environ)
    for path in nodes:
        res = subprocess.run([sys.executable, "-m", "nuvex.tables", "class", "--out", str(path), "--ombh2", "0.021,0.022",
                              "--DeltaN", "0,1", "--quiet"], capture_output=True, text=True, timeout=120, env=env)
        assert res.returncode == 1, res.stderr
        assert f"cannot write {path}" in res.stderr and "wrote" not in res.stderr
