#!/usr/bin/env python3
# Speed of a thermal-relic mass scan: nuvex.relic_bounds over 100 masses of one species, with a cold
# weak-rate cache (every mass computes its own weak-rate table) and with a warm one.
"""Usage: PYTHONPATH=build/python /usr/bin/python3 bench/relic_scan.py [--masses N] [--jobs J]

Target: 100 masses of one species (a Majorana fermion coupled to electrons, 0.01 to 30 MeV) in
<= 30 s on two idle cores, from an empty cache directory. Each worker keeps one solver session, which
rebuilds only the neutrino history, the background and the weak rates when the mass changes. The CPU
time per mass of one worker (jobs=1) is the cost without the machine's load; the load average is
printed with the numbers, since the machine may be shared.

Last measured (2 cores shared with other jobs, load average 15-17): see bench/relic_scan.md.
"""
from __future__ import annotations

import argparse
import os
import tempfile
import time

import numpy as np

import nuvex


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} (1 min), {five:.2f} (5 min) on {os.cpu_count()} cores"


def timed(masses: np.ndarray, jobs: int, cache: str) -> tuple[float, float, nuvex.RelicBounds]:
    t0, c0 = time.perf_counter(), time.process_time()
    b = nuvex.relic_bounds(masses, g=2, spin="fermion", couples_to="electrons", jobs=jobs, progress=False,
                           cache_dir=cache, show_progress=False)
    return time.perf_counter() - t0, time.process_time() - c0, b


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--masses", type=int, default=100, help="number of relic masses (default 100)")
    p.add_argument("--jobs", type=int, default=2, help="workers of the timed scans (default 2)")
    args = p.parse_args()
    masses = np.geomspace(0.01, 30.0, args.masses)
    print(f"nuvex {nuvex.__version__}; {load()}")
    with tempfile.TemporaryDirectory() as cache:
        nuvex.run(cache_dir=cache, show_progress=False)  # the standard tables, shared by every mass
        wall, _, b = timed(masses, args.jobs, cache)
        print(f"{args.masses} masses, jobs={args.jobs}, cold weak-rate cache: {wall:.1f} s (target 30 s); {load()}")
        wall, _, _ = timed(masses, args.jobs, cache)
        print(f"{args.masses} masses, jobs={args.jobs}, warm weak-rate cache: {wall:.1f} s; {load()}")
    with tempfile.TemporaryDirectory() as cache:
        nuvex.run(cache_dir=cache, show_progress=False)
        few = masses[:: max(1, args.masses // 20)]
        wall, cpu, _ = timed(few, 1, cache)
        print(f"{len(few)} masses in this process (jobs=1), cold cache: {wall:.1f} s, "
              f"{1e3 * cpu / len(few):.0f} ms CPU per mass; {load()}")
    print(f"95% exclusion of the scanned species: m < {b.excluded_below_MeV:.3g} MeV")


if __name__ == "__main__":
    main()
