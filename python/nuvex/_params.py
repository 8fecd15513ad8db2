# The parameter keys a run accepts: kind, default, unit and a one-line meaning of each, the checks of
# key names (with suggestions for typos) and the defaults the Python package changes.
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Iterable, Mapping


@dataclass(frozen=True)
class ParamSpec:
    """One parameter key: its value kind, default, unit ("" when dimensionless) and meaning."""

    name: str
    kind: str
    default: Any
    unit: str
    description: str


def _p(name: str, kind: str, default: Any, unit: str, description: str) -> ParamSpec:
    return ParamSpec(name, kind, default, unit, description)


NAN = math.nan

# In the order of the solver's parameter record.
_TABLE = (
    _p("verbose", "bool", False, "", "print the banner, option lines, network summary and stage log on standard output"),
    _p("show_progress", "bool", True, "", "progress bars on standard error while the solver builds its cached tables"),
    _p("debug", "bool", False, "", "carried for host programs; no stage reads it"),
    _p("numerical_precision", "number", 1e-7, "", "relative tolerance of the nuclear network integration"),
    _p("numba_installed", "bool", True, "", "carried for compatibility; no stage reads it"),
    _p("strict_params", "bool", False, "", "carried for compatibility; no stage reads it"),
    _p("incomplete_decoupling", "bool", True, "",
       "neutrino history from the tabulated decoupling runs (False: instantaneous decoupling)"),
    _p("QED_corrections", "bool", True, "", "QED corrections of the electron-photon plasma"),
    _p("n_electron_table", "int", 2000, "", "points of the electron-positron thermodynamics table"),
    _p("recompute_electron_thermo", "bool", False, "", "rebuild the cached electron-positron table"),
    _p("recompute_qed_corrections", "bool", False, "", "rebuild the QED pressure-correction tables"),
    _p("spectral_distortions", "bool", True, "", "neutrino spectral distortions in the weak n<->p rates"),
    _p("analytic_distortions", "bool", False, "",
       "analytic distortion shapes (y_SZ, y_gray) instead of the tabulated spectra; needs instantaneous decoupling"),
    _p("y_SZ", "number", 0.0, "", "amplitude of the Compton-y (Sunyaev-Zel'dovich-like) neutrino spectral distortion"),
    _p("y_gray", "number", 0.0, "",
       "grey-body distortion: occupation F(E/(h T_nu))/h^3, h = 1 + y_gray (energy per neutrino x h at a fixed "
       "number density; not a shift of T_nu, whose effect on Yp has the opposite sign)"),
    _p("solan_file", "str or None", None, "path", "neutrino decoupling history table (None: from solan_file_prefix)"),
    _p("solan_spectral_file", "str or None", None, "path", "neutrino spectrum table of the decoupling run"),
    _p("solan_grid_file", "str or None", None, "path", "momentum grid of the neutrino spectrum table"),
    _p("solan_file_prefix", "str or None", "SOLANNUVEX", "", "file-name prefix of the decoupling tables in the data directory"),
    _p("external_scale_factor", "bool", False, "", "take the scale factor from the decoupling table"),
    _p("custom_background", "str or None", None, "path",
       "table of T (MeV), t (s), a that replaces the computed background"),
    _p("T_start_cosmo_MeV", "number", 40.0, "MeV", "photon temperature at which the background starts"),
    _p("T_end_MeV", "number", 0.001, "MeV", "photon temperature at which the integration ends"),
    _p("sampling_temperature_per_decade", "int", 600, "1/decade", "background samples per decade of temperature"),
    _p("radiative_corrections", "bool", True, "", "zero-temperature radiative corrections of the weak n<->p rates"),
    _p("finite_mass_corrections", "bool", True, "", "finite nucleon-mass corrections of the weak n<->p rates"),
    _p("thermal_corrections", "bool", True, "",
       "finite-temperature radiative corrections of the weak rates (a cold first run builds their table)"),
    _p("weak_rate_cache", "bool", True, "", "read the weak-rate tables from the cache when it holds them"),
    _p("save_nTOp", "bool", True, "", "write the weak-rate table to the cache"),
    _p("sampling_nTOp_per_decade", "int", 80, "1/decade", "weak-rate table points per decade of temperature"),
    _p("save_nTOp_thermal", "bool", True, "", "write the thermal-correction table to the cache"),
    _p("sampling_nTOp_thermal_per_decade", "int", 20, "1/decade",
       "thermal-correction table points per decade of temperature"),
    _p("tau_n_normalization", "bool", True, "", "normalise the weak n<->p rates to the measured neutron lifetime tau_n"),
    _p("tau_n", "number", 878.4, "s", "neutron lifetime"),
    _p("std_tau_n", "number", 0.5, "s", "standard deviation of tau_n drawn by the Monte Carlo"),
    _p("vegas_n_eval", "int", 20000, "", "integrand evaluations per VEGAS iteration of the thermal corrections"),
    _p("vegas_n_itn", "int", 20, "", "VEGAS iterations of the thermal corrections"),
    _p("epsrel_thermal", "number", 0.01, "", "relative tolerance of the thermal corrections (validated, not used)"),
    _p("output_time_evolution", "bool", False, "",
       "record the time evolution and return it as Result.evolution (also written to output_file)"),
    _p("output_rates_time_evolution", "bool", False, "", "add the forward nuclear rates to the evolution"),
    _p("output_n_points", "int", 500, "", "points of the sampled evolution and of the background file"),
    _p("output_file", "str or None", None, "path",
       "tab-separated evolution file (the package writes none unless given)"),
    _p("output_final_result", "bool", False, "", "write the final abundances to output_final_file"),
    _p("output_final_file", "str or None", "results/output_final.dat", "path", "final-abundance file"),
    _p("output_background_evolution", "bool", False, "", "write the background evolution to output_background_file"),
    _p("output_background_file", "str or None", "results/output_background.tsv", "path", "background evolution file"),
    _p("output_mc_samples", "bool", False, "", "carried for host programs; no stage reads it"),
    _p("output_mc_covariance", "bool", False, "", "carried for host programs; no stage reads it"),
    _p("output_mc_correlation", "bool", False, "", "carried for host programs; no stage reads it"),
    _p("output_mc_file_prefix", "str or None", "results/output_mc", "path", "carried for host programs; no stage reads it"),
    _p("rate_grid_npts", "int", 1000, "", "points of the nuclear-rate temperature grid"),
    _p("rate_grid_T9_min", "number", 0.001, "1e9 K", "lower end of the nuclear-rate grid"),
    _p("rate_grid_T9_max", "number", 10.0, "1e9 K", "upper end of the nuclear-rate grid"),
    _p("network", "str or None", "small", "", "reaction network: 'small' (15 reactions) or 'large' (about 220)"),
    _p("rate_set", "str or None", "nuvex", "",
       "nuclear rate set: 'nuvex' (the network's own tables), 'parthenope', 'primat' or a set of user_nuclear_dir "
       "(nuvex.rate_sets() lists them)"),
    _p("amax", "int or None", None, "", "largest mass number kept in the network (None: all)"),
    _p("atol_large_LT", "number", 1e-26, "", "absolute tolerance of the low-temperature era"),
    _p("rescale_nuclear_rates", "bool", False, "", "carried for compatibility; no stage reads it"),
    _p("mc_rate_rescale_cap", "number or None", 30.0, "",
       "rate multipliers are clamped to [1/cap, cap] (None: no clamp)"),
    _p("nuclear_qed_corrections", "bool", True, "", "QED corrections of the nuclear rates"),
    _p("user_nuclear_dir", "str or None", None, "path", "directory searched before the data directory for nuclear files"),
    _p("cache_dir", "str or None", None, "path",
       "directory of the cached tables (None: $XDG_CACHE_HOME/nuvex or ~/.cache/nuvex)"),
    _p("Omegach2", "number", 0.11933, "", "cold dark matter density Omega_c h^2"),
    _p("h", "number", 0.6766, "", "reduced Hubble constant H0 / (100 km/s/Mpc)"),
    _p("DeltaNeff", "number", 0.0, "", "extra effective number of relativistic species"),
    _p("munuOverTnu", "number", 0.0, "", "neutrino degeneracy mu/T of every flavour without its own value"),
    _p("munuOverTnu_e", "number or None", None, "", "electron-neutrino degeneracy mu/T (None: munuOverTnu)"),
    _p("munuOverTnu_mu", "number or None", None, "", "muon-neutrino degeneracy mu/T (None: munuOverTnu)"),
    _p("munuOverTnu_tau", "number or None", None, "", "tau-neutrino degeneracy mu/T (None: munuOverTnu)"),
    _p("decay_reverse_rates", "bool", False, "", "reverse rates of the decays in the rate tabulation"),
    _p("decay_era", "bool", False, "", "follow the radioactive decays after the network to t_decay_end"),
    _p("t_decay_end", "number", 3.156e16, "s", "end time of the decay era"),
    _p("decay_n_points", "int", 200, "", "output points of the decay era"),
    _p("output_decay_evolution", "bool", False, "", "write the decay-era evolution to output_decay_file"),
    _p("output_decay_file", "str or None", "results/output_decay_evolution.tsv", "path", "decay-era file"),
    _p("fEDE", "number", 0.0, "", "early dark energy fraction at its critical redshift"),
    _p("zcEDE", "number", 1e8, "", "critical redshift of the early dark energy"),
    _p("wnEDE", "number", 1.0, "", "equation-of-state index n of the early dark energy, w = (n-1)/(n+1)"),
    _p("relic_mass_MeV", "number or None", None, "MeV",
       "mass of a thermal relic in equilibrium with electrons or neutrinos (None: no relic)"),
    _p("relic_g", "number", 1.0, "", "internal degrees of freedom of the relic (real scalar 1, Majorana 2, Dirac 4)"),
    _p("relic_spin", "str or None", "boson", "", "statistics of the relic: 'boson' or 'fermion'"),
    _p("relic_couples_to", "str or None", "electrons", "",
       "sector the relic stays in equilibrium with: 'electrons' (photon plasma) or 'neutrinos'"),
    _p("Omegabh2", "number", 0.02242, "", "baryon density Omega_b h^2 (eta_10 = 273.75 Omega_b h^2)"),
    _p("GN", "number", 6.6743e-11, "m^3 kg^-1 s^-2", "Newton's constant"),
)

