#!/bin/sh
# Whole-process timings that Google Benchmark cannot take: a first default run on a fresh copy of the
# data directory (no caches; the shipped tables present), warm single runs each in a fresh process,
# and, with --clone, `make run` from a fresh clone of this repository (build included).
# Usage: bench/process_runs.sh [--clone]   (run from the repository root after `make run`)
set -e
root=$(pwd)
cli="$root/build/nuvex"
[ -x "$cli" ] || { echo "process_runs: build the CLI first (make run)" >&2; exit 1; }
tmp=$(mktemp -d /tmp/nuvex_process_runs.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
ms() { date +%s%N; }

# the data directory as a fresh clone has it, and an empty per-user cache
export XDG_CACHE_HOME="$tmp/xdg"
mkdir -p "$tmp/data/cache_plasma_weak/plasma"
cp -r "$root/data/csv" "$root/data/nuclear" "$root/data/SOLAN" "$root/data/weak_tables" "$tmp/data/"
cp "$root"/data/cache_plasma_weak/plasma/QED_pressure_correction_e*.txt "$tmp/data/cache_plasma_weak/plasma/"
t0=$(ms); "$cli" --data-dir "$tmp/data" --set show_progress=False > /dev/null; t1=$(ms)
echo "first default run, fresh data directory: $(( (t1 - t0) / 1000000 )) ms"

n=20
t0=$(ms)
i=0; while [ $i -lt $n ]; do "$cli" --data-dir "$tmp/data" --set show_progress=False > /dev/null; i=$((i + 1)); done
t1=$(ms)
echo "warm single run in a fresh process (mean of $n, process start included): $(( (t1 - t0) / n / 1000000 )) ms"
t0=$(ms)
i=0; while [ $i -lt $n ]; do "$cli" --data-dir "$tmp/data" --set show_progress=False --set network="'large'" > /dev/null; i=$((i + 1)); done
t1=$(ms)
echo "warm single run in a fresh process, large network (mean of $n): $(( (t1 - t0) / n / 1000000 )) ms"

if [ "$1" = "--clone" ]; then
  git clone -q "$root" "$tmp/clone"
  cd "$tmp/clone"
  t0=$(ms); make run > "$tmp/make_run.log" 2>&1 || { tail "$tmp/make_run.log"; exit 1; }; t1=$(ms)
  echo "make run from a fresh clone (configure, build of library and CLI, first run): $(( (t1 - t0) / 1000000000 )) s"
fi
