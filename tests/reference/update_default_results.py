#!/usr/bin/python3
# Writes tests/reference/default_results.txt: the default results of both shipped networks as the
# command-line front end prints them (shipped data directory, no INI file, no overrides).
"""Regenerate the default-result references read by tests/cpp/integration/test_default_regression.cpp.

Usage: /usr/bin/python3 tests/reference/update_default_results.py [--nuvex build/nuvex] [--check]

Run it only for a deliberate physics change, and add a line to CHANGELOG.md saying why the
references moved (the test fails until both are done). --check prints the relative shifts
against the present file without writing it.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TARGET = os.path.join(ROOT, "tests", "reference", "default_results.txt")
NETWORKS = ("small", "large")
# Every quantity the front end reports; the large network alone has Li6oLi7 and YCNO.
QUANTITIES = ("YPBBN", "YPCMB", "DoH", "He3oH", "He3oHe4", "Li7oH", "Li6oLi7", "YCNO", "Neff",
              "Omeganurel", "OneOverOmeganunr")

HEADER = """\
# Default results of both shipped networks: what `build/nuvex --data-dir data --set network=NAME`
# prints (thermal radiative corrections from data/weak_tables, shipped neutrino-decoupling tables).
# Lines: network quantity value (17 significant digits). Read by
# tests/cpp/integration/test_default_regression.cpp, which owns the tolerances.
# Regenerate with: /usr/bin/python3 tests/reference/update_default_results.py --nuvex build/nuvex
# Only a deliberate physics change moves these values: CHANGELOG.md must say which and why.
"""


def run_defaults(nuvex, network, cache_dir):
    cmd = [nuvex, "--data-dir", os.path.join(ROOT, "data"), "--json",
           "--set", "cache_dir='%s'" % cache_dir, "--set", "show_progress=False",
           "--set", "network='%s'" % network]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=600).stdout
    return json.loads(out)


def read_file(path):
    refs = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and not line.startswith("#"):
                refs[(parts[0], parts[1])] = float(parts[2])
    return refs


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nuvex", default=os.path.join(ROOT, "build", "nuvex"))
    ap.add_argument("--check", action="store_true", help="print the shifts, write nothing")
    args = ap.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as cache:
        for net in NETWORKS:
            res = run_defaults(args.nuvex, net, cache)
            rows += [(net, q, res[q]) for q in QUANTITIES if q in res]
    if args.check:
        old = read_file(TARGET)
        for net, q, v in rows:
            ref = old.get((net, q))
            shift = "new" if ref is None else "%+.3e" % (v / ref - 1.0)
            print("%-6s %-17s %.17g  %s" % (net, q, v, shift))
        return 0
    text = HEADER + "".join("%s %s %.17g\n" % r for r in rows)
    tmp = TARGET + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, TARGET)
    print("wrote %s (%d values); add a CHANGELOG.md line saying why they moved" % (TARGET, len(rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
