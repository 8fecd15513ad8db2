#!/bin/sh
# Before/after in one run: the code of an older commit (default 0788538, before stage snapshots and
# threads) built in a folder outside the repository, against this tree's build, measured together.
# Instruction counts (callgrind) are the firm figures on a shared machine; wall times come with the
# load average. Results of both networks' default runs are compared digit for digit.
# Ends with one table (old, new, target) of every figure. Needs git history holding the old commit (a
# clone, not an exported archive), valgrind for the instruction counts (else they are skipped).
# Usage (from the repository root; builds this tree first when it is not built):
#   bench/side_by_side.sh [--old-commit C] [--old-dir DIR] [--runs N] [--no-callgrind] [--quick]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
old_commit=0788538
old_dir=
runs=20
callgrind=1
mc_n=1000
scan_n=2000
while [ $# -gt 0 ]; do
  case "$1" in
    --old-commit) old_commit=$2; shift 2 ;;
    --old-dir) old_dir=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --no-callgrind) callgrind=0; shift ;;
    --quick) runs=5; mc_n=200; scan_n=400; shift ;;
    *) echo "side_by_side: unknown option $1" >&2; exit 2 ;;
  esac
done
py=/usr/bin/python3
[ -x "$py" ] || py=python3
[ -n "$old_dir" ] || old_dir=${TMPDIR:-/tmp}/nuvex-old-$old_commit
new_build="$root/build"
if [ ! -x "$new_build/nuvex" ] || [ ! -e "$new_build/python/nuvex" ]; then
  echo "building this tree (make build) ..."
  make -C "$root" build > /dev/null
fi
git -C "$root" cat-file -e "$old_commit^{commit}" 2> /dev/null ||
  { echo "side_by_side: commit $old_commit is not in this repository's history (use a clone)" >&2; exit 1; }

# the old code: exported from git and built once (ccache makes a rebuild cheap)
if [ ! -x "$old_dir/build/nuvex" ]; then
  echo "building $old_commit in $old_dir ..."
  mkdir -p "$old_dir/src"
  git -C "$root" archive "$old_commit" | tar -x -C "$old_dir/src"
  CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache \
    cmake -S "$old_dir/src" -B "$old_dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUVEX_PYTHON=$py \
      -DNUVEX_BUILD_BENCH=OFF > "$old_dir/configure.log"
  cmake --build "$old_dir/build" -j2 --target nuvex_cli _nuvex_c > "$old_dir/build.log"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/nuvex_side_by_side.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
table="$tmp/table"
: > "$table"
put() { echo "$1|$2|$3|$4" >> "$table"; }  # figure, old, new, target
load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "side by side: old = $old_commit ($old_dir), new = $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet || echo '+changes'); $(nproc) cores; load $(load)"

# each side: its CLI, its Python package, its own cache folder, the same shipped data
cli_old="$old_dir/build/nuvex"; cli_new="$new_build/nuvex"
pp_old="$old_dir/build/python"; pp_new="$new_build/python"
data="$root/data"
cli() {  # side, extra arguments...
  side=$1; shift
  eval "c=\$cli_$side"
  "$c" --data-dir "$data" --set show_progress=False --set "cache_dir='$tmp/cache_$side'" "$@"
}
for side in old new; do  # warm: caches (and, new, snapshots) written
  cli $side > /dev/null; cli $side --set "network='large'" > /dev/null
done

echo
echo "== results (CLI --json, default parameters)"
# The speed work must not move a digit: this tree's runs that read their stages from snapshots equal
# runs that build them from the text tables (a cold cache folder). Against the old commit the
# results differ by the physics changes recorded in CHANGELOG.md since then (relative shifts shown).
for net in small large; do
  cli old --json --set "network='$net'" > "$tmp/old_$net.json"
  cli new --json --set "network='$net'" > "$tmp/new_$net.json"
  rm -rf "$tmp/cold_cache"
  "$cli_new" --data-dir "$data" --set show_progress=False --set "cache_dir='$tmp/cold_cache'" --json \
    --set "network='$net'" > "$tmp/cold_$net.json"
  if cmp -s "$tmp/cold_$net.json" "$tmp/new_$net.json"; then same=identical; else same=DIFFERENT; fi
  echo "$net network, read from snapshots against built from text: $same"
  put "default results, $net: snapshots vs built from text (17 digits)" "-" "$same" "identical"
  shift_=$("$py" - "$tmp/old_$net.json" "$tmp/new_$net.json" <<'PYEOF'
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
keys = [k for k in a if isinstance(a[k], float) and k in b]
worst = max(keys, key=lambda k: abs(b[k] / a[k] - 1) if a[k] else 0)
print("identical" if a == b else f"max shift {worst} {b[worst] / a[worst] - 1:+.2e}")
PYEOF
)
  echo "$net network, old against new: $shift_"
  put "default results, $net: old vs new (physics changes since, CHANGELOG.md)" "-" "$shift_" "-"
