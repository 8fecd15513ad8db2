# Inference from observed abundances: observation checks, the Gaussian likelihood against its closed
# form, recovery of parameters from synthetic observations, widening by rate nuisances, and chains
# that depend on the seed only (not on the number of local or Dask workers).
import math

import numpy as np
import pytest

nuvex = pytest.importorskip("nuvex")
pytest.importorskip("emcee")
from nuvex import observations as nobs  # noqa: E402
from nuvex.inference import PosteriorWarning, flat, normal  # noqa: E402


@pytest.fixture(scope="module")
def fast(cache_dir):
    return dict(show_progress=False, cache_dir=cache_dir, network="small", jobs=1)


TRUTH = {"Omegabh2": 0.0221, "DeltaNeff": 0.4}
SIG_D, SIG_Y = 0.030e-5, 0.0034


@pytest.fixture(scope="module")
def truth_values(fast):
    r = nuvex.run(show_progress=False, cache_dir=fast["cache_dir"], network="small", **TRUTH)
    return r.DoH, r.Yp


# -- observations -------------------------------------------------------------------------------------

def test_catalogue_values_and_conventions():
    d, y = nobs.CATALOGUE["DoH_Cooke2018"], nobs.CATALOGUE["Yp_Aver2021"]
    assert (d.value, d.sigma, d.key) == (2.527e-5, 0.030e-5, "DoH")
    # Y = 4y/(1+4y) of the HII-region analyses is the nucleon fraction: compared with YPBBN, not YPCMB
    assert (y.value, y.sigma, y.key) == (0.2453, 0.0034, "YPBBN")
    assert [o.quantity for o in nobs.normalize(nobs.DEFAULT)] == ["DoH", "Yp"]
    mapped = nobs.normalize({"DoH": (2.5e-5, 3e-7), "Yp_mass": (0.245, 0.003)})
    assert [(o.key, o.value, o.sigma) for o in mapped] == [("DoH", 2.5e-5, 3e-7), ("YPCMB", 0.245, 0.003)]


@pytest.mark.parametrize("obs, match", [
    ({"DoH": (2.5e-5, 0.0)}, "'DoH'.*sigma must be positive"),
    ({"DoH": (2.5e-5, -1e-7)}, "'DoH'.*sigma must be positive"),
    ({"Yp": (math.nan, 0.003)}, "'Yp'.*value must be finite"),
    ({"Yp": (0.245, math.inf)}, "'Yp'.*sigma must be finite"),
    ({"DoHH": (2.5e-5, 3e-7)}, "unknown quantity.*did you mean 'DoH'"),
    ({"DoH": 2.5e-5}, "expected \\(value, sigma\\)"),
    ("DoH_Cook2018", "unknown observation 'DoH_Cook2018'.*did you mean 'DoH_Cooke2018'"),
    ({}, "empty"),
    ({"DoH": (-1.0, 3e-7)}, "'DoH'.*value must be >= 0"),
])
def test_bad_observations_are_refused_by_name(obs, match):
    with pytest.raises(ValueError, match=match):
        nobs.normalize(obs)


@pytest.mark.parametrize("kwargs, match", [
    (dict(params=("Omegabh3",)), "unknown parameter 'Omegabh3'.*'Omegabh2'"),
    (dict(params=("network",)), "only numbers can be sampled"),
    (dict(nuisance="rate"), "did you mean 'rates'"),
    (dict(nuisance=["p_d_p__He3_gg"]), "p_d_p__He3_g"),
    (dict(priors={"Omegabh": flat(0.01, 0.03)}), "not a free parameter.*'Omegabh2'"),
    (dict(Omegabh2=0.022), "both sampled and fixed"),
    (dict(params=("tau_n",), nuisance="rates"), "given twice"),
    (dict(params=("y_SZ",)), "no default prior"),
    (dict(nuisance="rates", std_tau_n=0.0), "std_tau_n > 0"),
    (dict(nuisance="theory", mc_samples=1), "mc_samples=1 is out of range"),
])
def test_bad_parameters_are_refused_by_name(fast, kwargs, match):
    kw = dict(fast)
    kw.update(nuisance=None)
    kw.update(kwargs)
    with pytest.raises(ValueError, match=match):
        nuvex.likelihood({"DoH": (2.5e-5, 3e-7)}, **kw)


