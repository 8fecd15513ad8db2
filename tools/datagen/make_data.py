#!/usr/bin/env python3
"""Generator of the shipped nuclear data directory (nuclides, networks, catalogue, rate tables)."""
# Deterministic: the same sources always give byte-identical files.
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True

import build  # noqa: E402

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
    files = build.Build(args.sources).render()
    # Tables of reactions that left the network must not linger.
    tdir = os.path.join(args.out, "nuclear", "tables")
    if os.path.isdir(tdir):
        wanted = {os.path.normpath(p) for p in files}
        for d in sorted(os.listdir(tdir)):
            sub = os.path.join(tdir, d)
            if os.path.isdir(sub):
                for fn in os.listdir(sub):
                    rel = os.path.normpath(os.path.join("nuclear", "tables", d, fn))
                    if rel not in wanted:
                        os.remove(os.path.join(sub, fn))
                if not os.listdir(sub):
                    os.rmdir(sub)
    for rel in sorted(files):
        write_text(os.path.join(args.out, rel), files[rel])
    print("make_data: wrote %d files to %s" % (len(files), args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
