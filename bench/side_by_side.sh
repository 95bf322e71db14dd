#!/usr/bin/env bash
# Times two builds of a command at the same time, one on each of two CPUs,
# and prints each round's user seconds and the ratio A / B, then the median
# ratio. On a shared machine both runs of a round meet the same noise, so
# the ratio is far steadier than that of runs taken one after the other.
# The CPUs swap every round and the command started first every two rounds:
# in runs of one build against itself the one started first was 8% faster
# by median at a busy time, probably as it takes the free large pages
# first. Use a multiple of four rounds.
#
#   bench/side_by_side.sh [-r ROUNDS] COMMAND_A COMMAND_B -- ARG...
#
# The arguments after -- go to both commands, e.g.
#   bench/side_by_side.sh -r 8 old/bench/model_tool build/bench/model_tool \
#       -- -e ../shared/corpus/text/kjv.txt
#
# Needs two CPUs, taskset (util-linux) and /usr/bin/time. Each command's
# standard output and error are discarded.

set -euo pipefail

rounds=8
if [ "${1:-}" = "-r" ]; then
  rounds=$2
  shift 2
fi
if [ $# -lt 3 ] || [ "$3" != "--" ]; then
  sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
a=$1
b=$2
shift 3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ratios=()
for ((r = 1; r <= rounds; ++r)); do
  cpuA=$(((r + 1) % 2))
  cpuB=$((r % 2))
  runA() { /usr/bin/time -f '%U' -o "$work/a" taskset -c "$cpuA" "$a" "$@" >/dev/null 2>&1; }
  runB() { /usr/bin/time -f '%U' -o "$work/b" taskset -c "$cpuB" "$b" "$@" >/dev/null 2>&1; }
  if (((r - 1) / 2 % 2 == 0)); then
    runA "$@" &
    runB "$@" &
  else
    runB "$@" &
    runA "$@" &
  fi
  wait
  ua=$(tail -n 1 "$work/a")
  ub=$(tail -n 1 "$work/b")
  ratio=$(awk -v a="$ua" -v b="$ub" 'BEGIN { printf "%.4f", a / b }')
  printf 'round %d: A %s s on CPU %d, B %s s on CPU %d, A/B %s\n' "$r" "$ua" "$cpuA" "$ub" "$cpuB" "$ratio"
  ratios+=("$ratio")
done
printf '%s\n' "${ratios[@]}" | sort -n |
  awk '{ v[NR] = $1 } END { printf "median A/B %.4f (from %.4f to %.4f, %d rounds)\n", v[int((NR + 1) / 2)], v[1], v[NR], NR }'
