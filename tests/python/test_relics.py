# Thermal relics from Python: the relic dictionary and its checks, sessions against fresh runs, and
# relic_bounds (Neff towards its standard value with the mass, chi^2 bookkeeping, the 95% mass).
import math

import numpy as np
import pytest

nuvex = pytest.importorskip("nuvex")


@pytest.fixture(scope="module")
def fast(cache_dir):
    return dict(show_progress=False, cache_dir=cache_dir)


MAJORANA = dict(mass_MeV=0.5, g=2, spin="fermion", couples_to="electrons")


def test_relic_dict_is_the_flat_keys(fast):
    a = nuvex.run(relic=MAJORANA, **fast)
    b = nuvex.run(relic_mass_MeV=0.5, relic_g=2, relic_spin="fermion", relic_couples_to="electrons", **fast)
    assert a.to_dict() == b.to_dict()
    # a 0.5 MeV Majorana fermion heats the photons after neutrino decoupling: Neff falls, and the
    # larger baryon-to-photon ratio during BBN lowers D/H
    sm = nuvex.run(**fast)
    assert a.Neff < sm.Neff - 0.1 and a.DoH < sm.DoH
    with nuvex.Solver(**fast) as s:  # sessions rebuild what the mass changes, bit for bit
        assert s.run(relic=MAJORANA).to_dict() == a.to_dict()
        assert s.run().to_dict() == sm.to_dict()
        assert s.run(relic_mass_MeV=0.5, relic_g=2, relic_spin="fermion").to_dict() == a.to_dict()


@pytest.mark.parametrize("relic, error, text", [
    ({"mass": 1.0}, ValueError, "unknown relic key 'mass'; did you mean 'mass_MeV'"),
    ({"g": 2}, ValueError, "relic needs 'mass_MeV'"),
    (1.0, TypeError, "relic expects a dict"),
    ({"mass_MeV": 1.0, "spin": "scalar"}, ValueError, "relic_spin=scalar is not accepted"),
    ({"mass_MeV": 1.0, "couples_to": "photons"}, ValueError, "relic_couples_to=photons"),
    ({"mass_MeV": -1.0}, ValueError, "relic_mass_MeV=-1 is out of range"),
    ({"mass_MeV": 1.0, "g": 0}, ValueError, "relic_g=0 is out of range"),
])
def test_bad_relics_are_refused_naming_the_key(fast, relic, error, text):
    with pytest.raises(error, match=None) as info:
        nuvex.run(relic=relic, **fast)
    assert text in str(info.value)


def test_relic_contradicting_flat_key_is_refused(fast):
    with pytest.raises(ValueError, match="contradicts relic_g"):
        nuvex.run(relic={"mass_MeV": 1.0, "g": 2}, relic_g=4, **fast)
    with pytest.raises(ValueError, match="incomplete_decoupling"):
        nuvex.run(relic={"mass_MeV": 1.0}, incomplete_decoupling=False, spectral_distortions=False, **fast)


def test_relic_bounds_of_a_dirac_fermion(fast):
    # Dirac fermion coupled to electrons: light masses change Yp and D/H far beyond their errors,
    # heavy ones leave the standard model (Delta chi^2 -> 0)
    b = nuvex.relic_bounds([0.1, 0.5, 2.0, 20.0], g=4, spin="fermion", jobs=1, progress=False, **fast)
    assert list(b.masses_MeV) == [0.1, 0.5, 2.0, 20.0]
    # (four states still heat the photons a little at 20 MeV: Neff 3.003)
    assert np.all(np.diff(b.Neff) > 0) and abs(b.Neff[-1] - b.standard["Neff"]) < 0.06
    assert b.excluded[0] and not b.excluded[-1]
    assert abs(b.delta_chi2[-1]) < 1.5
    assert 2.0 < b.excluded_below_MeV < 20.0
    # chi^2 is the sum over the default observations
    obs = nuvex.observations.normalize(nuvex.observations.DEFAULT)
    chi2 = sum((getattr_q(b, o.quantity)[1] - o.value) ** 2 / o.sigma ** 2 for o in obs)
    assert b.chi2[1] == pytest.approx(chi2, rel=1e-12)
    # a Neff constraint adds its own term
    with_neff = nuvex.relic_bounds([0.5], g=4, spin="fermion", neff=(3.0, 0.2), jobs=1, progress=False, **fast)
    assert with_neff.chi2[0] == pytest.approx(b.chi2[1] + ((b.Neff[1] - 3.0) / 0.2) ** 2, rel=1e-12)
    assert "excluded at 95% below" in repr(b)


def getattr_q(b, name):
    return {"DoH": b.DoH, "Yp": b.Yp, "Neff": b.Neff}[name]


def test_relic_bounds_checks_its_arguments(fast):
    with pytest.raises(ValueError, match="masses_MeV must be positive"):
        nuvex.relic_bounds([0.1, -1.0], **fast)
    with pytest.raises(ValueError, match="neff must be"):
        nuvex.relic_bounds([0.1], neff=3.0, **fast)
    with pytest.raises(ValueError, match="set by relic_bounds"):
        nuvex.relic_bounds([0.1], relic_g=2, **fast)
    with pytest.raises(ValueError, match="theory_sigma names 'Neff'"):
        nuvex.relic_bounds([0.1], theory_sigma={"Neff": 0.01}, **fast)
    assert math.isnan(nuvex.RelicBounds(np.array([1.0]), {"Neff": np.array([3.0]), "Yp": np.array([0.25]),
                                                         "DoH": np.array([2.5e-5])}, np.array([1.0]),
                                        {"Neff": 3.0, "Yp": 0.25, "DoH": 2.5e-5}, 1.0,
                                        {"g": 1.0, "spin": "boson", "couples_to": "electrons"}, []).excluded_below_MeV)