done

if [ $callgrind = 1 ] && command -v valgrind > /dev/null; then
  echo
  echo "== instructions (callgrind, warm caches; millions)"
  count() {  # callgrind options and command...: millions of instructions
    valgrind --tool=callgrind --callgrind-out-file="$tmp/cg.out" "$@" > /dev/null 2>&1
    awk '/^summary:/ { printf "%.1f", $2 / 1e6; exit }' "$tmp/cg.out"
  }
  row() {  # label, old value, new value
    awk -v l="$1" -v a="$2" -v b="$3" 'BEGIN { printf "  %-42s old %8.1f   new %8.1f   (%.1fx fewer)\n", l, a, b, a / b }'
  }
  for side in old new; do
    if [ $side = old ]; then c=$cli_old; else c=$cli_new; fi
    set -- --data-dir "$data" --set show_progress=False --set "cache_dir='$tmp/cache_$side'"
    small=$(count "$c" "$@")
    large=$(count "$c" "$@" --set "network='large'")
    solve=$(count --toggle-collect=nvx_nuclear_network_solve "$c" "$@")
    a=$(count "$c" "$@" --mc 10 --jobs 1 --seed 1)
    b=$(count "$c" "$@" --mc 30 --jobs 1 --seed 1)
    echo "$small $large $solve $a $b" > "$tmp/counts_$side"
  done
  read so lo vo ao bo < "$tmp/counts_old"
  read sn ln vn an bn < "$tmp/counts_new"
  mo=$(echo "$ao $bo" | awk '{ print ($2 - $1) / 20 }'); mn=$(echo "$an $bn" | awk '{ print ($2 - $1) / 20 }')
  row "one-shot process, small network" "$so" "$sn"
  row "one-shot process, large network" "$lo" "$ln"
  row "network integration alone, small" "$vo" "$vn"
  row "Monte Carlo sample ((30 - 10) / 20), small" "$mo" "$mn"
  put "instructions, one-shot CLI run, small (M)" "$so" "$sn" "-"
  put "instructions, one-shot CLI run, large (M)" "$lo" "$ln" "-"
  put "instructions, network integration, small (M)" "$vo" "$vn" "-"
  put "instructions per Monte Carlo sample, small (M)" "$mo" "$mn" "-"
fi

echo
echo "== wall times (best and median of $runs, old and new interleaved; load before: $(load))"
clock() { date +%s%N; }
stats() {  # file of nanosecond figures: "best median" in the unit of $2 (1000: us, 1000000: ms)
  sort -n "$1" | awk -v u="$2" '{ v[NR] = $1 } END { printf "%.1f %.1f", v[1] / u, v[int((NR + 1) / 2)] / u }'
}
for net in small large; do
  : > "$tmp/w_old"; : > "$tmp/w_new"; i=0
  while [ $i -lt $runs ]; do
    t0=$(clock); cli old --set "network='$net'" > /dev/null; t1=$(clock); cli new --set "network='$net'" > /dev/null; t2=$(clock)
    echo $((t1 - t0)) >> "$tmp/w_old"; echo $((t2 - t1)) >> "$tmp/w_new"; i=$((i + 1))
  done
  set -- $(stats "$tmp/w_old" 1000000); bo=$1; mo=$2
  set -- $(stats "$tmp/w_new" 1000000); bn=$1; mn=$2
  target=$([ $net = small ] && echo 12 || echo 60)
  echo "  fresh-process CLI run, warm cache, $net network: old best $bo ms (median $mo), new best $bn ms (median $mn)" \
       "(target $target ms)"
  put "fresh-process CLI run, warm cache, $net (ms, best/median)" "$bo / $mo" "$bn / $mn" "<= $target"
done
# import nuvex; nuvex.run() in a fresh interpreter, beyond the interpreter's own start-up (both
# sides on this tree's data directory, caches warm)
for side in old new; do
  eval "pp=\$pp_$side"
  PYTHONPATH=$pp XDG_CACHE_HOME=$tmp/xdg_$side "$py" -c "import nuvex; nuvex.run(cache_dir='$tmp/cache_$side', data_dir='$data', show_progress=False)"
done
: > "$tmp/p_bare"; : > "$tmp/p_old"; : > "$tmp/p_new"; i=0
while [ $i -lt $runs ]; do
  t0=$(clock); "$py" -c pass; t1=$(clock)
  PYTHONPATH=$pp_old XDG_CACHE_HOME=$tmp/xdg_old "$py" -c "import nuvex; nuvex.run(cache_dir='$tmp/cache_old', data_dir='$data')"; t2=$(clock)
  PYTHONPATH=$pp_new XDG_CACHE_HOME=$tmp/xdg_new "$py" -c "import nuvex; nuvex.run(cache_dir='$tmp/cache_new', data_dir='$data')"; t3=$(clock)
  echo $((t1 - t0)) >> "$tmp/p_bare"; echo $((t2 - t1)) >> "$tmp/p_old"; echo $((t3 - t2)) >> "$tmp/p_new"; i=$((i + 1))
