# The nuvex package against the extension module it wraps: identical numbers on the same
# parameters, the documented parameter table against the solver's own key kinds and defaults,
# keyword validation with suggestions, result attributes and conventions, and numpy forms.
import math

import numpy as np
import pytest

import _nuvex_c
import nuvex
from nuvex.result import QUANTITIES

# AME2020 atomic masses (u) of helium-4 and hydrogen-1
M_HE4, M_H1 = 4.00260325413, 1.00782503223


@pytest.fixture(scope="module")
def fast(cache_dir):
    """Package keywords of a quick run (no thermal-correction table)."""
    return {"cache_dir": cache_dir, "thermal_corrections": False, "show_progress": False}


@pytest.fixture(scope="module")
def default_result(cache_dir):
    return nuvex.run(cache_dir=cache_dir, show_progress=False)


def c_run(data_dir, **params):
    return _nuvex_c.run_bbn(params, data_dir, show_progress=0)


# ---- the same numbers as the extension -------------------------------------------------

@pytest.mark.parametrize("extra", [
    {},
    {"Omegabh2": 0.031, "DeltaNeff": 0.4, "tau_n": 880.2},
    {"p_d_p__He3_g": 1.5, "delta_d_d__He3_n": 0.05, "network": "large"},
    {"output_time_evolution": True, "output_rates_time_evolution": True, "output_n_points": 40},
])
def test_run_gives_the_extension_numbers(data_dir, fast, extra):
    res = nuvex.run(**fast, **extra)
    raw = c_run(data_dir, **fast, **extra, output_file=None)
    assert res.to_dict() == raw
    assert res.params["cache_dir"] == fast["cache_dir"]


def test_default_run_matches_the_extension_and_published_ranges(default_result, data_dir, cache_dir):
    raw = c_run(data_dir, cache_dir=cache_dir, output_file=None)
    assert default_result.to_dict() == raw
    # standard BBN at Planck baryon density: Yp near 0.247, D/H near 2.5e-5, Neff near 3.044
    assert 0.2460 < default_result.Yp < 0.2475
    assert 2.40e-5 < default_result.DoH < 2.60e-5
    assert abs(default_result.Neff - 3.044) < 3e-3


def test_numpy_scalars_are_accepted(fast):
    plain = nuvex.run(**fast, Omegabh2=0.025, output_n_points=30, output_time_evolution=True)
    res = nuvex.run(**fast, Omegabh2=np.float64(0.025), output_n_points=np.int64(30),
                    output_time_evolution=np.bool_(True))
    assert res.to_dict() == plain.to_dict()


def test_path_objects_are_accepted(fast, tmp_path):
    out = tmp_path / "final.dat"
    nuvex.run(**fast, output_final_result=True, output_final_file=out)
    assert out.read_text().startswith("# nuclide")


# ---- result attributes and conventions ------------------------------------------------

def test_helium_conventions_and_ratios(default_result):
    r = default_result
    Y = r.abundances
    assert r.Yp == r.YPBBN == r["Yp"] == 4 * Y["He4"]
    # mass fraction with true atomic masses, as CMB codes take it
    mass = M_HE4 / 4 * r.Yp / ((1 - r.Yp) * M_H1 + M_HE4 / 4 * r.Yp)
    assert r.Yp_mass == r.YPCMB == pytest.approx(mass, rel=1e-9)
    assert r.Yp_mass < r.Yp
    assert r.DoH == pytest.approx(Y["H2"] / Y["p"], rel=1e-14)
    assert r.He3oH == pytest.approx((Y["H3"] + Y["He3"]) / Y["p"], rel=1e-14)
    assert r.Li7oH == pytest.approx((Y["Li7"] + Y["Be7"]) / Y["p"], rel=1e-14)
    assert r["He4"] == Y["He4"]
    # m_nu / Omega_nu h^2 of one flavour is close to the textbook 93 eV; 1e6 Omega_rel h^2 near 5.7
    assert 92.5 < r.OneOverOmeganunr < 94.0
    assert 5.6 < r.Omeganurel < 5.8


def test_optional_quantities_follow_the_network(fast):
    small = nuvex.run(**fast)
    assert small.Li6oLi7 is None and small.YCNO is None and "Li6oLi7" not in small
    large = nuvex.run(**fast, network="large")
    Y = large.abundances
    assert large.Li6oLi7 == pytest.approx(Y["Li6"] / (Y["Li7"] + Y["Be7"]), rel=1e-14)
    assert large.YCNO > 0
    with pytest.raises(KeyError, match="Li6oLi7"):
        small["Li6oLi7"]


def test_repr_is_an_aligned_table_with_units_and_definitions(default_result):
    text = repr(default_result)
    lines = text.splitlines()
    assert lines[0].startswith("nuvex.Result (network small, Omegabh2 = 0.02242, tau_n = 878.4 s")
    rows = lines[1:]
    assert [row.split()[0] for row in rows] == [q.attr for q in QUANTITIES if q.key in default_result.quantities]
    # values right-aligned in one column, definitions starting in one column
    value_ends = {row.index(row.split()[1]) + len(row.split()[1]) for row in rows}
    assert len(value_ends) == 1
    assert "nucleon fraction" in rows[0] and "mass fraction" in rows[1]
    assert " eV " in [r for r in rows if r.split()[0] == "OneOverOmeganunr"][0]


