#!/usr/bin/python3
"""Helium-4 budget: switches the weak-rate and plasma corrections on one at a time and prints
Yp (nucleon fraction 4 Y(He4)), the helium mass fraction, D/H and Neff after each step, with the
published size of each correction where one is known; then the effect of incomplete neutrino
decoupling measured with Born rates and with each correction of the rates added, side by side.

Usage: scripts/yp_budget.py [DATA_DIR] [--cache DIR] [--set KEY=VALUE ...] [--thermal-tables DIR]
                           [--no-oscillation-tables DIR]
  --thermal-tables DIR: also run the decoupling step with tables of the energy-transfer method
  (nuvex_solan --method thermal --out DIR), which carry no spectral distortion.
  --no-oscillation-tables DIR: the same with momentum-resolved tables without flavour
  oscillations (nuvex_solan --oscillations off --out DIR); the side-by-side decoupling rows are
  then also given for them.
The QED step is also split into its two parts by a tabulated extra energy density equal to the
QED term of the plasma energy density, rho_QED(T) = T P'(T) - P(T) (O(e^2) + O(e^3) pressure of
the plasma, the formulas of src/plasma/qed_pressure.cpp): QED on with -rho_QED added to the
Friedmann density keeps only the entropy (temperature) part; QED off with +rho_QED keeps only the
density part.
Needs the built extension (make build). The first call computes the thermal-correction tables
(about a minute per neutrino history); later calls reuse the cache directory.
"""
import argparse
import math
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "build" / "python"))
import _nuvex_c  # noqa: E402

MATCHED = {"Omegabh2": 0.0224, "tau_n": 878.4, "network": "small", "show_progress": False}

# Each step adds its keys to the previous ones; the last field is the published size of the step
# (the papers of docs/physics/yp_budget.rst), or what is known of it.
STEPS = [
    ("Born rates, instantaneous decoupling, no QED",
     dict(radiative_corrections=False, finite_mass_corrections=False, thermal_corrections=False,
          QED_corrections=False, incomplete_decoupling=False, spectral_distortions=False),
     "reference"),
    ("+ zero-temperature radiative corrections", dict(radiative_corrections=True),
     "no number quoted here (Dicus et al. 1982; Lopez & Turner 1999)"),
    ("+ finite nucleon mass", dict(finite_mass_corrections=True),
     "dY/Y = 0.47-0.50 % (Lopez, Turner & Gyuk 1997); +0.0012 (Seckel 1993)"),
    ("+ finite-temperature radiative corrections", dict(thermal_corrections=True),
     "no number quoted here (Brown & Sawyer 2001)"),
    ("+ QED plasma", dict(QED_corrections=True),
     "no number quoted here (Heckler 1994; Mangano et al. 2002)"),
    ("+ incomplete decoupling (temperatures, heating)", dict(incomplete_decoupling=True),
     "with the next row: +2.1e-4 with oscillations (Mangano et al. 2005)"),
    ("+ spectral distortions of nu_e", dict(spectral_distortions=True),
     "(+1.3e-4 without oscillations, Boltzmann statistics: Dolgov & Fukugita 1992)"),
]
# Rates of the side-by-side decoupling rows: each adds its keys to the previous ones (QED plasma on).
RATES = [
    ("Born rates", dict(radiative_corrections=False, finite_mass_corrections=False, thermal_corrections=False)),
    ("+ zero-temperature radiative", dict(radiative_corrections=True)),
    ("+ finite nucleon mass", dict(finite_mass_corrections=True)),
    ("+ finite-temperature radiative (all)", dict(thermal_corrections=True)),
]
# Comparison rows: (name, index of the step they modify, keys).
EXTRA = [
    ("all, tau_n normalisation off", len(STEPS) - 1, dict(tau_n_normalization=False)),
    ("QED step as extra radiation only: no QED, DeltaNeff = 0.00965", 3, dict(DeltaNeff=0.00965)),
]


ALPHA = 0.0072973525692838015
M_E = 0.51099895


def _fd_integral(fn, x):
    """int_0^500 fn(k, E) dk with E = sqrt(k^2 + x^2), composite Simpson on 20000 panels."""
    n, hi = 20000, 500.0
    h = hi / n
    total = 0.0
    for i in range(n + 1):
        k = i * h
        E = math.sqrt(k * k + x * x)
        w = 1 if i in (0, n) else (4 if i % 2 else 2)
        total += w * fn(k, E)
    return total * h / 3


def qed_pressure(T):
    """dP_a + dP_e3 (MeV^4) of the plasma at photon temperature T (MeV)."""
    x = M_E / T
    if x > 50:
        return 0.0
    ex = lambda E: math.exp(-E) / (1 + math.exp(-E))  # 1/(e^E + 1) without overflow
    I01 = _fd_integral(lambda k, E: k * k / E * ex(E) if E > 0 else 0.0, x)
    I2m1 = _fd_integral(lambda k, E: E * ex(E), x)
    dPa = -(ALPHA / math.pi) * T ** 4 * (2.0 / 3.0 * I01 + 2.0 / math.pi ** 2 * I01 ** 2)
    B = (I01 + I2m1) / math.pi ** 2
    dPe3 = 4.0 / 3.0 * math.sqrt(2 * math.pi) * ALPHA ** 1.5 * T ** 4 * B ** 1.5 if B > 0 else 0.0
    return dPa + dPe3


def qed_energy_density_table(n=160):
    """(T, rho_QED) on a log grid 1 keV .. 100 MeV; rho_QED = T P' - P, P' by central differences."""
    Ts, rho = [], []
    for i in range(n):
        T = 10 ** (-3 + 5 * i / (n - 1))
        if T < M_E / 50:
            r = 0.0
        else:
            h = 1e-3 * T
            dP = (qed_pressure(T + h) - qed_pressure(T - h)) / (2 * h)
            r = T * dP - qed_pressure(T)
        Ts.append(T)
        rho.append(r)
    return Ts, rho


