# nuvex.monte_carlo and Solver: the extension's samples unchanged, reproducibility by seed and
# independence of the number of workers, the statistics against numpy, input checks that name the
# offending argument, and Solver runs equal to fresh runs.
import math

import numpy as np
import pytest

import _nuvex_c
import nuvex


@pytest.fixture(scope="module")
def fast(cache_dir):
    return {"cache_dir": cache_dir, "thermal_corrections": False}


@pytest.fixture(scope="module")
def mc(fast):
    return nuvex.monte_carlo(24, ("Yp", "DoH", "Li7oH", "He4"), seed=7, jobs=2, progress=False, **fast)


def test_samples_are_the_extensions(mc, fast, data_dir):
    raw = _nuvex_c.run_mc({**fast, "output_file": None}, data_dir, 24, ["YPBBN", "DoH", "Li7oH", "He4"], seed=7,
                          n_jobs=1, progress=0)
    assert mc.quantities == ("Yp", "DoH", "Li7oH", "He4")
    for name, key in zip(mc.quantities, ["YPBBN", "DoH", "Li7oH", "He4"]):
        assert mc.samples[name].tolist() == raw[key]["values"]
        assert mc.central[name] == raw[key]["central"]
        assert mc.samples[name].dtype == np.float64 and mc.samples[name].shape == (24,)
    # the central value is the unperturbed run
    assert mc.central["Yp"] == nuvex.run(**fast, show_progress=False).Yp
    assert mc.central["He4"] * 4 == mc.central["Yp"]


def test_reproducible_by_seed_and_independent_of_jobs(mc, fast):
    one = nuvex.monte_carlo(24, ("Yp", "DoH", "Li7oH", "He4"), seed=7, jobs=1, progress=False, **fast)
    for name in mc.quantities:
        assert np.array_equal(one.samples[name], mc.samples[name])
    other = nuvex.monte_carlo(24, ("DoH",), seed=8, jobs=2, progress=False, **fast)
    assert not np.array_equal(other.samples["DoH"], mc.samples["DoH"])


def test_statistics_against_numpy(mc):
    X = np.vstack([mc.samples[q] for q in mc.quantities])
    for i, name in enumerate(mc.quantities):
        s = mc.samples[name]
        assert mc.mean[name] == pytest.approx(s.mean(), rel=1e-12)
        assert mc.std[name] == pytest.approx(s.std(ddof=1), rel=1e-10)
        assert mc.covariance[i, i] == pytest.approx(mc.std[name] ** 2, rel=1e-10)
        assert mc.percentile(50)[name] == pytest.approx(np.median(s), rel=1e-14)
        lo, hi = mc.interval(0.5)[name]
        assert (lo, hi) == pytest.approx(tuple(np.percentile(s, [25, 75])), rel=1e-14)
    assert np.allclose(mc.covariance, np.cov(X, ddof=1), rtol=1e-10, atol=0)
    assert np.allclose(mc.correlation, np.corrcoef(X), rtol=1e-10, atol=1e-14)
    # Yp and Y(He4) are the same quantity up to the factor 4: fully correlated
    assert mc.correlation[0, 3] == pytest.approx(1.0, abs=1e-12)
    assert np.array_equal(mc.percentile([16, 84])["DoH"], np.percentile(mc.samples["DoH"], [16, 84]))


def test_single_sample_has_no_spread(fast):
    one = nuvex.monte_carlo(1, ("DoH",), seed=3, progress=False, **fast)
    assert one.samples["DoH"].shape == (1,)
    assert math.isnan(one.std["DoH"]) and np.isnan(one.covariance).all()
    assert one.mean["DoH"] == one.samples["DoH"][0]


def test_repr_and_to_dict(mc):
    lines = repr(mc).splitlines()
    assert lines[0] == "nuvex.MCResult (24 samples, seed 7)"
    assert lines[1].split() == ["quantity", "central", "mean", "std", "16%", "84%"]
    assert [l.split()[0] for l in lines[2:]] == list(mc.quantities)
    d = mc.to_dict()
    assert list(d) == list(mc.quantities) and d["DoH"]["values"] == mc.samples["DoH"].tolist()


