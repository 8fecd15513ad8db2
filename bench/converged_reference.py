#!/usr/bin/python3
# Converged reference results of the default configuration (thermal corrections off), the truth the
# pinned-results test measures default runs against, and the evidence that it is converged.
#
#   /usr/bin/python3 bench/converged_reference.py [--nuvex build/nuvex] [--data-dir data]
#                                                 [--before OLD_BUILD/nuvex]
#
# Runs the CLI for both shipped networks at the reference settings (integrator tolerance, background
# sampling and rate-grid density far beyond the defaults), once more with every one of them tightened
# again, and at the defaults; prints the relative changes and the rows of
# tests/cpp/integration/test_reference_results.cpp: reference and default value of each quantity (the
# default of --before, a build of the code before a change, when given) and the default abundances.
import argparse
import json
import subprocess
import sys

QUANTITIES = ["YPBBN", "DoH", "He3oH", "Li7oH", "Li6oLi7", "YCNO"]
BASE = ["thermal_corrections=False", "show_progress=False"]
DEFAULT = {}
REFERENCE = {"numerical_precision": "1e-10", "sampling_temperature_per_decade": "4800", "rate_grid_npts": "8000"}
TIGHTER = {"numerical_precision": "1e-11", "sampling_temperature_per_decade": "9600", "rate_grid_npts": "16000"}


def run(nuvex, data_dir, network, settings):
    cmd = [nuvex, "--data-dir", data_dir, "--json", "--set", f"network='{network}'"]
    for kv in BASE + [f"{k}={v}" for k, v in settings.items()]:
        cmd += ["--set", kv]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nuvex", default="build/nuvex")
    ap.add_argument("--data-dir", default="data")
    ap.add_argument("--before", help="CLI of the code before a change: its defaults become the bound")
    args = ap.parse_args()
    for network in ("small", "large"):
        ref = run(args.nuvex, args.data_dir, network, REFERENCE)
        tight = run(args.nuvex, args.data_dir, network, TIGHTER)
        default = run(args.nuvex, args.data_dir, network, DEFAULT)
        before = run(args.before, args.data_dir, network, DEFAULT) if args.before else default
        print(f"# {network} network: quantity, reference, tighter/ref - 1, default/ref - 1, before/ref - 1")
        for q in QUANTITIES:
            if q not in ref:
                continue
            r = ref[q]
            print(f"#   {q:8s} {r:.16e} {tight[q] / r - 1:+.2e} {default[q] / r - 1:+.2e} "
                  f"{before[q] / r - 1:+.2e}")
        net = network.capitalize()
        rows = "".join(f'    {{"{q}", {ref[q]!r}, {before[q]!r}}},\n' for q in QUANTITIES if q in ref)
        print(f"const Reference kRef{net}[] = {{\n{rows}}};")
        rows = "".join(f'    {{"{k}", {v!r}}},\n' for k, v in default["Y_final"].items() if v > 1e-20)
        print(f"const Abundance kAbund{net}[] = {{\n{rows}}};")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
