# Parameter scans: arrays against direct runs, independence of the number of workers, failed points,
# and checkpoints (interrupted scans resume with only the missing points; foreign or damaged files refused).
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

nuvex = pytest.importorskip("nuvex")
from nuvex import _engine  # noqa: E402



@pytest.fixture(scope="module")
def fast(cache_dir):
    # the session's cache directory: the cold tables are built once for all suites
    return dict(show_progress=False, cache_dir=cache_dir)
AXES = {"Omegabh2": [0.021, -1.0, 0.0235], "DeltaNeff": [0.0, 0.75]}


@pytest.fixture(scope="module")
def warm(fast):
    # the cached tables exist before worker processes start, so that none of them builds them
    return nuvex.run(**fast)


@pytest.fixture(scope="module")
def serial(warm, fast):
    return nuvex.scan(AXES, ["Yp", "DoH", "He3"], jobs=1, progress=False, **fast)


def same(a, b):
    return all(np.array_equal(a[k], b[k], equal_nan=True) for k in a.quantities)


def test_grid_matches_direct_runs_and_records_failures(serial, fast):
    assert serial.shape == (3, 2)
    assert list(serial.axes) == ["Omegabh2", "DeltaNeff"]
    for i, ob in enumerate(AXES["Omegabh2"]):
        for j, dn in enumerate(AXES["DeltaNeff"]):
            if ob < 0:
                continue
            r = nuvex.run(Omegabh2=ob, DeltaNeff=dn, **fast)
            assert serial["Yp"][i, j] == r.Yp
            assert serial["DoH"][i, j] == r.DoH
            assert serial["He3"][i, j] == r.abundances["He3"]
    # the refused baryon density fails both of its points, with the solver's message, and nothing else
    assert [f.index for f in serial.failed] == [(1, 0), (1, 1)]
    assert all("Omegabh2" in f.message for f in serial.failed)
    assert serial.failed[1].params == {"Omegabh2": -1.0, "DeltaNeff": 0.75}
    assert np.isnan(serial["Yp"][1]).all() and np.isfinite(serial["Yp"][[0, 2]]).all()
    assert serial.ok.tolist() == [[True, True], [False, False], [True, True]]
    # extra radiation speeds up the expansion: more helium and more deuterium survive
    assert serial["Yp"][0, 1] > serial["Yp"][0, 0] and serial["DoH"][0, 1] > serial["DoH"][0, 0]


def test_two_worker_processes_give_identical_arrays(serial, fast):
    pooled = nuvex.scan(AXES, ["Yp", "DoH", "He3"], jobs=2, progress=False, **fast)
    assert same(serial, pooled)
    assert [(f.index, f.message) for f in pooled.failed] == [(f.index, f.message) for f in serial.failed]


def test_integrator_failure_is_recorded_and_the_scan_goes_on(warm, fast):
    res = nuvex.scan([{"Omegabh2": 1000.0}, {"Omegabh2": 0.02242}], ["Yp"], jobs=1, progress=False, **fast)
    assert res.shape == (2,)
    assert len(res.failed) == 1 and res.failed[0].index == (0,)
    # the integrator's message with the era where it failed, completed with the parameters that drove
    # it there, and no internal function name
    msg = res.failed[0].message
    assert "step size underflowed" in msg and "era" in msg and "off their defaults: Omegabh2=1000" in msg
    assert "nvx_" not in msg
    assert res["Yp"][1] == warm.Yp


def test_quantity_missing_from_the_network_fails_the_point_with_a_message(warm, fast):
    res = nuvex.scan({"Omegabh2": [0.022]}, ["Li6oLi7"], jobs=1, progress=False, **fast)
    assert "Li6oLi7" in res.failed[0].message


def test_bad_scans_are_refused_before_running():
    with pytest.raises(ValueError, match="tau_n"):
        nuvex.scan({"tau_nn": [880.0]}, jobs=1)
    with pytest.raises(ValueError, match="both scanned and fixed"):
        nuvex.scan({"tau_n": [880.0]}, tau_n=879.0, jobs=1)
    with pytest.raises(ValueError, match="no values"):
        nuvex.scan({"tau_n": []}, jobs=1)
    with pytest.raises(TypeError, match="'tau_n' must be a sequence"):
        nuvex.scan({"tau_n": 880.0}, jobs=1)
    with pytest.raises(ValueError, match="unknown quantity"):
        nuvex.scan({"tau_n": [880.0]}, ["DoverH"], jobs=1)
    with pytest.raises(ValueError, match="jobs"):
        nuvex.scan({"tau_n": [880.0]}, jobs=0)
    with pytest.raises(ValueError, match="delta_d_p__He3_gg"):
        nuvex.scan({"delta_d_p__He3_gg": [0.1]}, jobs=1)