def test_a_quantity_the_run_lacks_is_refused(fast):
    with pytest.raises(ValueError, match="Li6oLi7"):
        nuvex.likelihood({"Li6oLi7": (1e-5, 1e-6)}, params=("Omegabh2",), nuisance=None, **fast)


# -- the likelihood -------------------------------------------------------------------------------------

def test_likelihood_is_the_gaussian_and_peaks_at_the_generating_point(fast, truth_values):
    d, y = truth_values
    like = nuvex.likelihood({"DoH": (d, SIG_D), "Yp": (y, SIG_Y)}, nuisance=None, **fast)
    norm = -0.5 * (math.log(2 * math.pi * SIG_D**2) + math.log(2 * math.pi * SIG_Y**2))
    assert like.log_likelihood(TRUTH) == pytest.approx(norm, abs=1e-9)
    # closed form at a displaced point, with the theory the solver predicts there
    off = {"Omegabh2": 0.0225, "DeltaNeff": 0.1}
    t = like.theory(off)
    chi2 = ((t["DoH"] - d) / SIG_D) ** 2 + ((t["YPBBN"] - y) / SIG_Y) ** 2
    assert like.log_likelihood(off) == pytest.approx(norm - 0.5 * chi2, rel=1e-12)
    # every neighbour is less likely; the prior is flat and normalised over its range
    for dx in ({"Omegabh2": 1e-4}, {"Omegabh2": -1e-4}, {"DeltaNeff": 0.05}, {"DeltaNeff": -0.05}):
        p = {k: v + dx.get(k, 0.0) for k, v in TRUTH.items()}
        assert like.log_likelihood(p) < like.log_likelihood(TRUTH)
    assert like.log_prior(TRUTH) == pytest.approx(-math.log(0.035) - math.log(12.0))
    assert like.log_posterior({"Omegabh2": 0.05, "DeltaNeff": 0.0}) == -math.inf


def test_theory_covariance_enters_the_normalisation(fast, truth_values):
    d, _ = truth_values
    like = nuvex.likelihood({"DoH": (d, SIG_D)}, params=("Omegabh2",), nuisance="theory", mc_samples=40,
                            DeltaNeff=TRUTH["DeltaNeff"], **fast)
    rel = like.theory_relcov[0, 0]
    assert 1e-5 < rel < 1e-3  # a relative D/H theory error between 0.3% and 3%
    var = SIG_D**2 + rel * d**2
    assert like.log_likelihood({"Omegabh2": TRUTH["Omegabh2"]}) == pytest.approx(-0.5 * math.log(2 * math.pi * var),
                                                                                   abs=1e-6)


# -- posteriors on grids ------------------------------------------------------------------------------

def test_parameters_are_recovered_from_synthetic_observations(fast, truth_values):
    d, y = truth_values
    axes = {"Omegabh2": np.linspace(0.0206, 0.0236, 21), "DeltaNeff": np.linspace(-0.8, 1.6, 13)}
    grid = nuvex.grid_posterior({"DoH": (d, SIG_D), "Yp": (y, SIG_Y)}, axes, **{**fast, "nuisance": None})
    # noiseless observations: the truth is the grid's best point and lies near the marginal centres
    assert grid.best() == pytest.approx(TRUTH)
    rng = np.random.default_rng(7)
    inside68 = {n: 0 for n in TRUTH}
    inside95 = {n: 0 for n in TRUTH}
    trials = 24
    for _ in range(trials):
        noisy = {"DoH": (d + SIG_D * rng.standard_normal(), SIG_D), "Yp": (y + SIG_Y * rng.standard_normal(), SIG_Y)}
        g = grid.for_observations(noisy)
        for n, v in TRUTH.items():
            lo, hi = g.interval(n)
            inside68[n] += lo <= v <= hi
            lo, hi = g.interval(n, 0.95)
            inside95[n] += lo <= v <= hi
    for n in TRUTH:
        assert 0.45 * trials <= inside68[n] <= 0.9 * trials, (n, inside68[n])
        assert inside95[n] >= 0.8 * trials, (n, inside95[n])


