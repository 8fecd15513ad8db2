# Property tests of run_bbn with hypothesis: a random parameter dictionary (valid and invalid keys,
# values of every type, values in and out of range) ends either in a result that is physically
# sound or in a documented exception with a message; never a crash, a hang or an impossible number.
import math

import pytest

_nuvex_c = pytest.importorskip("_nuvex_c")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

# Mass numbers of the nuclides a result can hold (n, p and the light nuclei of both networks);
# others are looked up by their name's digits.
MASS = {"n": 1, "p": 1, "H2": 2, "H3": 3, "He3": 3, "He4": 4, "Li6": 6, "Li7": 7, "Be7": 7}


def mass_number(name):
    if name in MASS:
        return MASS[name]
    digits = "".join(ch for ch in name if ch.isdigit())
    return int(digits) if digits else None


def anything():
    return st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(allow_nan=True),
                     st.text(max_size=20))


def number(lo, hi):
    ints = (int(math.ceil(lo)), int(math.floor(hi)))
    return st.one_of(st.floats(lo, hi), st.integers(*ints)) if ints[0] <= ints[1] else st.floats(lo, hi)


# Keys whose changes keep the weak-rate tables cached (a new table costs seconds), each with
# plausible values, plus anything at all some of the time.
VALUES = {
    "Omegabh2": number(0.005, 0.05),
    "tau_n": number(870.0, 890.0),
    "DeltaNeff": number(-0.5, 1.0),
    "numerical_precision": st.sampled_from([1e-9, 1e-7, 1e-5, 1e-3, 1e-2, 0.02, 0.5, 1.0, 0.0, -1.0]),
    "network": st.sampled_from(["small", "large", "medium", ""]),
    "amax": st.one_of(st.none(), st.integers(-3, 20), st.sampled_from([4294967300, 2**31])),
    "rate_grid_npts": st.sampled_from([1, 50, 100, 300, 1000]),
    "h": number(0.5, 0.8),
    "fEDE": number(0.0, 0.3),
    "mc_rate_rescale_cap": st.one_of(st.none(), number(0.5, 100.0)),
    "output_time_evolution": st.booleans(),
    "output_n_points": st.integers(-1, 50),
    "p_d_p__He3_g": number(-3.0, 3.0),
    "delta_d_d__He3_n": number(-0.5, 0.5),
    "p_n_p__dg": number(-1.0, 1.0),
    "not_a_key": anything(),
    "decay_era": st.booleans(),
    "decay_n_points": st.integers(1, 20),
}


@st.composite
def params(draw):
    keys = draw(st.lists(st.sampled_from(sorted(VALUES)), max_size=5, unique=True))
    p = {}
    for k in keys:
        wild = draw(st.integers(0, 9)) == 0
        p[k] = draw(anything() if wild else VALUES[k])
    return p


def check_sound(res):
    for key in ("YPCMB", "YPBBN"):
        assert 0.0 <= res[key] <= 1.0, (key, res[key])
    for key in ("DoH", "He3oH", "He3oHe4", "Li7oH", "Neff"):
        assert math.isfinite(res[key]), (key, res[key])
    Y = res["Y_final"]
    scale = max(abs(v) for v in Y.values())
    assert all(math.isfinite(v) and v >= -1e-12 * scale - 1e-20 for v in Y.values()), Y
    known = [(mass_number(k), v) for k, v in Y.items()]
    if all(a is not None for a, _ in known):
        assert abs(sum(a * v for a, v in known) - 1.0) < 1e-2


@pytest.fixture(scope="module")
def cache_dir(tmp_path_factory):
    return str(tmp_path_factory.mktemp("property_cache"))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                 HealthCheck.too_slow])
@given(p=params())
def test_random_parameters_give_a_sound_result_or_a_documented_error(p, data_dir, cache_dir):
    base = {"cache_dir": cache_dir, "thermal_corrections": False, "show_progress": False}
    base.update(p)
    try:
        res = _nuvex_c.run_bbn(base, data_dir, show_progress=0)
    except (TypeError, ValueError, RuntimeError) as e:
        assert str(e), "an exception without a message"
        return
    check_sound(res)


@settings(max_examples=40, deadline=None)
@given(net=st.one_of(
    st.dictionaries(st.sampled_from(["removed", "replaced", "added", "remove", "extra"]),
                    st.one_of(st.none(), st.lists(st.sampled_from(["d_a__Li6_g", "n_p__d_g", "x__y", ""]),
                                                  max_size=2),
                              st.dictionaries(st.sampled_from(["d_p__He3_g", "p_Li7__a_a", "bad", "a" * 70]),
                                              st.sampled_from(["0.001 1 1.1\n10 2 1.1\n", "1 2\n", "x", "",
                                                               "0.01 -1 1\n1 1 1\n", "0.01 1 0\n1 1 1\n"]),
                                              max_size=2)),
                    max_size=3),
    anything()))
def test_random_custom_networks_give_a_sound_result_or_a_documented_error(net, data_dir, tmp_path_factory):
    p = {"cache_dir": str(tmp_path_factory.getbasetemp() / "property_cache"), "thermal_corrections": False}
    try:
        res = _nuvex_c.run_bbn(p, data_dir, custom_network=net, show_progress=0)
    except (TypeError, ValueError, RuntimeError) as e:
        assert str(e)
        return
    check_sound(res)