class Interrupt(BaseException):
    pass


def test_interrupted_scan_resumes_with_only_the_missing_points(serial, scratch, monkeypatch, fast):
    path = scratch / "scan.ckpt"
    real = _engine.evaluate
    calls = []

    def interrupted_after_three(*args, **kwargs):
        if len(calls) == 3:
            raise Interrupt()
        calls.append(args[2])
        return real(*args, **kwargs)

    monkeypatch.setattr(_engine, "evaluate", interrupted_after_three)
    with pytest.raises(Interrupt):
        nuvex.scan(AXES, ["Yp", "DoH", "He3"], jobs=1, progress=False, checkpoint=path, **fast)
    lines = path.read_text().splitlines()
    assert len(lines) == 1 + 3  # header and the three finished points

    calls.clear()
    monkeypatch.setattr(_engine, "evaluate", lambda *a, **k: (calls.append(a[2]), real(*a, **k))[1])
    resumed = nuvex.scan(AXES, ["Yp", "DoH", "He3"], jobs=1, progress=False, checkpoint=path, **fast)
    assert calls == [{"Omegabh2": -1.0, "DeltaNeff": 0.75}, {"Omegabh2": 0.0235, "DeltaNeff": 0.0},
                     {"Omegabh2": 0.0235, "DeltaNeff": 0.75}]
    assert same(resumed, serial)
    assert [f.message for f in resumed.failed] == [f.message for f in serial.failed]

    # a finished scan resumes with nothing left to run
    calls.clear()
    again = nuvex.scan(AXES, ["Yp", "DoH", "He3"], jobs=1, progress=False, checkpoint=path, **fast)
    assert calls == [] and same(again, serial)