def test_marginalising_the_rates_widens_the_posterior(fast, truth_values):
    d, _ = truth_values
    obs = {"DoH": (d, SIG_D)}
    om = np.linspace(0.0214, 0.0228, 15)
    fixed = dict(fast, DeltaNeff=TRUTH["DeltaNeff"])
    bare = nuvex.grid_posterior(obs, {"Omegabh2": om}, nuisance=None, **fixed)
    theory = nuvex.grid_posterior(obs, {"Omegabh2": om}, nuisance="theory", mc_samples=40, **fixed)
    one = nuvex.grid_posterior(obs, {"Omegabh2": om, "p_d_p__He3_g": np.linspace(-3, 3, 7)},
                               nuisance=["p_d_p__He3_g"], **fixed)
    s0 = bare.std("Omegabh2")
    # D/H alone: sigma(ln Omega) = sigma(ln D/H) / 1.64 for the observational error
    assert s0 / TRUTH["Omegabh2"] == pytest.approx(SIG_D / d / 1.64, rel=0.1)
    assert abs(bare.mean("Omegabh2") - TRUTH["Omegabh2"]) < 0.1 * s0
    assert one.std("Omegabh2") > 1.1 * s0
    assert theory.std("Omegabh2") > 1.2 * s0
    x, p = one.marginal("p_d_p__He3_g")
    assert one.mean("p_d_p__He3_g") == pytest.approx(0.0, abs=0.05)  # the data do not pull a nuisance
    assert float(np.sum(0.5 * (p[1:] + p[:-1]) * np.diff(x))) == pytest.approx(1.0)


def test_a_grid_needs_an_axis_per_free_parameter(fast):
    with pytest.raises(ValueError, match="missing.*tau_n"):
        nuvex.grid_posterior({"DoH": (2.5e-5, 3e-7)}, {"Omegabh2": [0.021, 0.022]}, nuisance="rates", **fast)


# -- chains ---------------------------------------------------------------------------------------------

def _chain(fast, **kw):
    args = dict(fast, params=("Omegabh2",), nuisance=None, walkers=4, steps=10, seed=5, progress=False)
    args.update(kw)
    return nuvex.sample({"DoH": (2.527e-5, 0.030e-5)}, **args)


def test_chain_depends_on_the_seed_only(fast, scratch):
    a = _chain(fast)
    b = _chain(fast, jobs=2)
    assert np.array_equal(a.chain, b.chain) and np.array_equal(a.log_prob, b.log_prob)
    assert np.array_equal(a.predicted["DoH"], b.predicted["DoH"])
    assert not np.array_equal(a.chain, _chain(fast, seed=6).chain)
    # summaries read the samples after the burn-in (a quarter by default)
    assert a.burn == 2 and a.samples("Omegabh2").shape == (8 * 4,)
    s = a.samples("Omegabh2")
    assert a.mean("Omegabh2") == pytest.approx(s.mean()) and a.std("Omegabh2") == pytest.approx(s.std(ddof=1))
    lo, hi = a.interval("Omegabh2")
    assert s.min() <= lo < a.median("Omegabh2") < hi <= s.max()
    assert 0 < a.acceptance <= 1 and set(a.autocorr_time) == {"Omegabh2"}
    assert a.correlation.shape == (1, 1)
    with pytest.raises(ValueError, match="burn"):
        a.burn = 10
    a.save(scratch / "chain.npz")
    back = nuvex.Chain.load(scratch / "chain.npz")
    assert np.array_equal(back.chain, a.chain) and np.array_equal(back.predicted["DoH"], a.predicted["DoH"])
    assert (back.names, back.burn, back.seed, back.priors) == (a.names, a.burn, a.seed, a.priors)
    (scratch / "bad.npz").write_bytes(b"not a chain")
    with pytest.raises(ValueError, match="bad.npz"):
        nuvex.Chain.load(scratch / "bad.npz")
    with pytest.raises(KeyError, match="not in this chain"):
        a.samples("DeltaNeff")
    with pytest.raises(ValueError, match="at least 4"):
        _chain(fast, params=("Omegabh2", "DeltaNeff"), walkers=3)