done
set -- $(stats "$tmp/p_bare" 1000000); pb=$1
set -- $(stats "$tmp/p_old" 1000000); po=$1
set -- $(stats "$tmp/p_new" 1000000); pn=$1
po=$(echo "$po $pb" | awk '{ printf "%.1f", $1 - $2 }'); pn=$(echo "$pn $pb" | awk '{ printf "%.1f", $1 - $2 }')
echo "  python3 -c 'import nuvex; nuvex.run()' beyond the interpreter's start-up (best $pb ms):" \
     "old $po ms, new $pn ms (best of $runs; target 150 ms)"
put "python3 -c 'import nuvex; nuvex.run()' beyond start-up (ms, best)" "$po" "$pn" "<= 150"

# the old code's worker processes import the main script: it needs a file and a main guard
cat > "$tmp/python_side.py" <<'EOF'
import sys, time
import nuvex


def row(label, value, target):
    with open(sys.argv[6], "a") as f:
        f.write(f"{label}|{value}|{target}\n")


def main(cache, data, side, mc_n, scan_n):
    # best of several repetitions: on a shared machine the others' work only ever adds time
    fixed = dict(cache_dir=cache, data_dir=data, show_progress=False)
    s = nuvex.Solver(**fixed)
    s.run(Omegabh2=0.0225)
    wall = cpu = float("inf")
    for rep in range(5):
        t0, c0 = time.perf_counter(), time.process_time()
        for k in range(100):
            s.run(Omegabh2=0.0220 + 1e-6 * k)
        wall = min(wall, (time.perf_counter() - t0) / 100)
        cpu = min(cpu, (time.process_time() - c0) / 100)
    print(f"  {side}: session run (Omegabh2 changed), small network: {1e3 * wall:.2f} ms wall, "
          f"{1e3 * cpu:.2f} ms processor (best of 5 x 100)")
    row("session run, Omegabh2 changed, small (ms wall, best of 5 x 100)", f"{1e3 * wall:.2f}", "<= 3")
    nuvex.monte_carlo(20, jobs=2, progress=False, **fixed)
    best = float("inf")
    for rep in range(2):
        t0 = time.perf_counter()
        nuvex.monte_carlo(mc_n, jobs=2, progress=False, **fixed)
        best = min(best, time.perf_counter() - t0)
    print(f"  {side}: Monte Carlo {mc_n} samples, 2 threads: {best:.2f} s (best of 2; target 2 s for 1000)")
    row(f"Monte Carlo, {mc_n} samples, jobs=2 (s, best of 2)", f"{best:.2f}", f"<= {2 * mc_n / 1000:g}")
    axes = {"Omegabh2": [0.015 + 1e-5 * k for k in range(scan_n)]}
    rate = {1: 0.0, 2: 0.0}
    for jobs in (1, 2):
        nuvex.scan({"Omegabh2": [0.02] * 8}, ["Yp"], jobs=jobs, progress=False, **fixed)  # workers warm
    for rep in range(3):
        for jobs in (1, 2):
            t0 = time.perf_counter()
            nuvex.scan(axes, ["Yp", "DoH"], jobs=jobs, progress=False, **fixed)
            rate[jobs] = max(rate[jobs], scan_n / (time.perf_counter() - t0))
    print(f"  {side}: {scan_n}-point scan (best of 3), jobs=1 {rate[1]:.0f} points/s, jobs=2 {rate[2]:.0f} "
          f"points/s: {rate[2] / rate[1]:.2f}x (target 1.8x)")
    row(f"{scan_n}-point scan, jobs=2 against jobs=1 (speed-up, best of 3)", f"{rate[2] / rate[1]:.2f}x", ">= 1.8x")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
EOF
for side in old new; do
  eval "pp=\$pp_$side"
  PYTHONPATH=$pp "$py" "$tmp/python_side.py" "$tmp/cache_$side" "$data" "$side" "$mc_n" "$scan_n" "$tmp/py_$side"
done
# the Python figures of both sides side by side in the table
paste -d'|' "$tmp/py_old" "$tmp/py_new" | awk -F'|' '{ print $1 "|" $2 "|" $5 "|" $3 }' >> "$table"
echo "load after: $(load)"

echo
echo "== summary ($(nproc) cores; load after: $(load); old = $old_commit, new = $(git -C "$root" rev-parse --short HEAD))"
echo
echo "| figure | old | new | target |"
echo "|---|---|---|---|"
awk -F'|' '{ printf "| %s | %s | %s | %s |\n", $1, $2, $3, $4 }' "$table"
