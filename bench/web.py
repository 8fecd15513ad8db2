# Latency of the web calculator (`nuvex serve`): input change to numbers in headless Chromium, first
# paint of the Schramm plot with its bands (cold and warm), and 20 concurrent API clients.
"""Usage: PYTHONPATH=build/python /usr/bin/python3 bench/web.py [--changes N] [--clients N] [--per-client N]
                                                                [--screenshot PATH]

The server runs in this process on a free loopback port with its default settings (Schramm grid of
15 points x 40 samples, one session per processor); the solver's table caches are the per-user ones
(warm after any earlier run), the Schramm cache starts empty ("cold"). Targets (small network, idle
cores): input to numbers <= 100 ms median; Schramm with bands first paint <= 3 s cold, <= 300 ms warm;
20 clients x 10 changes without an error, p95 reported. The load average is printed with the numbers:
on a shared machine they measure the load as much as the code.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import statistics
import tempfile
import threading
import time
import urllib.error
import urllib.request


def percentile(values: list[float], q: float) -> float:
    values = sorted(values)
    k = (len(values) - 1) * q / 100
    lo, hi = int(k), min(int(k) + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (k - lo)


def chromium(profile: str):
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service as DriverService

    opts = Options()
    opts.binary_location = shutil.which("chromium") or "chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-dev-shm-usage", "--window-size=1400,1100", f"--user-data-dir={profile}"):
        opts.add_argument(arg)
    env = {**os.environ, "HOME": profile}
    return webdriver.Chrome(service=DriverService(shutil.which("chromedriver") or "chromedriver", env=env), options=opts)


def wait(driver, script: str, timeout: float = 300):
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script("return " + script)
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.01)


def page_times(driver, url: str) -> dict[str, float]:
    driver.get(url)
    wait(driver, "window.nuvexTimings && window.nuvexTimings.schrammPaint")
    t = driver.execute_script("return window.nuvexTimings")
    return {"schramm_ms": t["schrammPaint"], "evolution_ms": t["evolutionPaint"], "first_run_ms": t["run"][0],
            "plotly_ms": t["plotlyReady"] or 0.0, "answer_ms": t["schrammAnswer"]}


def input_latency(driver, changes: int, how: str) -> list[float]:
    """Input-to-numbers times (ms) measured by the page itself, one change at a time."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys

    rng = random.Random(1)
    out = []
    for _ in range(changes):
        before = driver.execute_script("return window.nuvexTimings.run.length")
        if how == "slider":
            driver.execute_script("const s = document.getElementById('Omegabh2-slider'); s.value = arguments[0];"
                                  "s.dispatchEvent(new Event('input'));", str(rng.randint(300, 900)))
        else:
            field = driver.find_element(By.ID, "Omegabh2")
            field.clear()
            field.send_keys(f"{rng.uniform(0.015, 0.03):.5f}" + Keys.ENTER)
        wait(driver, f"window.nuvexTimings.run.length > {before}")
        out.append(driver.execute_script("return window.nuvexTimings.run[window.nuvexTimings.run.length - 1]"))
        time.sleep(0.05)
    return out


def concurrent_clients(url: str, clients: int, per_client: int) -> tuple[list[float], list[str]]:
    latencies: list[float] = []
    errors: list[str] = []
    lock = threading.Lock()

    def client(k: int) -> None:
        rng = random.Random(k)
        for seq in range(per_client):
            params = {"Omegabh2": rng.uniform(0.015, 0.03), "DeltaNeff": rng.uniform(-0.5, 1.0),
                      "tau_n": rng.uniform(875, 882)}
            body = json.dumps({"params": params, "client": f"bench{k}", "seq": seq}).encode()
            req = urllib.request.Request(url + "api/run", body, {"Content-Type": "application/json"})
            t0 = time.perf_counter()
            try:
                with urllib.request.urlopen(req, timeout=300) as r:
                    r.read()
                    ok = r.status == 200
            except urllib.error.HTTPError as e:
                ok = False
                with lock:
                    errors.append(f"HTTP {e.code}: {e.read()[:200]!r}")
            dt = 1e3 * (time.perf_counter() - t0)
            with lock:
                if ok:
                    latencies.append(dt)

    threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return latencies, errors


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--changes", type=int, default=30, help="input changes per method (slider, typed value)")
    ap.add_argument("--clients", type=int, default=20)
    ap.add_argument("--per-client", type=int, default=10)
    ap.add_argument("--screenshot", help="save a screenshot of the warm page here (PNG)")
    args = ap.parse_args()

    from nuvex.web import Server

    load0 = os.getloadavg()
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    rows: list[tuple[str, str, str]] = []
    with Server("127.0.0.1", 0) as server, tempfile.TemporaryDirectory(prefix="nuvex-bench-web-") as profile:
        server.warm_up()
        server.start()
        driver = chromium(profile)
        try:
            cold = page_times(driver, server.url)
            warm = page_times(driver, server.url)
            rows.append(("Schramm plot with bands, first paint, cold (empty Schramm cache, plotly.js not cached)",
                         f"{cold['schramm_ms']:.0f} ms", "<= 3 s"))
            rows.append(("Schramm plot with bands, first paint, warm (page reloaded)", f"{warm['schramm_ms']:.0f} ms",
                         "<= 300 ms"))
            for name, t in (("cold", cold), ("warm", warm)):
                rows.append((f"  {name}: plotly.js ready / Schramm answer / numbers shown",
                             f"{t['plotly_ms']:.0f} / {t['answer_ms']:.0f} / {t['first_run_ms']:.0f} ms", ""))
            rows.append(("evolution plot, first paint, cold / warm",
                         f"{cold['evolution_ms']:.0f} / {warm['evolution_ms']:.0f} ms", ""))
            for how in ("slider", "typed"):
                lat = input_latency(driver, args.changes, how)
                rows.append((f"input change to numbers ({how}, {len(lat)} changes): median / p95",
                             f"{statistics.median(lat):.0f} / {percentile(lat, 95):.0f} ms", "<= 100 ms median"))
            if args.screenshot:
                driver.get(server.url)
                wait(driver, "window.nuvexTimings && window.nuvexTimings.schrammPaint")
                time.sleep(0.5)
                driver.save_screenshot(args.screenshot)
        finally:
            driver.quit()
        t0 = time.perf_counter()
        lat, errors = concurrent_clients(server.url, args.clients, args.per_client)
        wall = time.perf_counter() - t0
        rows.append((f"{args.clients} clients x {args.per_client} changes (API): errors", str(len(errors)), "0"))
        if lat:
            rows.append(("  latency median / p95 / max", f"{statistics.median(lat):.0f} / {percentile(lat, 95):.0f} / "
                                                           f"{max(lat):.0f} ms", "p95 reported"))
            rows.append(("  throughput", f"{len(lat) / wall:.0f} runs/s", ""))
        for e in errors[:5]:
            print("error:", e)
        workers = server.service.workers
    load1 = os.getloadavg()
    print(f"web calculator, {cores} cores, {workers} sessions; load average {load0[0]:.1f} before, {load1[0]:.1f} after")
    width = max(len(r[0]) for r in rows)
    print(f"| {'measure':<{width}} | measured | target |")
    print(f"|{'-' * (width + 2)}|----------|--------|")
    for name, value, target in rows:
        print(f"| {name:<{width}} | {value} | {target} |")


if __name__ == "__main__":
    main()