def test_chain_on_dask_equals_the_local_chain(fast):
    distributed = pytest.importorskip("distributed")
    local = _chain(fast, steps=6)
    # in-process workers on threads: no sockets at all
    cluster = distributed.LocalCluster(n_workers=2, processes=False, threads_per_worker=1, dashboard_address=None,
                                       silence_logs=50)
    try:
        with distributed.Client(cluster, timeout=60) as client:
            remote = _chain({k: v for k, v in fast.items() if k != "jobs"}, steps=6, client=client)
    finally:
        cluster.close()
    assert np.array_equal(local.chain, remote.chain)


def test_plots(fast, truth_values):
    import matplotlib

    matplotlib.use("Agg")
    a = _chain(fast, params=("Omegabh2",), nuisance=["p_d_p__He3_g"], walkers=4, steps=6)
    assert len(a.plot(truths=TRUTH).axes) == 4
    d, y = truth_values
    g = nuvex.grid_posterior({"DoH": (d, SIG_D)}, {"Omegabh2": np.linspace(0.021, 0.023, 5),
                                                 "DeltaNeff": [0.0, 0.5, 1.0]}, nuisance=None,
                             priors={"DeltaNeff": normal(0.4, 0.3)}, **fast)
    assert g.plot(truths=TRUTH).axes


# -- summaries against analytic truths (no solver runs) ----------------------------------------------

@pytest.mark.parametrize("prior, x, expected", [
    (flat(0.01, 0.03), 0.02, -math.log(0.02)),
    (flat(0.01, 0.03), 0.031, -math.inf),
    (normal(878.4, 0.5), 879.4, -2.0 - math.log(0.5 * math.sqrt(2 * math.pi))),
])
def test_prior_densities_are_normalised(prior, x, expected):
    assert float(prior.logpdf(x)) == pytest.approx(expected)


@pytest.mark.parametrize("args, match", [(("flat", 1.0, 1.0), "low < high"), (("normal", 0.0, 0.0), "positive width"),
                                         (("uniform", 0.0, 1.0), "'flat' or 'normal'"),
                                         (("flat", 0.0, math.inf), "finite")])
def test_bad_priors_are_refused(args, match):
    from nuvex.inference import Prior

    with pytest.raises(ValueError, match=match):
        Prior(*args)


def test_grid_summaries_of_a_known_gaussian():
    x = np.linspace(0.020, 0.025, 201)
    y = np.linspace(-2.0, 2.0, 161)
    mx, sx, my, sy, rho = 0.0223, 2e-4, 0.1, 0.3, 0.8
    X, Y = np.meshgrid(x, y, indexing="ij")
    u, v = (X - mx) / sx, (Y - my) / sy
    logp = -0.5 * (u**2 - 2 * rho * u * v + v**2) / (1 - rho**2)
    g = nuvex.GridPosterior({"Omegabh2": x, "DeltaNeff": y}, logp, {}, None)
    assert g.mean("Omegabh2") == pytest.approx(mx, rel=1e-6) and g.std("Omegabh2") == pytest.approx(sx, rel=1e-3)
    assert g.mean("DeltaNeff") == pytest.approx(my, abs=1e-4) and g.std("DeltaNeff") == pytest.approx(sy, rel=1e-3)
    lo, hi = g.interval("Omegabh2", 0.9545)
    assert (lo, hi) == (pytest.approx(mx - 2 * sx, rel=2e-4), pytest.approx(mx + 2 * sx, rel=2e-4))
    assert g.best() == pytest.approx({"Omegabh2": mx, "DeltaNeff": my}, abs=0.02)


def test_chain_diagnostics_of_a_known_process():
    # AR(1) walkers with correlation r: integrated autocorrelation time (1 + r) / (1 - r) = 9
    rng = np.random.default_rng(3)
    steps, walkers, r = 4000, 16, 0.8
    x = np.empty((steps, walkers, 1))
    x[0] = rng.standard_normal((walkers, 1))
    for t in range(1, steps):
        x[t] = r * x[t - 1] + math.sqrt(1 - r * r) * rng.standard_normal((walkers, 1))
    c = nuvex.Chain(["Omegabh2"], x, np.zeros((steps, walkers)), np.full(walkers, 0.3), burn=0)
    assert c.autocorr_time["Omegabh2"] == pytest.approx(9.0, rel=0.1)
    assert c.std("Omegabh2") == pytest.approx(1.0, rel=0.05) and c.acceptance == pytest.approx(0.3)
    assert c.interval("Omegabh2", 0.6827) == (pytest.approx(-1.0, abs=0.1), pytest.approx(1.0, abs=0.1))