PARAMS: dict[str, ParamSpec] = {p.name: p for p in _TABLE}
RECORD_KEYS = tuple(p.name for p in _TABLE[:82])

# Keyword arguments of the run functions that are not parameter keys.
CALL_KEYWORDS = ("custom_network", "extra_rho_T", "extra_rho_val", "data_dir")

# The relic given as one dictionary: its keys and the flat parameter each one sets.
RELIC_FIELDS = {"mass_MeV": "relic_mass_MeV", "g": "relic_g", "spin": "relic_spin", "couples_to": "relic_couples_to"}


def expand_relic(params: Mapping[str, Any]) -> dict[str, Any]:
    """``relic=dict(mass_MeV=..., g=..., spin=..., couples_to=...)`` as the flat ``relic_*`` keys.

    ``relic=None`` means no relic. A relic dictionary needs ``mass_MeV``; the flat keys may be given
    instead, but not both for the same quantity with different values.
    """
    out = dict(params)
    if "relic" not in out:
        return out
    relic = out.pop("relic")
    if relic is None:
        if out.get("relic_mass_MeV") is not None:
            raise ValueError("relic=None contradicts relic_mass_MeV; give one of them")
        out["relic_mass_MeV"] = None
        return out
    if not isinstance(relic, Mapping):
        raise TypeError(f"relic expects a dict with keys {', '.join(RELIC_FIELDS)}, not {type(relic).__name__}")
    for key, value in relic.items():
        if key not in RELIC_FIELDS:
            raise _unknown("relic key", str(key), RELIC_FIELDS)
        flat = RELIC_FIELDS[key]
        if flat in out and out[flat] != value:
            raise ValueError(f"relic[{key!r}]={value!r} contradicts {flat}={out[flat]!r}; give one of them")
        out[flat] = value
    if relic.get("mass_MeV") is None:
        raise ValueError("relic needs 'mass_MeV' (the relic's mass in MeV)")
    return out

