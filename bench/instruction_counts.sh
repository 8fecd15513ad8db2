#!/bin/sh
# Instruction counts (callgrind) of the CLI given as $1 (default build/nuvex), warm caches, default
# parameters: one network integration (small, large), a whole one-shot process (small), and the
# cost of one Monte Carlo sample on one worker ((30 samples - 10 samples) / 20).
# Usage: bench/instruction_counts.sh [path/to/nuvex] [data dir]   (from the repository root)
set -e
cli=${1:-build/nuvex}
data=${2:-data}
tmp=$(mktemp -d /tmp/nuvex_counts.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
run() {  # name, callgrind options..., -- CLI arguments...
  name=$1; shift
  valgrind --tool=callgrind --callgrind-out-file="$tmp/$name.out" "$@" > /dev/null 2>&1
  awk '/^(summary|totals):/ { print $2; exit }' "$tmp/$name.out"
}
common="--data-dir $data --set show_progress=False"
"$cli" $common > /dev/null  # caches warm
solve="--toggle-collect=nvx_nuclear_network_solve"
echo "network integration, small: $(run ss $solve "$cli" $common)"
echo "network integration, large: $(run sl $solve "$cli" $common --set network="'large'")"
echo "one-shot process, small:    $(run os "$cli" $common)"
a=$(run m10 "$cli" $common --mc 10 --jobs 1 --seed 1)
b=$(run m30 "$cli" $common --mc 30 --jobs 1 --seed 1)
echo "Monte Carlo sample, small:  $(( (b - a) / 20 ))"
