#!/usr/bin/python3
"""Helium-4 budget: switches the weak-rate and plasma corrections on one at a time and prints
Yp (nucleon fraction 4 Y(He4)), the helium mass fraction, D/H and Neff after each step.

Usage: scripts/yp_budget.py [DATA_DIR] [--cache DIR] [--set KEY=VALUE ...] [--thermal-tables DIR]
  --thermal-tables DIR: also run the decoupling step with tables of the energy-transfer method
  (nuvex_solan --method thermal --out DIR), which carry no spectral distortion.
Needs the built extension (make build). The first call computes the thermal-correction tables
(about a minute per neutrino history); later calls reuse the cache directory.
"""
import argparse
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "build" / "python"))
import _nuvex_c  # noqa: E402

MATCHED = {"Omegabh2": 0.0224, "tau_n": 878.4, "network": "small", "show_progress": False}

# Each step adds its keys to the previous ones.
STEPS = [
    ("Born rates, instantaneous decoupling, no QED",
     dict(radiative_corrections=False, finite_mass_corrections=False, thermal_corrections=False,
          QED_corrections=False, incomplete_decoupling=False, spectral_distortions=False)),
    ("+ zero-temperature radiative corrections", dict(radiative_corrections=True)),
    ("+ finite nucleon mass", dict(finite_mass_corrections=True)),
    ("+ finite-temperature radiative corrections", dict(thermal_corrections=True)),
    ("+ QED plasma", dict(QED_corrections=True)),
    ("+ incomplete decoupling (temperatures, heating)", dict(incomplete_decoupling=True)),
    ("+ spectral distortions of nu_e", dict(spectral_distortions=True)),
]
# Comparison rows: (name, index of the step they modify, keys).
EXTRA = [
    ("all, tau_n normalisation off", len(STEPS) - 1, dict(tau_n_normalization=False)),
    ("QED step as extra radiation only: no QED, DeltaNeff = 0.00965", 3, dict(DeltaNeff=0.00965)),
]


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
    a = ap.parse_args()
    base = dict(MATCHED)
    if a.cache:
        base["cache_dir"] = a.cache
    for kv in a.set:
        k, v = kv.split("=", 1)
        base[k] = parse_value(v)
    params = dict(base)
    prev = None
    print(f"{'step':62s} {'Yp(4Y)':>9s} {'change':>9s} {'Y mass':>9s} {'D/H':>10s} {'Neff':>8s}")
    extra = list(EXTRA)
    if a.thermal_tables:
        t = pathlib.Path(a.thermal_tables).resolve()
        files = dict(solan_file=str(t / "SOLANNUVEX_col_1_7.csv"),
                     solan_spectral_file=str(t / "SOLANNUVEX.csv"),
                     solan_grid_file=str(t / "SOLANGrid.csv"))
        extra.append(("+ incomplete decoupling, energy-transfer tables", 5, files))
        extra.append(("+ their (thermal) spectra", 6, files))
    snapshots, results = [], []

    def show(name, r, ref):
        yp = r["YPBBN"]
        d = "" if ref is None else f"{yp - ref:+.6f}"
        print(f"{name:62s} {yp:9.6f} {d:>9s} {r['YPCMB']:9.6f} {r['DoH']:10.4e} {r['Neff']:8.5f}",
              flush=True)

    for name, kw in STEPS:
        params = dict(params)
        params.update(kw)
        r = _nuvex_c.run_bbn(params, a.data)
        show(name, r, prev)
        prev = r["YPBBN"]
        snapshots.append(dict(params))
        results.append(r)
    print("comparisons (change against the step they modify):")
    for name, i, kw in extra:
        p = dict(snapshots[i])
        p.update(kw)
        base = results[i - 1]["YPBBN"] if name.startswith("+") else results[i]["YPBBN"]
        show(name, _nuvex_c.run_bbn(p, a.data), base)


if __name__ == "__main__":
    main()