# Rate variations: the key is the prefix followed by a reaction name.
VARIATION_PREFIXES = {
    "p_": "rate multiplied by u**p, u being the 1-sigma uncertainty factor of its table (p in sigmas)",
    "delta_": "added to that multiplier: rate x (u**p + delta)",
}


class ParamTable(dict):
    """Parameter key -> :class:`ParamSpec`; printed as an aligned table."""

    def __repr__(self) -> str:
        rows = [(k, repr(p.default), p.unit, p.description) for k, p in self.items()]
        w = [max(len(r[i]) for r in rows) for i in range(3)]
        return "\n".join(f"{a:<{w[0]}}  {b:<{w[1]}}  {c:<{w[2]}}  {d}" for a, b, c, d in rows)


def defaults() -> dict[str, ParamSpec]:
    """The parameter keys of a run with their defaults as the package applies them.

    Returns a dictionary from key to :class:`ParamSpec` (``kind``, ``default``, ``unit``,
    ``description``), in the order of the solver's parameter record, followed by ``Omegabh2`` and
    ``GN``. Besides these keys, ``p_<reaction>`` and ``delta_<reaction>`` vary the rate of one
    reaction: the rate is multiplied by ``u**p + delta``, ``u`` being the 1-sigma uncertainty factor
    of the reaction's rate table.

    Two defaults differ from the bare solver's: ``cache_dir`` (None here means the per-user cache
    directory) and ``output_file`` (no evolution file is written unless a path is given).
    """
    return ParamTable(PARAMS)