def test_checkpoint_line_cut_short_is_dropped_and_recomputed(serial, scratch, monkeypatch, fast):
    path = scratch / "torn.ckpt"
    nuvex.scan(AXES, ["Yp", "DoH", "He3"], jobs=1, progress=False, checkpoint=path, **fast)
    text = path.read_text()
    lines = text.splitlines(keepends=True)
    path.write_text("".join(lines[:3]) + lines[3][: len(lines[3]) // 2])  # interrupted in mid-line
    real = _engine.evaluate
    calls = []
    monkeypatch.setattr(_engine, "evaluate", lambda *a, **k: (calls.append(a[2]), real(*a, **k))[1])
    resumed = nuvex.scan(AXES, ["Yp", "DoH", "He3"], jobs=1, progress=False, checkpoint=path, **fast)
    assert len(calls) == 4 and same(resumed, serial)
    # every line of the repaired file parses
    assert all(json.loads(line) for line in path.read_text().splitlines())


def test_checkpoint_of_another_scan_or_damaged_is_refused(scratch, warm, fast):
    path = scratch / "other.ckpt"
    nuvex.scan({"Omegabh2": [0.022]}, ["Yp"], jobs=1, progress=False, checkpoint=path, **fast)
    before = path.read_text()
    with pytest.raises(ValueError, match=r"different scan: fixed\.tau_n"):
        nuvex.scan({"Omegabh2": [0.022]}, ["Yp"], jobs=1, progress=False, checkpoint=path, tau_n=880.0, **fast)
    with pytest.raises(ValueError, match=r"different scan: axes"):
        nuvex.scan({"Omegabh2": [0.023]}, ["Yp"], jobs=1, progress=False, checkpoint=path, **fast)
    with pytest.raises(ValueError, match=r"different scan: quantities"):
        nuvex.scan({"Omegabh2": [0.022]}, ["DoH"], jobs=1, progress=False, checkpoint=path, **fast)
    assert path.read_text() == before  # a refused resume leaves the file alone

    path.write_text(before.splitlines()[0] + "\n{\"i\": 7, \"v\": [0.25]}\n" + before.splitlines()[1] + "\n")
    with pytest.raises(ValueError, match=r"other\.ckpt:2: corrupt checkpoint line"):
        nuvex.scan({"Omegabh2": [0.022]}, ["Yp"], jobs=1, progress=False, checkpoint=path, **fast)
    not_ours = scratch / "notes.txt"
    not_ours.write_text("shopping list\n")
    with pytest.raises(ValueError, match=r"notes\.txt:1: not a nuvex scan checkpoint"):
        nuvex.scan({"Omegabh2": [0.022]}, ["Yp"], jobs=1, progress=False, checkpoint=not_ours, **fast)


def test_checkpoint_in_use_by_a_running_scan_is_refused(scratch):
    from nuvex._checkpoint import Checkpoint

    path = scratch / "busy.ckpt"
    with Checkpoint(path, {"a": 1}, 3, 1):
        with pytest.raises(RuntimeError, match="in use"):
            Checkpoint(path, {"a": 1}, 3, 1)
    with Checkpoint(path, {"a": 1}, 3, 1) as again:  # released when closed
        assert again.done == {}


def test_point_lists_keep_their_order_and_values(warm, fast):
    points = [{"tau_n": 880.0, "Omegabh2": 0.022}, {"tau_n": 878.4}]
    res = nuvex.scan(points, ["Yp"], jobs=1, progress=False, **fast)
    assert res.axes == {} and res.points == points
    assert res["Yp"][1] == warm.Yp
    assert res["Yp"][0] == nuvex.run(tau_n=880.0, Omegabh2=0.022, **fast).Yp


def _resume(path, fast, **kw):
    return nuvex.scan({"Omegabh2": [0.022, 0.023]}, ["Yp"], jobs=1, progress=False, checkpoint=path, **fast, **kw)


def test_checkpoint_lines_are_sealed(scratch, warm, fast):
    # every point line carries a checksum tied to the file's header: an edited value (Yp = 0.9
    # resumed as a result), a repeated point or an index that is not an integer is refused
    path = scratch / "sealed.ckpt"
    done = _resume(path, fast)
    header, first, second = path.read_text().splitlines()
    entry = json.loads(first)
    edited = dict(entry, v=[0.9])
    as_true = dict(entry, i=True)
    as_float = dict(entry, i=float(entry["i"]))
    cases = [
        ([header, json.dumps(edited), second], r"sealed\.ckpt:2: checksum mismatch: the line was edited or damaged"),
        ([header, first, second, first], r"sealed\.ckpt:4: point 0 is recorded twice \(first on line 2\)"),
        ([header, json.dumps(as_true)], r"sealed\.ckpt:2: corrupt checkpoint line: point index true is not an integer"),
        ([header, json.dumps(as_float)], r"sealed\.ckpt:2: corrupt checkpoint line: point index 0.0 is not an integer"),
    ]
    # a line sealed for another scan's checkpoint does not fit this one
    other = scratch / "other.ckpt"
    _resume(other, fast, tau_n=880.0)
    cases.append(([header, other.read_text().splitlines()[1]], r"sealed\.ckpt:2: checksum mismatch"))
    for lines, message in cases:
        path.write_text("\n".join(lines) + "\n")
        with pytest.raises(ValueError, match=message):
            _resume(path, fast)
    path.write_text("\n".join([header, first, second]) + "\n")
    assert same(_resume(path, fast), done)


def test_checkpoint_resume_across_a_data_change_is_refused(data_dir, scratch, warm, fast):
    data = scratch / "data"
    data.mkdir()
    for name in os.listdir(data_dir):
        if name == "csv":
            import shutil

            shutil.copytree(os.path.join(data_dir, name), data / name)
        elif name != "cache_plasma_weak":
            os.symlink(os.path.join(data_dir, name), data / name)
    path = scratch / "data.ckpt"
    first = _resume(path, fast, data_dir=str(data))
    # caches that runs write into the data directory are not data
    (data / "cache_plasma_weak" / "plasma").mkdir(parents=True)
    (data / "cache_plasma_weak" / "plasma" / "electron_thermo_cache.txt").write_text("# cache\n1 2\n")
    assert same(_resume(path, fast, data_dir=str(data)), first)
    nuclides = data / "csv" / "nuclides.csv"
    nuclides.write_text(nuclides.read_text().replace("\nHe3,1,2,", "\nHe3,1,2,1", 1))  # another mass excess
    with pytest.raises(ValueError, match=r"data\.ckpt was computed from other data: the data directory's fingerprint "
                                         r"is .* in the checkpoint and .* now"):
        _resume(path, fast, data_dir=str(data))


def test_grid_sizes_are_checked_before_anything_runs(fast, scratch):
    axes = {"Omegabh2": np.linspace(0.02, 0.03, 10 ** 4), "DeltaNeff": np.linspace(0, 1, 10 ** 4)}
    with pytest.raises(ValueError, match=r"the grid has 100000000 points \(10000 x 10000\); a scan takes at most "
                                         r"1000000 points in one call"):
        nuvex.scan(axes, ["Yp"], jobs=1, progress=False, **fast)
    res = subprocess.run([sys.executable, "-m", "nuvex.tables", "class", "--out", str(scratch / "never.dat"),
                          "--ombh2", "0.02:0.03:1e-11"], capture_output=True, text=True, timeout=120)
    assert res.returncode == 2
    assert re.search(r"range '0.02:0.03:1e-11' has \d{10} values; a grid takes at most 1000000 points", res.stderr)
