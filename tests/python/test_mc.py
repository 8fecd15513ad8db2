# run_mc end to end: the result dictionary, reproducibility across thread counts, the spread of
# D/H against a hand propagation of the dominant rate uncertainties, and cancellation by Ctrl-C.
import math
import os
import signal
import threading
import time

import pytest

_nuvex_c = pytest.importorskip("_nuvex_c")


@pytest.fixture(scope="module")
def params(tmp_path_factory):
    return {"cache_dir": str(tmp_path_factory.mktemp("mc_cache")), "thermal_corrections": False}


def test_result_dictionary_and_thread_independence(params, data_dir):
    q = ["YPBBN", "DoH", "He4"]
    a = _nuvex_c.run_mc(params, data_dir, 6, q, seed=11, n_jobs=1, progress=0)
    b = _nuvex_c.run_mc(params, data_dir, 6, q, seed=11, n_jobs=2, progress=0)
    assert list(a) == q
    for name in q:
        assert set(a[name]) == {"central", "mean", "std", "values"}
        assert len(a[name]["values"]) == 6
        assert a[name]["values"] == b[name]["values"]
    assert a["He4"]["central"] * 4 == pytest.approx(a["YPBBN"]["central"], rel=1e-15)
    c = _nuvex_c.run_mc(params, data_dir, 6, q, seed=12, n_jobs=2, progress=0)
    assert c["DoH"]["values"] != a["DoH"]["values"]


def test_extension_with_previous_samples(params, data_dir):
    q = ["DoH"]
    six = _nuvex_c.run_mc(params, data_dir, 6, q, seed=5, progress=0)
    ten = _nuvex_c.run_mc(params, data_dir, 10, q, seed=5, progress=0)
    ext = _nuvex_c.run_mc(params, data_dir, 10, q, seed=5, progress=0,
                          prev_centrals=[six["DoH"]["central"]], prev_values=[six["DoH"]["values"]])
    assert ext["DoH"]["values"] == ten["DoH"]["values"]


def uncertainty_factor(data_dir, reaction, T9):
    path = f"{data_dir}/nuclear/tables/{reaction}/{reaction}_nuvex.txt"
    rows = []
    with open(path) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                rows.append([float(v) for v in line.split()[:3]])
    return min(rows, key=lambda r: abs(math.log(r[0] / T9)))[2]


def test_deuterium_spread_matches_hand_propagation(params, data_dir):
    # Rate draws only (no lifetime draw). Deuterium burns mainly through d+p, d+d->He3+n and
    # d+d->t+p near T9 = 0.08; d ln(D/H)/d ln(rate) is about -0.3, -0.5 and -0.5 there.
    p = dict(params, std_tau_n=0.0)
    n = 120
    r = _nuvex_c.run_mc(p, data_dir, n, ["DoH"], seed=2024, progress=0)["DoH"]
    by_hand = math.sqrt(sum((s * math.log(uncertainty_factor(data_dir, rx, 0.08))) ** 2 for rx, s in
                            [("d_p__He3_g", 0.32), ("d_d__He3_n", 0.54), ("d_d__t_p", 0.46)]))
    rel = r["std"] / r["central"]
    assert by_hand / 3 < rel < by_hand * 3, (rel, by_hand)
    assert abs(r["mean"] - r["central"]) < 3 * r["std"] / math.sqrt(n) + 1e-3 * r["central"]


def test_refused_arguments_raise_value_error(params, data_dir):
    # the small network holds no Li6: known only after the central run
    with pytest.raises(ValueError, match="unknown quantity 'Li6oLi7'"):
        _nuvex_c.run_mc(params, data_dir, 2, ["DoH", "Li6oLi7"], progress=0)
    with pytest.raises(ValueError, match="num_mc=0"):
        _nuvex_c.run_mc(params, data_dir, 0, ["DoH"], progress=0)
    with pytest.raises(ValueError, match="unknown parameter key: nope"):
        _nuvex_c.run_mc(dict(params, nope=1), data_dir, 2, ["DoH"], progress=0)


def test_single_sample_has_no_spread_estimate(params, data_dir):
    r = _nuvex_c.run_mc(params, data_dir, 1, ["DoH"], progress=0)["DoH"]
    assert math.isnan(r["std"]) and r["mean"] == r["values"][0]


def test_keyboard_interrupt_cancels_and_later_calls_work(params, data_dir):
    # warm the caches so that the interrupt lands among the samples
    _nuvex_c.run_mc(params, data_dir, 1, ["DoH"], progress=0)
    timer = threading.Timer(1.0, lambda: os.kill(os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _nuvex_c.run_mc(params, data_dir, 100000, ["DoH"], progress=0)
    finally:
        timer.cancel()
    assert time.monotonic() - start < 30
    again = _nuvex_c.run_mc(params, data_dir, 2, ["DoH"], progress=0)
    assert len(again["DoH"]["values"]) == 2


def test_progress_lines(params, data_dir, capfd):
    _nuvex_c.run_mc(params, data_dir, 1, ["DoH"], progress=1)
    err = capfd.readouterr().err
    assert "[MC] Running 1 sample...\n" in err
    assert "\r[MC] 1/1 samples (100%)\n" in err


def test_output_files_hold_the_central_run(params, data_dir, scratch):
    final = scratch / "final.dat"
    p = dict(params, output_final_result=True, output_final_file=str(final),
             output_time_evolution=True, output_n_points=20, output_file=str(scratch / "evo.tsv"))
    with_files = _nuvex_c.run_mc(p, data_dir, 3, ["H2"], seed=9, n_jobs=2, progress=0)["H2"]
    plain = _nuvex_c.run_mc(params, data_dir, 3, ["H2"], seed=9, n_jobs=2, progress=0)["H2"]
    assert with_files["values"] == plain["values"]
    rows = dict(line.split() for line in final.read_text().splitlines() if not line.startswith("#"))
    assert float(rows["H2"]) == pytest.approx(with_files["central"], rel=1e-6)
    assert len((scratch / "evo.tsv").read_text().splitlines()) == 21
