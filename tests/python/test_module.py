# The extension module's argument handling: every documented exception with its text, bad
# dictionaries of all kinds, and the result shape of a run.
import math

import pytest

_nuvex_c = pytest.importorskip("_nuvex_c")


def run(params, data_dir, **kw):
    return _nuvex_c.run_bbn(params, data_dir, **kw)


def test_module_shape():
    assert _nuvex_c.__name__ == "_nuvex_c"
    assert _nuvex_c.run_bbn.__doc__.startswith(
        "run_bbn(params: dict, data_dir: str, custom_network: dict|None = None) -> dict")
    assert "xoshiro256**" in _nuvex_c.run_mc.__doc__


@pytest.mark.parametrize("params, exc, text", [
    ([], TypeError, "params must be a dict"),
    ({1: 2}, TypeError, "params keys must be str"),
    ({"nope": 1}, ValueError, "unknown parameter key: nope"),
    ({"tau_n": b"880"}, TypeError, "unsupported parameter value type bytes (expected bool/int/float/str/None)"),
    ({"tau_n": [1]}, TypeError, "unsupported parameter value type list (expected bool/int/float/str/None)"),
    ({"tau_n": True}, ValueError, "tau_n expects a number"),
    ({"amax": True}, ValueError, "amax expects an int or None"),
    ({"verbose": 1.5}, ValueError, "verbose expects a bool"),
    ({"network": 3}, ValueError, "network expects a string or None"),
    ({"Omegabh2": float("nan")}, ValueError, "Omegabh2 requires a numeric value"),
    ({"tau_n": float("nan")}, ValueError, "tau_n=nan is out of range: must be > 0"),
    ({"tau_n": float("inf")}, ValueError, "tau_n=inf is out of range: must be finite"),
    ({"h": -float("inf")}, ValueError, "h=-inf is out of range: must be > 0"),
    ({"p_d_p__He3_g": float("nan")}, ValueError, "p_d_p__He3_g=nan is out of range: must be finite"),
    ({"amax": 0}, ValueError, "amax must be None (-1) or a positive integer"),
    ({"fEDE": 1}, ValueError, "fEDE=1 is out of range: must satisfy 0 <= fEDE < 1"),
    ({"tau_n": 2 ** 80}, ValueError, "tau_n=1208925819614629174706176 is out of range: must fit in a 64-bit integer"),
    ({"network": "a\0b"}, ValueError, "parameter string contains an embedded null character"),
])
def test_rejected_parameters(data_dir, params, exc, text):
    with pytest.raises(exc) as info:
        run(params, data_dir)
    if text is not None:
        assert str(info.value) == text


def test_huge_and_long_dictionaries(data_dir):
    params = {f"p_reaction_{i}": 1.0 for i in range(10000)}
    params["tau_n"] = "not a number"
    with pytest.raises(ValueError, match="tau_n expects a number"):
        run(params, data_dir)
    long_key = "k" * 1_000_000
    with pytest.raises(ValueError) as info:
        run({long_key: 1}, data_dir)
    assert str(info.value) == "unknown parameter key: " + long_key
    with pytest.raises(ValueError, match="amax"):
        run({"output_file": "x" * 1_000_000, "amax": -5}, data_dir)


def test_bad_data_dir(scratch):
    with pytest.raises(RuntimeError) as info:
        run({}, str(scratch))
    assert str(info.value) == \
        "nvx_config_init_defaults failed: nuclides.csv not found (data_dir misconfigured?)"


def test_wrong_argument_types(data_dir):
    with pytest.raises(TypeError):
        _nuvex_c.run_bbn({}, 42)
    with pytest.raises(TypeError):
        _nuvex_c.run_bbn({})
    with pytest.raises(TypeError):
        _nuvex_c.run_bbn({}, data_dir, show_progress="yes")


