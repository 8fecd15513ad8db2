#!/usr/bin/env python3
# Generator of the shipped nuclear data directory (nuclides, networks, catalogue, rate tables).
# Deterministic: the same sources always give byte-identical files.
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import nuclides as nucmod  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".tmp%d" % os.getpid()
    with open(tmp, "w", newline="\n") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", default=os.path.join(ROOT, "data"),
                    help="data directory to write (default: the project's data/)")
    ap.add_argument("--sources", default=os.path.join(ROOT, "data", "sources"),
                    help="directory of the copied source data")
    args = ap.parse_args(argv)

    nuclides = nucmod.read_nuclides(args.sources)
    write_text(os.path.join(args.out, "csv", "nuclides.csv"), nucmod.write_nuclides(nuclides, None))
    return 0


if __name__ == "__main__":
    sys.exit(main())