def test_evolution_arrays(fast):
    n = 60
    r = nuvex.run(**fast, output_time_evolution=True, output_rates_time_evolution=True, output_n_points=n)
    ev = r.evolution
    for name in ("t", "a", "T_gamma", "T_nue", "T_numu", "T_nutau"):
        arr = getattr(ev, name)
        assert arr.dtype == np.float64 and arr.shape == (n,), name
    assert list(ev.Y) == list(r.abundances) == list(ev.nuclides)
    assert all(v.dtype == np.float64 and v.shape == (n,) for v in ev.Y.values())
    assert ev.rates and all(v.shape == (n,) for v in ev.rates.values())
    assert np.all(np.diff(ev.t) > 0) and np.all(np.diff(ev.T_gamma) < 0)
    assert ev.T_gamma[0] == pytest.approx(40.0, rel=1e-6) and ev.T_gamma[-1] == pytest.approx(1e-3, rel=1e-6)
    # radiation domination: t T^2 = 2.42 s MeV^2 / sqrt(g*), g* from 10.75 (photons, e+e-, three
    # neutrinos) down to 2 + 7/4 Neff (4/11)^(4/3) after the annihilation
    tT2 = ev.t * ev.T_gamma**2
    g_late = 2 + 7 / 4 * r.Neff * (4 / 11) ** (4 / 3)
    assert tT2[-1] / tT2[0] == pytest.approx(math.sqrt(10.75 / g_late), rel=2e-3)
    assert tT2[0] == pytest.approx(2.42 / math.sqrt(10.75), rel=5e-3)
    # the last sample is the end of the integration
    assert ev.Y["He4"][-1] == pytest.approx(r.abundances["He4"], rel=1e-9)
    assert nuvex.run(**fast).evolution is None


def test_to_dict_round_trip(fast):
    r = nuvex.run(**fast, output_time_evolution=True, output_n_points=10)
    again = nuvex.Result(r.to_dict(), r.params)
    assert again.to_dict() == r.to_dict()
    assert repr(again) == repr(r)


def test_baryon_to_photon_ratio_matches_the_solver(fast, capsys):
    # the solver prints eta0b in its option lines; the package's conversion must give the same number
    nuvex.run(**fast, verbose=True, Omegabh2=0.0312)
    line = next(l for l in capsys.readouterr().out.splitlines() if "eta0b=" in l)
    eta0b = float(line.split("eta0b=")[1].rstrip(")"))
    assert nuvex.eta10(0.0312) * 1e-10 == pytest.approx(eta0b, rel=2e-6)
    assert nuvex.Omegabh2_from_eta10(nuvex.eta10(0.0312)) == pytest.approx(0.0312, rel=1e-14)
    # eta scales as 1/G at fixed Omega_b h^2
    assert nuvex.eta10_per_Omegabh2(2 * 6.6743e-11) == pytest.approx(nuvex.eta10_per_Omegabh2() / 2, rel=1e-14)


# ---- the parameter table ----------------------------------------------------------------

KIND_MESSAGE = {"bool": "expects a bool", "int": "expects an int", "int or None": "expects an int or None",
                "number": "expects a number", "number or None": "expects a number or None",
                "str or None": "expects a string or None"}


def test_documented_kinds_are_the_solvers(data_dir):
    # a value of the wrong type makes the solver name the kind it expects, before any computation
    entries = nuvex.defaults()
    record_keys = [k for k in entries if k not in ("Omegabh2", "GN")]
    assert len(record_keys) == 82 and len(set(entries)) == 84
    for key in record_keys:
        kind = entries[key].kind
        wrong = 3 if kind == "str or None" else "x"
        with pytest.raises(ValueError) as info:
            _nuvex_c.run_bbn({key: wrong}, data_dir)
        assert str(info.value) == f"{key} {KIND_MESSAGE[kind]}", key
        assert entries[key].description, key
    with pytest.raises(ValueError, match="Omegabh2 requires a numeric value"):
        _nuvex_c.run_bbn({"Omegabh2": "x"}, data_dir)


def test_documented_defaults_are_the_solvers(data_dir, cache_dir):
    # setting any key to its documented default must leave every number unchanged
    base = c_run(data_dir, cache_dir=cache_dir, output_file=None)
    for key, entry in nuvex.defaults().items():
        if key in ("cache_dir", "output_file"):  # the package's own defaults
            continue
        res = c_run(data_dir, cache_dir=cache_dir, output_file=None, **{key: entry.default})
        assert res == base, key


# ---- keyword validation -----------------------------------------------------------------