@pytest.mark.parametrize("kw, exc, text", [
    (dict(n=0), ValueError, "n=0 is out of range: must be between 1 and 2147483647"),
    (dict(n=True), TypeError, "n must be an int, not bool"),
    (dict(n=2.5), TypeError, "n must be an int, not float"),
    (dict(n=2, seed=-1), ValueError, "seed=-1 is out of range"),
    (dict(n=2, jobs=0), ValueError, "jobs=0 is out of range"),
    (dict(n=2, quantities="DoH"), TypeError, "quantities must be a sequence of names"),
    (dict(n=2, quantities=()), ValueError, "quantities must name at least one quantity"),
    (dict(n=2, quantities=("DoH", "DoH")), ValueError, "quantities must not repeat a name"),
    (dict(n=2, quantities=("D/H",)), ValueError, "unknown quantity 'D/H': not a result quantity nor a nuclide"),
    (dict(n=2, quantities=("Ypp",)), ValueError, "did you mean 'Yp'"),
    (dict(n=2, tua_n=880.0), ValueError, "unknown parameter 'tua_n'; did you mean 'tau_n'"),
    (dict(n=2, extra_rho_T=[1.0] * 4), ValueError, "'extra_rho_T' is not accepted here"),
])
def test_arguments_are_checked_before_any_computation(kw, exc, text):
    n = kw.pop("n")
    with pytest.raises(exc) as info:
        nuvex.monte_carlo(n, **kw)
    assert text in str(info.value)


def test_quantity_missing_from_the_network_is_a_value_error(fast):
    # refused after the central run; the message names the quantity
    with pytest.raises(ValueError, match="Li6oLi7"):
        nuvex.monte_carlo(2, ("DoH", "Li6oLi7", "C12"), progress=False, **fast)


# ---- Solver -----------------------------------------------------------------------------

@pytest.mark.parametrize("changes", [
    {},
    {"Omegabh2": 0.03},
    {"tau_n": 870.0, "DeltaNeff": 0.5},
    {"p_d_d__He3_n": -1.0, "network": "large"},
])
def test_solver_runs_equal_fresh_runs(fast, changes):
    with nuvex.Solver(**fast, numerical_precision=1e-8) as solver:
        first = solver.run(**changes)
        again = solver.run(**changes)
        fresh = nuvex.run(**fast, numerical_precision=1e-8, **changes)
    assert first.to_dict() == fresh.to_dict() == again.to_dict()
    assert first.params == fresh.params


def test_solver_changes_do_not_stick(fast):
    with nuvex.Solver(**fast) as solver:
        a = solver.run()
        solver.run(Omegabh2=0.01)
        assert solver.run().to_dict() == a.to_dict()


def test_solver_monte_carlo_equals_the_module_function(fast, mc):
    with nuvex.Solver(**fast) as solver:
        res = solver.monte_carlo(24, ("Yp", "DoH", "Li7oH", "He4"), seed=7, jobs=2, progress=False)
        changed = solver.monte_carlo(3, ("DoH",), seed=1, progress=False, Omegabh2=0.03)
    for name in mc.quantities:
        assert np.array_equal(res.samples[name], mc.samples[name])
    ref = nuvex.monte_carlo(3, ("DoH",), seed=1, progress=False, Omegabh2=0.03, **fast)
    assert np.array_equal(changed.samples["DoH"], ref.samples["DoH"])


def test_solver_progress_hook_sees_the_run_and_can_stop_it(fast):
    class Stop(Exception):
        pass

    def stop_at(stage_to_stop):
        def hook(stage, done, total):
            if stage == stage_to_stop:
                raise Stop(stage)
        return hook

    stages = []
    with nuvex.Solver(**fast) as solver:
        first = solver.run(Omegabh2=0.023, on_progress=lambda stage, done, total: stages.append(stage))
        with pytest.raises(Stop):
            solver.run(Omegabh2=0.023, on_progress=stop_at("MT"))
        # a stopped run leaves nothing behind: the same numbers as before and as a fresh run
        assert solver.run(Omegabh2=0.023).to_dict() == first.to_dict() == nuvex.run(Omegabh2=0.023, **fast).to_dict()
        # a hook asks the solver for the samples' progress: the samples stay the same
        mc = solver.monte_carlo(4, ("DoH",), seed=2, jobs=1, progress=False, on_progress=lambda *report: None)
        with pytest.raises(Stop):
            solver.monte_carlo(400, ("DoH",), seed=2, jobs=1, progress=False, on_progress=stop_at("mc"))
    assert [s for s in ("HT", "MT", "LT", "done") if s in stages] == ["HT", "MT", "LT", "done"]
    assert np.array_equal(mc.samples["DoH"], nuvex.monte_carlo(4, ("DoH",), seed=2, progress=False, **fast).samples["DoH"])


def test_solver_refuses_misuse(fast):
    solver = nuvex.Solver(**fast)
    with pytest.raises(ValueError, match="custom_network is fixed when the Solver is made"):
        solver.run(custom_network={})
    with pytest.raises(ValueError, match="unknown parameter 'Omegab'"):
        solver.run(Omegab=0.02)
    with pytest.raises(ValueError, match="unknown parameter 'tua_n'"):
        nuvex.Solver(tua_n=880.0)
    solver.close()
    with pytest.raises(RuntimeError, match="closed"):
        solver.run()
    assert "closed" in repr(solver)
