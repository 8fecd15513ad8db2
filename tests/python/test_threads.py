# Local parallel work on threads of the calling process: identical numbers for any number of threads,
# one session per thread, Ctrl-C that stops every thread, and plain scripts without a main guard.
import _thread
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

nuvex = pytest.importorskip("nuvex")
from nuvex import _engine  # noqa: E402

# mixed axes: DeltaNeff rebuilds the background, Omegabh2 does not, a refused value fails its points
AXES = {"DeltaNeff": [0.0, 0.5, 1.0], "Omegabh2": [0.021, -1.0, 0.0225, 0.023]}
QUANTITIES = ["Yp", "DoH", "Li7oH", "He3"]


@pytest.fixture(scope="module")
def fast(cache_dir):
    return dict(show_progress=False, cache_dir=cache_dir)


@pytest.fixture(scope="module")
def serial(fast):
    nuvex.run(**fast)  # warm caches
    return nuvex.scan(AXES, QUANTITIES, jobs=1, progress=False, **fast)


def workers_alive():
    return [t for t in threading.enumerate() if t.name.startswith("nuvex-worker")]


def same(a, b):
    return all(np.array_equal(a[q], b[q], equal_nan=True) for q in a.quantities) and \
        [(f.index, f.message) for f in a.failed] == [(f.index, f.message) for f in b.failed]


@pytest.mark.parametrize("jobs", [2, 3, 5])
def test_any_number_of_threads_gives_the_serial_arrays_bit_for_bit(serial, fast, jobs):
    threaded = nuvex.scan(AXES, QUANTITIES, jobs=jobs, progress=False, **fast)
    assert same(serial, threaded)
    assert len(serial.failed) == 3 and np.isfinite(serial["Yp"][:, [0, 2, 3]]).all()
    assert not workers_alive()


def test_monte_carlo_points_on_threads_equal_the_serial_ones(fast):
    axes = {"Omegabh2": [0.021, 0.0225, 0.024]}
    one = nuvex.scan(axes, ["DoH"], jobs=1, mc=4, seed=3, progress=False, **fast)
    two = nuvex.scan(axes, ["DoH"], jobs=2, mc=4, seed=3, progress=False, **fast)
    assert same(one, two) and np.all(one["DoH_std"] > 0)


def test_each_thread_runs_a_session_of_its_own_kept_for_later_calls(fast):
    fixed = dict(fast, tau_n=879.25)  # fixed parameters no other test uses: a fresh set of sessions
    before = _engine.solvers_built
    seen = set()
    real = _engine.evaluate

    def record(solver, *args, **kwargs):
        seen.add((threading.current_thread().name, id(solver)))
        return real(solver, *args, **kwargs)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_engine, "evaluate", record)
        nuvex.scan({"Omegabh2": np.linspace(0.02, 0.024, 24)}, ["Yp"], jobs=2, progress=False, **fixed)
    built = _engine.solvers_built - before
    assert 1 <= built <= 2
    # no solver served two threads at once: within the threaded part every thread had its own
    threads = {}
    for name, solver in seen:
        if name.startswith("nuvex-worker"):
            threads.setdefault(solver, set()).add(name)
    assert all(len(names) == 1 for names in threads.values())
    # the same fixed parameters later: the kept sessions, none built again
    nuvex.scan({"Omegabh2": [0.021, 0.022, 0.023, 0.024]}, ["Yp"], jobs=2, progress=False, **fixed)
    assert _engine.solvers_built - before == built


class Stop(BaseException):
    pass


def test_a_failure_in_a_thread_stops_the_others_and_is_raised(serial, fast, monkeypatch):
    real = _engine.evaluate
    calls = []

    def failing(*args, **kwargs):
        calls.append(1)
        if len(calls) == 4:
            raise Stop()
        return real(*args, **kwargs)

    monkeypatch.setattr(_engine, "evaluate", failing)
    with pytest.raises(Stop):
        nuvex.scan({"Omegabh2": np.linspace(0.02, 0.024, 40)}, ["Yp"], jobs=2, progress=False, **fast)
    assert not workers_alive()
    assert len(calls) < 40  # the other thread stopped early


