#!/usr/bin/env python3
# Speed of scans: all sensitivities of the small network, the default CLASS table with two local
# threads, a 2,000-point scan on 2 local threads against 1, and a Dask LocalCluster of 2 processes
# against 1.
"""Usage: PYTHONPATH=build/python /usr/bin/python3 bench/scans.py [--only sens,class,threads,dask] [--points N]

Targets (two idle cores): sensitivities (15 reactions and 3 parameters, 36 runs) <= 2 s; the 52 x 25
CLASS table (1,300 runs) <= 30 s with 2 local threads; a 2,000-point scan on 2 local threads, and on
a LocalCluster with 2 worker processes, >= 1.8x the throughput of 1. Every timing starts with warm caches and warm
workers (their solvers built), which is how repeated scans run. The load average is printed with
the numbers, since the machine may be shared.
"""
from __future__ import annotations

import argparse
import os
import tempfile
import time

import nuvex
import nuvex.tables
from nuvex import _engine


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} (1 min), {five:.2f} (5 min) on {os.cpu_count()} cores"


def bench_sensitivities() -> None:
    nuvex.sensitivities(reactions=(), params=("tau_n",), jobs=1, show_progress=False)  # warm caches
    for jobs in (1, 2):
        if jobs == 2:  # both threads' sessions are built once, before the timing
            nuvex.sensitivities(jobs=2, show_progress=False)
        t0, c0 = time.perf_counter(), time.process_time()
        s = nuvex.sensitivities(jobs=jobs, show_progress=False)
        dt, cpu = time.perf_counter() - t0, time.process_time() - c0
        runs = 2 * len(s.variables) + 1
        # with jobs=1 every run is in this process: its CPU time per run is the cost without the load
        extra = f", {1e3 * cpu / runs:.0f} ms CPU per run" if jobs == 1 else ""
        print(f"sensitivities, small network, {runs} runs, jobs={jobs}: {dt:.2f} s (target 2 s){extra}")


def bench_class_table() -> None:
    with tempfile.TemporaryDirectory() as d:
        nuvex.tables.write_class(os.path.join(d, "warm.dat"), [0.02, 0.021], [0.0, 1.0], jobs=2, progress=False,
                                 show_progress=False)
        t0 = time.perf_counter()
        nuvex.tables.write_class(os.path.join(d, "sBBN_nuvex.dat"), jobs=2, progress=False, show_progress=False)
        dt = time.perf_counter() - t0
    print(f"CLASS table 52 x 25 (1300 runs), 2 local threads: {dt:.1f} s (target 30 s), {1300 / dt:.1f} runs/s")


def scan_rate(client, n_points: int, jobs: int | None = None) -> float:
    axes = {"Omegabh2": [0.015 + 1e-5 * k for k in range(n_points)]}
    # warm: every worker's session is built before the timing
    nuvex.scan({"Omegabh2": [0.02] * 8}, ["Yp"], client=client, jobs=jobs, progress=False, show_progress=False)
    t0 = time.perf_counter()
    nuvex.scan(axes, ["Yp", "DoH"], client=client, jobs=jobs, progress=False, show_progress=False)
    return n_points / (time.perf_counter() - t0)


def bench_threads(n_points: int) -> None:
    rates = {jobs: scan_rate(None, n_points, jobs) for jobs in (1, 2)}
    for jobs, rate in rates.items():
        print(f"local threads, jobs={jobs}, {n_points}-point scan: {rate:.1f} points/s")
    print(f"local speed-up 2 threads / 1 thread: {rates[2] / rates[1]:.2f}x (target 1.8x)")


def bench_dask(n_points: int) -> None:
    from distributed import Client, LocalCluster

    rates = {}
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, processes=True, threads_per_worker=1, host="127.0.0.1",
                          dashboard_address=None, silence_logs=50) as cluster, Client(cluster) as client:
            rates[workers] = scan_rate(client, n_points)
        print(f"Dask LocalCluster, {workers} worker process(es), {n_points}-point scan: {rates[workers]:.1f} points/s")
    print(f"Dask speed-up 2 workers / 1 worker: {rates[2] / rates[1]:.2f}x (target 1.8x)")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--only", default="sens,class,threads,dask",
                   help="comma-separated subset of sens, class, threads, dask")
    p.add_argument("--points", type=int, default=2000,
                   help="points of the Dask scan (short scans measure the cluster round trip, not throughput)")
    args = p.parse_args()
    which = set(args.only.split(","))
    print(f"nuvex {nuvex.__version__}; solver sessions: {'yes' if nuvex._ext.HAS_SESSION else 'no'}; {load()}")
    if "sens" in which:
        bench_sensitivities()
    if "class" in which:
        bench_class_table()
    if "threads" in which:
        bench_threads(args.points)
    if "dask" in which:
        bench_dask(args.points)
    _engine.close_solvers()
    print(f"after: {load()}")


if __name__ == "__main__":
    main()