def parse_value(text):
    for conv in (int, float):
        try:
            return conv(text)
        except ValueError:
            pass
    return {"True": True, "False": False}.get(text, text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("data", nargs="?", default=str(ROOT / "data"))
    ap.add_argument("--cache", default=None)
    ap.add_argument("--set", action="append", default=[])
    ap.add_argument("--thermal-tables", default=None)
    ap.add_argument("--no-oscillation-tables", default=None)
    a = ap.parse_args()
    base = dict(MATCHED)
    if a.cache:
        base["cache_dir"] = a.cache
    for kv in a.set:
        k, v = kv.split("=", 1)
        base[k] = parse_value(v)
    params = dict(base)
    prev = None
    print(f"{'step':62s} {'Yp(4Y)':>9s} {'change':>9s} {'Y mass':>9s} {'D/H':>10s} {'Neff':>8s}  published change")
    extra = list(EXTRA)
    if a.thermal_tables:
        t = pathlib.Path(a.thermal_tables).resolve()
        files = dict(solan_file=str(t / "SOLANNUVEX_col_1_7.csv"),
                     solan_spectral_file=str(t / "SOLANNUVEX.csv"),
                     solan_grid_file=str(t / "SOLANGrid.csv"))
        extra.append(("+ incomplete decoupling, energy-transfer tables", 5, files))
        extra.append(("+ their (thermal) spectra", 6, files))
    if a.no_oscillation_tables:
        t = pathlib.Path(a.no_oscillation_tables).resolve()
        files = dict(solan_file=str(t / "SOLANNUVEX_col_1_7.csv"),
                     solan_spectral_file=str(t / "SOLANNUVEX.csv"),
                     solan_grid_file=str(t / "SOLANGrid.csv"))
        extra.append(("+ incomplete decoupling, tables without oscillations", 5, files))
        extra.append(("+ their spectra (no oscillations)", 6, files))
    T_q, rho_q = qed_energy_density_table()
    extra.append(("QED step, entropy part only (Friedmann density term removed)", 4,
                  dict(_extra_rho=[-v for v in rho_q])))
    extra.append(("QED step, Friedmann density term only (no QED entropy)", 3,
                  dict(_extra_rho=rho_q)))
    snapshots, results = [], []

    def show(name, r, ref, published=""):
        yp = r["YPBBN"]
        d = "" if ref is None else f"{yp - ref:+.6f}"
        print(f"{name:62s} {yp:9.6f} {d:>9s} {r['YPCMB']:9.6f} {r['DoH']:10.4e} {r['Neff']:8.5f}  {published}",
              flush=True)

    for name, kw, published in STEPS:
        params = dict(params)
        params.update(kw)
        r = _nuvex_c.run_bbn(params, a.data)
        show(name, r, prev, published)
        prev = r["YPBBN"]
        snapshots.append(dict(params))
        results.append(r)
    print("comparisons (change against the step they modify):")
    last = None
    for name, i, kw in extra:
        p = dict(snapshots[i])
        kw = dict(kw)
        rho_extra = kw.pop("_extra_rho", None)
        p.update(kw)
        base = results[i - 1]["YPBBN"] if name.startswith("+") else results[i]["YPBBN"]
        if name.startswith("QED step"):
            base = results[3]["YPBBN"]  # both halves against the step before QED
        if name.startswith("+ their"):
            base = last  # the spectra of a table set against its temperatures alone
        if rho_extra is None:
            r = _nuvex_c.run_bbn(p, a.data)
        else:
            r = _nuvex_c.run_bbn(p, a.data, extra_rho_T=T_q, extra_rho_val=rho_extra)
        show(name, r, base)
        last = r["YPBBN"]
    decoupling_side_by_side(a, base_params=dict(snapshots[4]), tables=tables_of(a))


def tables_of(a):
    """(label, extra keys) of the decoupling-table sets: the shipped ones, and the tables without
    oscillations when given."""
    sets = [("shipped tables (oscillations)", {})]
    if a.no_oscillation_tables:
        t = pathlib.Path(a.no_oscillation_tables).resolve()
        sets.append(("tables without oscillations", dict(solan_file=str(t / "SOLANNUVEX_col_1_7.csv"),
                                                        solan_spectral_file=str(t / "SOLANNUVEX.csv"),
                                                        solan_grid_file=str(t / "SOLANGrid.csv"))))
    return sets


def decoupling_side_by_side(a, base_params, tables):
    """Effect of incomplete decoupling on Yp with Born rates and with each correction of the rates
    added: the temperature part (temperatures and heating), the spectral part and their sum."""
    print("incomplete decoupling with Born and with corrected rates (QED plasma on): change of Yp")
    print(f"{'rates':40s} {'tables':32s} {'temperatures':>13s} {'+ spectra':>10s} {'total':>10s}")
    for label, files in tables:
        params = dict(base_params, incomplete_decoupling=False, spectral_distortions=False)
        for rates, kw in RATES:
            params.update(kw)
            y0 = _nuvex_c.run_bbn(params, a.data)["YPBBN"]
            y1 = _nuvex_c.run_bbn(dict(params, incomplete_decoupling=True, **files), a.data)["YPBBN"]
            y2 = _nuvex_c.run_bbn(dict(params, incomplete_decoupling=True, spectral_distortions=True, **files),
                                  a.data)["YPBBN"]
            print(f"{rates:40s} {label:32s} {y1 - y0:+13.6f} {y2 - y1:+10.6f} {y2 - y0:+10.6f}", flush=True)


if __name__ == "__main__":
    main()