def test_ctrl_c_cancels_the_threads_and_the_sessions_stay_usable(serial, fast, monkeypatch):
    real = _engine.evaluate
    calls = []

    def interrupting(*args, **kwargs):
        calls.append(1)
        if len(calls) == 5:
            _thread.interrupt_main()  # Ctrl-C, delivered to the calling thread
        return real(*args, **kwargs)

    monkeypatch.setattr(_engine, "evaluate", interrupting)
    with pytest.raises(KeyboardInterrupt):
        nuvex.scan({"Omegabh2": np.linspace(0.02, 0.024, 200)}, ["Yp"], jobs=2, progress=False, **fast)
    assert not workers_alive()
    assert len(calls) < 200
    monkeypatch.setattr(_engine, "evaluate", real)
    again = nuvex.scan(AXES, QUANTITIES, jobs=2, progress=False, **fast)
    assert same(serial, again)


def test_cancel_stops_a_run_on_another_thread(scratch):
    # a cold cache: the first run builds its tables for about a second, time enough to cancel it
    solver = nuvex.Solver(show_progress=False, cache_dir=str(scratch / "cold"))
    outcome = []

    def run():
        try:
            outcome.append(solver.run().Yp)
        except KeyboardInterrupt as e:
            outcome.append(e)

    t = threading.Thread(target=run)
    t.start()
    while t.is_alive():
        solver.cancel()  # nothing to cancel until the run has started: repeat until it ends
        t.join(0.01)
    assert len(outcome) == 1 and isinstance(outcome[0], KeyboardInterrupt)
    solver.cancel()  # with nothing running, a no-op
    assert solver.run().Yp == nuvex.run(show_progress=False, cache_dir=str(scratch / "cold")).Yp
    solver.close()


def test_likelihood_batches_on_threads_equal_the_serial_ones(fast):
    like1 = nuvex.likelihood({"DoH": (2.5e-5, 3e-7)}, params=("Omegabh2",), nuisance=None, jobs=1, **fast)
    like2 = nuvex.likelihood({"DoH": (2.5e-5, 3e-7)}, params=("Omegabh2",), nuisance=None, jobs=2, **fast)
    xs = np.linspace(0.0215, 0.0230, 7)[:, None]
    lp1, t1 = like1.evaluate(xs)
    lp2, t2 = like2.evaluate(xs)
    assert np.array_equal(lp1, lp2) and np.array_equal(t1, t2)
    assert np.argmax(lp1) in (3, 4)  # D/H of 2.5e-5 sits near Omega_b h^2 = 0.0224


PLAIN_SCRIPT = """
import multiprocessing
import nuvex
import nuvex.tables

s = nuvex.scan({"Omegabh2": [0.021, 0.022, 0.023]}, ["DoH"], jobs=2, progress=False, show_progress=False)
print("scan", *s["DoH"].tolist())
sens = nuvex.sensitivities(["DoH"], reactions=["d_p__He3_g"], params=("Omegabh2",), jobs=2, show_progress=False)
print("sens", sens["DoH", "Omegabh2"], sens["DoH", "d_p__He3_g"])
nuvex.tables.write_class("class.dat", [0.021, 0.022], [0.0, 1.0], jobs=2, progress=False, show_progress=False)
print("children", len(multiprocessing.active_children()))
"""


def test_a_plain_script_without_main_guard_runs_on_two_threads(scratch, xdg_cache_home):
    folder = scratch / "empty"
    folder.mkdir()
    script = folder / "plain.py"
    script.write_text(textwrap.dedent(PLAIN_SCRIPT))
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(nuvex.__file__))),
             os.path.dirname(os.path.abspath(nuvex._ext.ext.__file__)), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, XDG_CACHE_HOME=str(xdg_cache_home), PYTHONPATH=os.pathsep.join(paths))
    out = subprocess.run([sys.executable, str(script)], cwd=folder, env=env, capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    lines = dict(line.split(" ", 1) for line in out.stdout.splitlines())
    doh = [float(v) for v in lines["scan"].split()]
    assert doh[0] > doh[1] > doh[2]  # D/H falls with the baryon density
    slope_ob, slope_dpg = (float(v) for v in lines["sens"].split())
    assert -1.8 < slope_ob < -1.5 and -0.45 < slope_dpg < -0.25
    assert lines["children"] == "0"  # threads, no worker process
    table = (folder / "class.dat").read_text().splitlines()
    assert [ln for ln in table if not ln.startswith("#")][0].split() == ["2", "2"]