def test_yp_mass_observations_compare_with_the_mass_fraction(fast):
    r = nuvex.run(show_progress=False, cache_dir=fast["cache_dir"], network="small")
    like = nuvex.likelihood({"Yp_mass": (r.Yp_mass, 0.003), "Yp": (r.Yp, 0.003)}, params=("Omegabh2",),
                            nuisance=None, **fast)
    assert like.theory({"Omegabh2": 0.02242}) == {"YPCMB": r.Yp_mass, "YPBBN": r.Yp}


# -- absurd observations: the posterior says so ------------------------------------------------------

def _grid_warnings(fast, obs, om):
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", PosteriorWarning)
        g = nuvex.grid_posterior(obs, {"Omegabh2": om}, **{**fast, "nuisance": None})
    texts = [str(w.message) for w in caught if issubclass(w.category, PosteriorWarning)]
    assert g.warnings == texts  # kept with the result, and in its summary
    assert all(f"warning: {t}" in g.summary() for t in texts)
    return g, texts


def test_grid_posterior_flags_observations_it_cannot_fit(fast):
    om = np.linspace(0.019, 0.025, 7)
    # D/H = 1e10 (a unit slip) once gave a confident Omegabh2 with std 0: its likelihood is -5.6e32 at
    # every point, equal up to rounding, and no point comes near the observation
    g, texts = _grid_warnings(fast, {"DoH": (1e10, 3e-7)}, om)
    assert texts[0].startswith("the likelihood is the same, up to rounding, over the grid: the observations do not "
                               "constrain Omegabh2")
    assert texts[1].startswith("no point fits the observed DoH = 1e+10 +/- 3e-07: the best prediction is")
    assert len(texts) == 2
    # a measurement beyond the grid's reach: the posterior piles on its edge
    g, texts = _grid_warnings(fast, {"DoH": (3.4e-5, 0.3e-5)}, om)
    assert texts == ["the posterior of Omegabh2 peaks at the edge of the grid (0.019): widen the grid, or check the "
                     "observations"]
    # an error so large that the data say nothing: the posterior is the prior
    g, texts = _grid_warnings(fast, {"DoH": (2.5e-5, 1.0)}, om)
    assert texts == ["the likelihood varies by a factor of only 1 over the grid: the observations do not constrain "
                     "Omegabh2, and the posterior is the prior"]
    # a precise measurement on a coarse grid sits on one grid point
    g, texts = _grid_warnings(fast, {"DoH": (2.527e-5, 0.030e-5)}, om)
    assert len(texts) == 1 and texts[0].startswith("the posterior of Omegabh2 is narrower than the grid spacing")
    # the same on a grid that resolves it raises nothing
    g, texts = _grid_warnings(fast, {"DoH": (2.527e-5, 0.030e-5)}, np.linspace(0.0215, 0.0231, 9))
    assert texts == [] and 0.0215 < g.mean("Omegabh2") < 0.0231


def test_chain_flags_a_posterior_on_the_edge_of_its_prior(fast, scratch):
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", PosteriorWarning)
        c = nuvex.sample({"DoH": (3.4e-5, 0.1e-5)}, params=("Omegabh2",), nuisance=None, walkers=8, steps=20, seed=3,
                         progress=False, priors={"Omegabh2": flat(0.0224, 0.0234)}, **fast)
    texts = [str(w.message) for w in caught if issubclass(w.category, PosteriorWarning)]
    assert c.warnings == texts and len(texts) == 2
    assert texts[0].startswith("the posterior of Omegabh2 piles on the edge of its prior (0.0224: ")
    assert texts[1].startswith("no point fits the observed DoH = 3.4e-05 +/- 1e-06: the best prediction is 2.5")
    c.save(scratch / "flagged.npz")
    assert nuvex.Chain.load(scratch / "flagged.npz").warnings == texts
