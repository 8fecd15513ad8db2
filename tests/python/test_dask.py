# Scans and Monte Carlo on a Dask LocalCluster (two worker processes on the loopback interface, started
# and closed here within a time limit): the same numbers as local runs, bit for bit.
import contextlib
import signal

import numpy as np
import pytest

nuvex = pytest.importorskip("nuvex")
distributed = pytest.importorskip("distributed")
from nuvex import _dask, _engine  # noqa: E402



@pytest.fixture(scope="module")
def fast(cache_dir):
    # the session's cache directory: the cold tables are built once for all suites
    return dict(show_progress=False, cache_dir=cache_dir)
LIMIT_S = 300


@contextlib.contextmanager
def deadline(seconds):
    def expired(*_):
        raise TimeoutError(f"no result within {seconds} s")

    old = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)


@pytest.fixture(scope="module")
def client(fast):
    nuvex.run(**fast)  # cached tables exist before the workers start
    with deadline(LIMIT_S):
        cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                           dashboard_address=None, silence_logs=50)
        c = distributed.Client(cluster, timeout=60)
    try:
        yield c
    finally:
        with deadline(120):
            c.close()
            cluster.close()


def test_scan_on_the_cluster_equals_the_local_scans(client, fast):
    axes = {"DeltaNeff": [0.0, 1.0], "Omegabh2": [0.02, 0.022, -0.5]}
    local = nuvex.scan(axes, ["Yp", "DoH", "Li7oH"], jobs=1, progress=False, **fast)
    with deadline(LIMIT_S):
        remote = nuvex.scan(axes, ["Yp", "DoH", "Li7oH"], client=client, progress=False, **fast)
    for q in local.quantities:
        assert np.array_equal(local[q], remote[q], equal_nan=True), q
    assert [(f.index, f.message) for f in remote.failed] == [(f.index, f.message) for f in local.failed]
    assert len(remote.failed) == 2
    # each worker built its solver once and kept it for the later tasks
    built = client.run(lambda: _engine.solvers_built)
    assert set(built.values()) <= {0, 1} and sum(built.values()) >= 1


def test_monte_carlo_on_the_cluster_equals_the_local_run_bit_for_bit(client, fast):
    local = nuvex.monte_carlo(13, ["Yp", "DoH", "Li7oH"], seed=11, jobs=2, progress=False, **fast)
    with deadline(LIMIT_S):
        remote = nuvex.monte_carlo(13, ["Yp", "DoH", "Li7oH"], seed=11, client=client, block_size=4, progress=False,
                                   **fast)
    for q in local.quantities:
        assert np.array_equal(local.samples[q], remote.samples[q]), q
        assert (local.central[q], local.mean[q], local.std[q]) == (remote.central[q], remote.mean[q], remote.std[q])


def test_sample_blocks_concatenate_to_one_run(fast, monkeypatch):
    # the block path used by the cluster without solver sessions, run here: samples 0..4 and 5..8 are
    # those of one 9-sample run
    whole = nuvex.monte_carlo(9, ["DoH"], seed=5, jobs=1, progress=False, **fast).samples["DoH"]
    monkeypatch.setattr(nuvex.solver, "HAS_SESSION", False)
    with nuvex.Solver(**fast) as s:
        assert not s.uses_session
        parts = s.samples(["DoH"], 5, 0, 5)[0] + s.samples(["DoH"], 5, 5, 4)[0]
    assert np.array_equal(whole, parts)


def test_session_blocks_concatenate_to_one_run(fast):
    if not hasattr(nuvex._ext.ext, "Session") or not hasattr(nuvex._ext.ext.Session, "mc"):
        pytest.skip("the extension has no solver sessions with a Monte Carlo")
    key = _engine.setup_key(fast)
    whole = nuvex.monte_carlo(9, ["DoH"], seed=5, jobs=1, progress=False, **fast).samples["DoH"]
    parts = _dask.mc_block(key, ["DoH"], 5, 0, 5)[0] + _dask.mc_block(key, ["DoH"], 5, 5, 4)[0]
    assert np.array_equal(whole, parts)


def test_a_client_of_the_wrong_type_is_refused():
    with pytest.raises(TypeError, match="distributed.Client"):
        nuvex.scan({"tau_n": [880.0]}, client="tcp://127.0.0.1:8786")
    with pytest.raises(TypeError, match="distributed.Client"):
        nuvex.monte_carlo(3, client=object())


def test_inference_chain_on_worker_processes_equals_the_local_chain(client, fast):
    pytest.importorskip("emcee")
    kw = dict(params=("Omegabh2",), nuisance=None, walkers=4, steps=4, seed=2, progress=False, **fast)
    local = nuvex.sample({"DoH": (2.527e-5, 0.030e-5)}, jobs=1, **kw)
    with deadline(LIMIT_S):
        like = nuvex.likelihood({"DoH": (2.527e-5, 0.030e-5)}, params=("Omegabh2",), nuisance=None, client=client,
                                **fast)
        remote = nuvex.sample(like, **{k: v for k, v in kw.items() if k not in ("params", "nuisance") and k not in fast})
    assert like._actor_pool is not None and like._actor_pool[1] is not None  # batches went to actors
    assert np.array_equal(local.chain, remote.chain)


def test_a_closed_client_is_a_clear_error(fast):
    # once an AttributeError from deep inside distributed; the in-process cluster opens no socket
    c = distributed.Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=None)
    c.close()
    with pytest.raises(RuntimeError, match=r"the Dask client is closed \(client.close\(\) was called"):
        nuvex.scan({"Omegabh2": [0.022]}, ["Yp"], client=c, progress=False, **fast)
    with pytest.raises(RuntimeError, match="the Dask client is closed"):
        nuvex.monte_carlo(4, ["Yp"], client=c, progress=False, **fast)