def suggestions(name: str, candidates: Iterable[str], n: int = 3) -> list[str]:
    """The closest valid names to a misspelt one, best first: the solver library's "did you mean"
    (edit distance ignoring case, within a third of the name's length), shared with the CLI and INI."""
    from ._ext import ext

    return ext.suggest(str(name), [str(c) for c in candidates], n)


def _unknown(what: str, name: str, candidates: Iterable[str]) -> ValueError:
    best = suggestions(name, candidates)
    hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
    return ValueError(f"unknown {what} {name!r}{hint}")


def check_keys(params: Mapping[str, Any], reactions: frozenset[str] | None, extra_ok: Iterable[str] = ()) -> None:
    """Refuse unknown keys (naming them, with the closest valid ones) and non-numeric variations.

    ``reactions`` is the set of reaction names that ``p_``/``delta_`` keys may name, or None when it
    cannot be known (a user nuclear directory), in which case any name is accepted.
    """
    allowed = set(extra_ok)
    for key, value in params.items():
        if key in PARAMS or key in allowed:
            continue
        if not isinstance(key, str):
            raise TypeError(f"parameter names must be str, not {type(key).__name__}")
        if key in CALL_KEYWORDS:
            raise ValueError(f"{key!r} is not accepted here (it is an argument of nuvex.run and nuvex.Solver)")
        prefix = next((p for p in VARIATION_PREFIXES if key.startswith(p)), None)
        if prefix is None:
            pool = list(PARAMS) + list(allowed) + list(CALL_KEYWORDS) + [p + "<reaction>" for p in VARIATION_PREFIXES]
            raise _unknown("parameter", key, pool)
        reaction = key[len(prefix):]
        if reactions is not None and reaction not in reactions:
            best = suggestions(reaction, reactions)
            hint = f"; did you mean {', '.join(repr(prefix + b) for b in best)}?" if best else ""
            raise ValueError(f"unknown parameter {key!r}: no reaction named {reaction!r}{hint}")
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{key} expects a number, not {type(value).__name__}")


# The Python types each parameter kind accepts, as the solver does (an int is a bool, a number, or a
# whole-valued float is not an int); None where the kind says "or None".
_ACCEPTS = {
    "bool": (bool, int),
    "int": (int,),
    "int or None": (int, type(None)),
    "number": (int, float),
    "number or None": (int, float, type(None)),
    "str or None": (str, type(None)),
}
_EXPECTS = {"bool": "a bool", "int": "an int", "int or None": "an int or None", "number": "a number",
            "number or None": "a number or None", "str or None": "a string or None"}


def check_types(params: Mapping[str, Any]) -> None:
    """TypeError naming the key for a value of the wrong type (bools are not numbers)."""
    for key, value in params.items():
        param = PARAMS.get(key)
        if param is None:
            continue
        kind = param.kind
        ok = isinstance(value, _ACCEPTS[kind])
        if isinstance(value, bool) and kind.startswith(("number", "int")) and kind != "int":
            ok = False  # the solver refuses True as a number or an int-or-None
        if not ok:
            raise TypeError(f"{key} expects {_EXPECTS[kind]}, not {type(value).__name__}")


_NETWORK_PARTS = ("removed", "replaced", "added")


def check_custom_network(network: Any, reactions: frozenset[str] | None) -> None:
    """Refuse unknown parts of a custom network and removals of reactions that do not exist.

    ``reactions``: the catalogue's reaction names, or None when a user nuclear directory may define
    others (then removed names are not checked).
    """
    if not isinstance(network, Mapping):
        return  # the extension names the expected type
    for part in network:
        if part not in _NETWORK_PARTS:
            raise _unknown("custom_network part", part, _NETWORK_PARTS) if isinstance(part, str) else \
                TypeError("custom_network keys must be str")
    removed = network.get("removed")
    if reactions is None or removed is None or isinstance(removed, str) or not isinstance(removed, Iterable):
        return
    for name in removed:
        if isinstance(name, str) and name not in reactions:
            best = suggestions(name, reactions)
            hint = f"; did you mean {', '.join(repr(b) for b in best)}?" if best else ""
            raise ValueError(f"custom_network['removed'] names an unknown reaction {name!r}{hint}")
