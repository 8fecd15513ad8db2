# _nuvex_c.Session: runs equal run_bbn with the same parameters whatever the session kept between
# them, refused changes raise like run_bbn and leave the session as it was, Monte Carlo blocks
# concatenate, one session serves one thread at a time, Ctrl-C and closing behave as documented.
import threading

import pytest

_nuvex_c = pytest.importorskip("_nuvex_c")


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    return {"cache_dir": str(tmp_path_factory.mktemp("session_cache")), "thermal_corrections": False,
            "show_progress": False}


def test_runs_equal_run_bbn(base, data_dir):
    changes = [{}, {"Omegabh2": 0.0230}, {"tau_n": 880.0, "p_d_p__He3_g": 1.0}, {"network": "large"},
               {"DeltaNeff": 0.4, "Omegabh2": 0.021}, {}, {"incomplete_decoupling": False,
                                                         "spectral_distortions": False}]
    with _nuvex_c.Session(base, data_dir) as s:
        for c in changes:
            assert s.run(c) == _nuvex_c.run_bbn(dict(base, **c), data_dir, show_progress=0), c
    assert s.closed


def test_extra_density_and_custom_network_are_kept(base, data_dir):
    # a percent of the photon density, dense enough in log T for its spline
    T = [10 ** (-4 + 0.1 * i) for i in range(61)]
    rho = [0.01 * 0.6579736267392905 * t ** 4 for t in T]
    custom = {"removed": ["Li7_p__a_a_g"]}
    s = _nuvex_c.Session(base, data_dir, custom_network=custom, extra_rho_T=T, extra_rho_val=rho)
    ref = _nuvex_c.run_bbn(base, data_dir, custom_network=custom, show_progress=0, extra_rho_T=T,
                           extra_rho_val=rho)
    assert s.run() == ref
    assert s.run({"Omegabh2": 0.0231})["YPBBN"] != ref["YPBBN"]
    assert s.run() == ref
    s.close()


def test_construction_and_changes_raise_like_run_bbn(base, data_dir):
    with pytest.raises(TypeError, match="params must be a dict"):
        _nuvex_c.Session([], data_dir)
    with pytest.raises(ValueError, match="unknown parameter key: nope"):
        _nuvex_c.Session(dict(base, nope=1), data_dir)
    with pytest.raises(ValueError, match="provided together"):
        _nuvex_c.Session(base, data_dir, extra_rho_T=[1, 2, 3, 4])
    with pytest.raises(RuntimeError, match="nuclides.csv not found"):
        _nuvex_c.Session(base, "/nonexistent")
    s = _nuvex_c.Session(base, data_dir)
    with pytest.raises(ValueError, match="tau_n=-1 is out of range"):
        s.run({"tau_n": -1.0})
    with pytest.raises(TypeError, match="unsupported parameter value type"):
        s.run({"tau_n": [880]})
    with pytest.raises(TypeError, match="changes must be a dict"):
        s.run([("tau_n", 880.0)])
    # the refused changes did not stick
    assert s.run() == _nuvex_c.run_bbn(base, data_dir, show_progress=0)
    s.close()
    s.close()  # harmless twice
    with pytest.raises(ValueError, match="closed Session"):
        s.run()
    with pytest.raises(ValueError, match="closed Session"):
        s.mc(2, ["DoH"])


def test_monte_carlo_blocks_concatenate(base, data_dir):
    q = ["YPBBN", "DoH"]
    with _nuvex_c.Session(base, data_dir) as s:
        full = s.mc(6, q, seed=7, n_jobs=2)
        a = s.mc(4, q, seed=7, n_jobs=1)
        b = s.mc(2, q, seed=7, first=4)
        ref = _nuvex_c.run_mc(base, data_dir, 6, q, seed=7, progress=0)
        for name in q:
            assert a[name]["values"] + b[name]["values"] == full[name]["values"] == ref[name]["values"]
            assert full[name]["central"] == s.run()[name]
        with pytest.raises(ValueError, match="unknown quantity 'Li6oLi7'"):
            s.mc(2, ["Li6oLi7"])
        with pytest.raises(ValueError, match="first=-1"):
            s.mc(2, q, first=-1)


def test_one_thread_at_a_time(base, data_dir):
    s = _nuvex_c.Session(base, data_dir)
    s.run()
    inside, release = threading.Event(), threading.Event()
    results = {}

    def hold(stage, done, total):
        if stage == "MT":
            inside.set()
            release.wait(30)

    def first():
        results["first"] = s.run(on_progress=hold)

    t = threading.Thread(target=first)
    t.start()
    assert inside.wait(30)
    try:
        with pytest.raises(RuntimeError, match="one thread at a time"):
            s.run()
        with pytest.raises(RuntimeError, match="while another thread runs it"):
            s.close()
    finally:
        release.set()
        t.join()
    assert results["first"] == s.run()
    s.close()


def test_interrupt_cancels_a_run_and_the_session_goes_on(base, data_dir):
    s = _nuvex_c.Session(base, data_dir)
    ref = s.run()

    def interrupt(stage, done, total):
        if stage == "LT":
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        s.run({"Omegabh2": 0.0231}, on_progress=interrupt)
    assert s.run() == ref
    s.close()