@pytest.mark.parametrize("kw, exc, text", [
    (dict(extra_rho_T=[1.0, 2.0, 3.0, 4.0]), ValueError,
     "extra_rho_T and extra_rho_val must be provided together"),
    (dict(extra_rho_val=[1.0, 2.0, 3.0, 4.0], extra_rho_T=None), ValueError,
     "extra_rho_T and extra_rho_val must be provided together"),
    (dict(extra_rho_T=[1.0, 2.0, 3.0], extra_rho_val=[1.0, 2.0, 3.0]), ValueError,
     "extra_rho_T and extra_rho_val must have equal length >= 4"),
    (dict(extra_rho_T=[1.0] * 5, extra_rho_val=[1.0] * 4), ValueError,
     "extra_rho_T and extra_rho_val must have equal length >= 4"),
    (dict(extra_rho_T=5, extra_rho_val=[1.0] * 4), TypeError, "expected a sequence of float"),
    (dict(extra_rho_T=[1, 2, 3, "x"], extra_rho_val=[1.0] * 4), TypeError, None),
])
def test_extra_energy_density_arguments(data_dir, kw, exc, text):
    with pytest.raises(exc) as info:
        run({}, data_dir, **kw)
    if text is not None:
        assert str(info.value) == text


@pytest.mark.parametrize("net, exc, text", [
    ([], TypeError, "custom_network must be a dict or None"),
    ({"removed": "d_p__He3_g"}, TypeError, "custom_network['removed'] must be a sequence of str"),
    ({"removed": ["a", 3]}, TypeError, "custom_network['removed'] must be a sequence of str"),
    ({"replaced": ["x"]}, TypeError, "custom_network['replaced'] must be a dict"),
    ({"added": {"x": 3}}, TypeError, "custom_network['added'] must map str -> str"),
    ({"added": {3: "1 2 3"}}, TypeError, "custom_network['added'] must map str -> str"),
    ({"added": {"p_Li7__a_a": "# only\n  # comments\n\n"}}, ValueError,
     "custom_network rate table has no data rows"),
    ({"added": {"p_Li7__a_a": "abc def\n1.0\n"}}, ValueError,
     "custom_network rate table of 'p_Li7__a_a', line 1: cannot parse the T9 'abc' as a finite number"),
    ({"added": {"p_Li7__a_a": "0.1 2\n1.0\n"}}, ValueError,
     "custom_network rate table of 'p_Li7__a_a', line 2: missing the rate"),
])
def test_custom_network_errors(data_dir, net, exc, text):
    with pytest.raises(exc) as info:
        run({}, data_dir, custom_network=net)
    assert str(info.value) == text


@pytest.mark.parametrize("args, kw, exc, text", [
    ((), dict(quantities="DoH"), TypeError, "quantities must be a sequence of str"),
    ((), dict(quantities=["DoH", 3]), TypeError, "quantities must be a sequence of str"),
    ((), dict(quantities=["DoH"], prev_centrals=[1.0, 2.0]), ValueError,
     "prev_centrals length must match quantities"),
    ((), dict(quantities=["DoH"], prev_centrals=[1.0], prev_values=5), TypeError,
     "prev_values must be a sequence"),
    ((), dict(quantities=["DoH"], prev_centrals=[1.0], prev_values=[[1.0], [2.0]]), ValueError,
     "prev_values length must match quantities"),
    ((), dict(quantities=["DoH", "YPBBN"], prev_centrals=[1.0, 2.0], prev_values=[[1.0], [2.0, 3.0]]),
     ValueError, "prev_values entries must all have the same length"),
    ((), dict(quantities=["DoH"], params={"x": b"1"}), TypeError,
     "unsupported parameter value type bytes (expected bool/int/float/str/None)"),
    ((), dict(quantities=["DoH"], params=[]), TypeError, "params must be a dict"),
    ((), dict(quantities=["DoH"], params={2: 1}), TypeError, "params keys must be str"),
    ((), dict(quantities=["DoH"], custom_network=5), TypeError, "custom_network must be a dict or None"),
])
def test_run_mc_argument_errors(data_dir, args, kw, exc, text):
    params = kw.pop("params", {})
    with pytest.raises(exc) as info:
        _nuvex_c.run_mc(params, data_dir, 2, progress=0, **kw)
    assert str(info.value) == text


def test_run_mc_bad_data_dir_is_runtime_error(scratch):
    with pytest.raises(RuntimeError, match="^nvx_mc_uncertainty failed: "):
        _nuvex_c.run_mc({}, str(scratch), 2, ["DoH"], progress=0)
