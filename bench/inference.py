# Cost of BBN inference: one likelihood evaluation with the key rates and tau_n varied, a D/H-only
# chain for Omega_b h^2 with those nuisances (10 parameters) on local workers, and Dask 2 vs 1 worker.
# Usage: PYTHONPATH=build/python python3 bench/inference.py [--steps N] [--walkers W] [--skip-dask]
import argparse
import os
import time

import numpy as np

import nuvex

OBS = "DoH_Cooke2018"


def per_evaluation(n: int) -> float:
    like = nuvex.likelihood(OBS, params=("Omegabh2",), nuisance="rates", jobs=1, show_progress=False)
    rng = np.random.default_rng(0)
    xs = np.column_stack([rng.normal(like.fiducial[k], 2e-4 if k == "Omegabh2" else like.priors[k].b, n)
                          for k in like.names])
    like.evaluate(xs[:5])  # warm session
    wall, cpu = time.perf_counter(), time.process_time()
    like.evaluate(xs)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    print(f"per evaluation ({len(like.names)} parameters varied, {n} points, in process): "
          f"{1e3 * wall / n:.2f} ms wall, {1e3 * cpu / n:.2f} ms processor")
    return cpu / n
    for name in ("Omegabh2", "tau_n"):
        only = np.tile([like.fiducial[k] for k in like.names], (n, 1))
        j = like.names.index(name)
        only[:, j] = xs[:, j]
        wall = time.perf_counter()
        like.evaluate(only)
        print(f"  only {name} varied: {1e3 * (time.perf_counter() - wall) / n:.2f} ms wall")


def chain(walkers: int, steps: int, **engine) -> float:
    t = time.perf_counter()
    c = nuvex.sample(OBS, params=("Omegabh2",), nuisance="rates", walkers=walkers, steps=steps, seed=0,
                     progress=False, show_progress=False, **engine)
    dt = time.perf_counter() - t
    print(f"  {walkers} walkers x {steps} steps: {dt:.1f} s ({1e3 * dt / (walkers * steps):.2f} ms per evaluation); "
          f"Omegabh2 = {c.mean('Omegabh2'):.5f} +/- {c.std('Omegabh2'):.5f}, acceptance {c.acceptance:.2f}")
    return dt


def round_trip(client, n_tasks: int, repeats: int = 200) -> float:
    """Seconds per batch of ``n_tasks`` empty chunks: the cluster's fixed cost of one batch."""
    from nuvex import _engine

    key = _engine.setup_key({"show_progress": False})
    t = time.perf_counter()
    for _ in range(repeats):
        client.gather([client.submit(_engine.run_chunk, key, ["DoH"], [], pure=False) for _ in range(n_tasks)])
    return (time.perf_counter() - t) / repeats


def dask_speedup(walkers: int, steps: int, cpu_per_eval: float) -> None:
    from distributed import Client, LocalCluster

    times, trips = {}, {}
    for n in (1, 2):
        with LocalCluster(n_workers=n, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
                          silence_logs=50) as cluster, Client(cluster) as client:
            chain(walkers, 2, client=client)  # workers build their sessions
            trips[n] = round_trip(client, n)
            print(f"Dask LocalCluster, {n} worker(s): {1e3 * trips[n]:.2f} ms per batch round trip")
            times[n] = chain(walkers, steps, client=client)
    print(f"Dask speed-up, 2 workers over 1: {times[1] / times[2]:.2f}x")
    # on idle cores a batch of walkers/2 evaluations costs its processor time, split over the workers,
    # plus the round trip
    half = walkers / 2
    model = (half * cpu_per_eval + trips[1]) / (half / 2 * cpu_per_eval + trips[2])
    print(f"idle-core model from processor time per evaluation and round trips: {model:.2f}x")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--steps", type=int, default=200)
    ap.add_argument("--walkers", type=int, default=32)
    ap.add_argument("--evaluations", type=int, default=500)
    ap.add_argument("--skip-dask", action="store_true")
    a = ap.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    cpu = per_evaluation(a.evaluations)
    print("local workers (jobs=2):")
    dt = chain(a.walkers, a.steps, jobs=2)
    print(f"  extrapolated to 2,000 steps: {dt * 2000 / a.steps / 60:.1f} min")
    if not a.skip_dask:
        dask_speedup(a.walkers, a.steps, cpu)
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
