# Stage snapshots seen from separate processes: a fresh process that reads them gives the results of
# one that built everything from the text tables, two processes writing at once leave whole files,
# and one run opens each input file at most once.
import json
import os
import re
import shutil
import subprocess

import pytest

STAGES = ("plasma", "history", "background", "weak", "network")


def run_cli(cli, data_dir, cache, *extra, verbose=False, check=True):
    args = [cli, "--data-dir", data_dir, "--json", "--set", "show_progress=False", "--set", f"cache_dir='{cache}'"]
    if verbose:
        args += ["--set", "verbose=True"]
    for e in extra:
        args += ["--set", e]
    p = subprocess.run(args, capture_output=True, text=True, timeout=600)
    if check:
        assert p.returncode == 0, p.stderr
    return p


def snapshot_files(cache):
    folder = os.path.join(cache, "snapshots")
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def read_from_snapshots(log):
    """The stages a run's log says were read from their snapshots."""
    return {m.group(1) for m in re.finditer(r"stage tables read from the snapshot \S*/(\w+)-[0-9a-f]+\.snap", log)}


@pytest.mark.parametrize("network", ["small", "large"])
def test_a_fresh_process_reading_snapshots_gives_the_results_built_from_text(cli, data_dir, scratch, network):
    cache = str(scratch / "cache")
    built = run_cli(cli, data_dir, cache, f"network='{network}'", verbose=True)
    assert read_from_snapshots(built.stderr) == set()
    names = snapshot_files(cache)
    assert {n.split("-")[0] for n in names} == set(STAGES)
    read = run_cli(cli, data_dir, cache, f"network='{network}'", verbose=True)
    assert read_from_snapshots(read.stderr) == set(STAGES), read.stderr
    assert snapshot_files(cache) == names, "a run that reads its snapshots writes none"
    # the JSON carries every number to the last digit (17 significant digits)
    assert json.loads(read.stdout) == json.loads(built.stdout)
    assert read.stdout == built.stdout
    assert "warning" not in read.stderr.lower()


def test_two_processes_writing_at_once_leave_whole_snapshots(cli, data_dir, scratch):
    for attempt in range(3):
        cache = str(scratch / f"cache{attempt}")
        args = [cli, "--data-dir", data_dir, "--json", "--set", "show_progress=False", "--set", f"cache_dir='{cache}'"]
        procs = [subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(2)]
        outs = [p.communicate(timeout=600) for p in procs]
        for p, (out, err) in zip(procs, outs):
            assert p.returncode == 0, err
            assert "ignoring the snapshot" not in err, err
        assert outs[0][0] == outs[1][0]
        names = snapshot_files(cache)
        assert not [n for n in names if ".tmp." in n], names
        assert [n for n in os.listdir(os.path.join(cache, "snapshots")) if ".tmp." in n] == []
        assert {n.split("-")[0] for n in names} == set(STAGES) and len(names) == len(STAGES), names
        # whichever writer won, the files are whole: a third process reads every stage from them
        third = run_cli(cli, data_dir, cache, verbose=True)
        assert read_from_snapshots(third.stderr) == set(STAGES), third.stderr
        assert "ignoring the snapshot" not in third.stderr
        assert third.stdout == outs[0][0]


def opened_files(log_path, root):
    """Paths under `root` opened successfully (read or write), with their counts, from an strace log."""
    counts = {}
    pattern = re.compile(r'open(?:at)?\((?:AT_FDCWD, |\d+, )?"([^"]+)", ([^)]*)\) = (-?\d+)')
    with open(log_path) as f:
        for line in f:
            m = pattern.search(line)
            if not m or int(m.group(3)) < 0 or "O_DIRECTORY" in m.group(2):
                continue
            path = os.path.normpath(m.group(1))
            if path.startswith(root + os.sep) and os.path.isfile(path):
                counts[path] = counts.get(path, 0) + 1
    return counts


def test_every_input_file_is_opened_once_per_run(cli, data_dir, scratch):
    strace = shutil.which("strace")
    if not strace:
        pytest.skip("strace is not installed")
    probe = subprocess.run([strace, "-o", os.devnull, "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("strace cannot trace here: " + probe.stderr.decode(errors="replace")[:200])
    cache = str(scratch / "cache")
    data = os.path.realpath(data_dir)
    for network in ("small", "large"):
        for state in ("cold", "warm"):
            log = str(scratch / f"strace_{network}_{state}.txt")
            args = [strace, "-f", "-e", "trace=open,openat", "-o", log, cli, "--data-dir", data, "--json", "--set",
                    "show_progress=False", "--set", f"cache_dir='{cache}'", "--set", f"network='{network}'"]
            p = subprocess.run(args, capture_output=True, text=True, timeout=900)
            assert p.returncode == 0, p.stderr
            for root in (data, os.path.realpath(cache)):
                twice = {k: v for k, v in opened_files(log, root).items() if v > 1}
                if state == "cold":
                    # building the weak rates, the run hashes the decoupling tables (SHA-256) into the
                    # fingerprint of the weak-rate cache file: a second read, of those files only
                    twice = {k: v for k, v in twice.items() if not (v == 2 and "/SOLAN/" in k)}
                assert twice == {}, f"{network} network, {state} cache: opened more than once: {twice}"
            if state == "warm":
                # everything a session keeps comes from the snapshots: no rate table is parsed
                tables = [k for k in opened_files(log, data) if "/nuclear/tables/" in k]
                assert tables == [], tables
