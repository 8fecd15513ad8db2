# Python overhead of the nuvex package per call, on top of the extension's run: the package with the
# extension replaced by a stub that returns a recorded result (pure overhead), and real runs of both
# interleaved (the difference of their medians). Usage: PYTHONPATH=build/python python3 bench/python_overhead.py
import os
import statistics
import sys
import tempfile
import time

import _nuvex_c
import nuvex
from nuvex import _runner


def per_call_us(fn, repeat):
    """Processor time per call (less sensitive than wall time to other work on a shared machine)."""
    fn()
    start = time.process_time()
    for _ in range(repeat):
        fn()
    return (time.process_time() - start) / repeat * 1e6


class Stub:
    """Stands in for the extension: returns a recorded result dictionary, calls nothing."""

    def __init__(self, raw):
        self.raw = raw

    def run_bbn(self, *args, **kwargs):
        return self.raw


def main():
    cache = os.environ.get("NUVEX_BENCH_CACHE") or os.path.join(tempfile.gettempdir(), "nuvex_bench_cache")
    data = nuvex.data_dir()
    base = {"cache_dir": cache, "show_progress": False}
    nuvex.run(**base)  # warm the caches (a cold first run builds the tables)
    rows = []
    for label, extra in (("default run", {}), ("evolution, 500 points", {"output_time_evolution": True})):
        raw = _nuvex_c.run_bbn({**base, **extra, "output_file": None}, data, show_progress=0)
        real = _runner.ext
        _runner.ext = Stub(raw)
        try:
            overhead = per_call_us(lambda: nuvex.run(**base, **extra), 2000)
        finally:
            _runner.ext = real
        rows.append((f"package overhead, {label} (stubbed extension, CPU)", f"{overhead:8.1f} us"))

    c_times, py_times = [], []
    for _ in range(int(sys.argv[1]) if len(sys.argv) > 1 else 30):
        t0 = time.perf_counter()
        _nuvex_c.run_bbn({**base, "output_file": None}, data, show_progress=0)
        t1 = time.perf_counter()
        nuvex.run(**base)
        t2 = time.perf_counter()
        c_times.append(t1 - t0)
        py_times.append(t2 - t1)
    c_med, py_med = statistics.median(c_times) * 1e3, statistics.median(py_times) * 1e3
    rows.append(("_nuvex_c.run_bbn, warm, small network (median)", f"{c_med:8.2f} ms"))
    rows.append(("nuvex.run, same parameters (median)", f"{py_med:8.2f} ms"))
    rows.append(("difference of the medians (noise: run-to-run spread)", f"{py_med - c_med:8.2f} ms"))
    width = max(len(r[0]) for r in rows)
    for name, value in rows:
        print(f"{name:<{width}}  {value}")


if __name__ == "__main__":
    main()