@pytest.mark.parametrize("key, suggested", [
    ("tua_n", "'tau_n'"),
    ("omegabh2", "'Omegabh2'"),
    ("DeltaNEff", "'DeltaNeff'"),
    ("numerical_presicion", "'numerical_precision'"),
    ("custom_netwrok", "'custom_network'"),
])
def test_unknown_keys_are_named_with_suggestions(key, suggested):
    with pytest.raises(ValueError) as info:
        nuvex.run(**{key: 1})
    text = str(info.value)
    assert text.startswith(f"unknown parameter {key!r}; did you mean ") and suggested in text


def test_unknown_keys_without_a_close_match():
    with pytest.raises(ValueError) as info:
        nuvex.run(zzzzqqq=1)
    assert str(info.value) == "unknown parameter 'zzzzqqq'"


def test_rate_variation_keys(fast):
    with pytest.raises(ValueError) as info:
        nuvex.run(p_d_p__He3_gg=1.0)
    assert "no reaction named 'd_p__He3_gg'" in str(info.value) and "'p_d_p__He3_g'" in str(info.value)
    with pytest.raises(TypeError, match="delta_d_d__t_p expects a number, not str"):
        nuvex.run(delta_d_d__t_p="0.1")
    with pytest.raises(TypeError, match="p_d_d__t_p expects a number, not NoneType"):
        nuvex.run(p_d_d__t_p=None)
    # a variation of a valid reaction acts: a faster d(p,g)3He burns more deuterium
    base = nuvex.run(**fast)
    assert nuvex.run(**fast, p_d_p__He3_g=1.0).DoH < base.DoH


def test_wrong_values_are_refused_by_key(fast):
    # a wrong type is a TypeError naming the key and the type, before any computation
    with pytest.raises(TypeError, match="^tau_n expects a number, not str$"):
        nuvex.run(tau_n="880")
    with pytest.raises(TypeError, match="^amax expects an int or None, not bool$"):
        nuvex.run(amax=True)
    with pytest.raises(TypeError, match="^network expects a string or None, not int$"):
        nuvex.Solver(**fast).run(network=3)
    with pytest.raises(ValueError, match="^Omegabh2=0 is out of range: must be > 0$"):
        nuvex.run(**fast, Omegabh2=0)
    with pytest.raises(TypeError, match="^tau_n expects a number, not list$"):
        nuvex.run(**fast, tau_n=[880])


def test_data_and_cache_directories(monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    assert nuvex.cache_dir() == str(tmp_path / "xdg" / "nuvex")
    # a relative XDG_CACHE_HOME is ignored, as the XDG rule says
    monkeypatch.setenv("XDG_CACHE_HOME", "relative/dir")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    assert nuvex.cache_dir() == str(tmp_path / "home" / ".cache" / "nuvex")
    monkeypatch.delenv("XDG_CACHE_HOME")
    assert nuvex.cache_dir() == str(tmp_path / "home" / ".cache" / "nuvex")
    monkeypatch.setenv("NUVEX_DATA_DIR", str(tmp_path))
    with pytest.raises(FileNotFoundError, match="NUVEX_DATA_DIR=.* is not a NUVEX data directory"):
        nuvex.data_dir()
    with pytest.raises(FileNotFoundError):
        nuvex.run()


def test_explicit_data_dir(fast, data_dir, tmp_path):
    with pytest.raises(RuntimeError, match="nuclides.csv not found"):
        nuvex.run(**fast, data_dir=tmp_path)
    assert nuvex.run(**fast, data_dir=data_dir).Yp == nuvex.run(**fast).Yp


@pytest.mark.parametrize("network, exc, text", [
    ({"remove": ["Li7_p__a_a"]}, ValueError, "unknown custom_network part 'remove'; did you mean 'removed'?"),
    ({"removed": ["Li7_p__a_aa"]}, ValueError,
     "custom_network['removed'] names an unknown reaction 'Li7_p__a_aa'; did you mean 'Li7_p__a_a'"),
    ({2: []}, TypeError, "custom_network keys must be str"),
    ([], TypeError, "custom_network must be a dict or None"),
])
def test_custom_network_mistakes_are_named(fast, network, exc, text):
    with pytest.raises(exc) as info:
        nuvex.run(**fast, custom_network=network)
    assert str(info.value).startswith(text)


def test_custom_network_removal_acts(fast, data_dir):
    # without 7Li(p,a)4He less lithium-7 is destroyed; the package passes the network unchanged
    net = {"removed": ["Li7_p__a_a"]}
    res = nuvex.run(**fast, custom_network=net)
    assert res.abundances["Li7"] > nuvex.run(**fast).abundances["Li7"]
    assert res.to_dict() == _nuvex_c.run_bbn({**fast, "output_file": None}, data_dir, custom_network=net,
                                             show_progress=0)


def test_defaults_print_as_a_table():
    lines = repr(nuvex.defaults()).splitlines()
    assert len(lines) == 84
    tau = next(l for l in lines if l.startswith("tau_n "))
    assert tau.split()[:3] == ["tau_n", "878.4", "s"] and tau.endswith("neutron lifetime")
    starts = {l.index(l.split()[1], len(l.split()[0])) for l in lines}
    assert len(starts) == 1
