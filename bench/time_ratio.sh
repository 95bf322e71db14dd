#!/usr/bin/env bash
# Times zubreca's encoding and decoding of one file against 7-Zip's PPM
# compression of it (7z a -m0=PPMd:mem=256m:o=32), in rounds that run the
# three one after the other, and prints each round's wall seconds and the
# two ratios zubreca / 7z, then their medians. Every round checks the round
# trip with cmp. The ratio of neighbouring runs is steadier than either
# time: on a shared machine 7-Zip's own time on kjv.txt moves between 0.7
# and 1.6 s from run to run.
#
#   bench/time_ratio.sh [-r ROUNDS] FILE
#
# Environment:
#   ZUBRECA       the zubreca binary (default: ./build/zubreca)
#   ZUBRECA_ARGS  extra switches for zubreca's encoder, e.g. "-m1024"
#
# Needs 7z (Debian package p7zip-full) and /usr/bin/time.

set -euo pipefail

rounds=5
if [ "${1:-}" = "-r" ]; then
  rounds=$2
  shift 2
fi
if [ $# -ne 1 ]; then
  sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
file=$(realpath "$1")
zubreca=$(realpath "${ZUBRECA:-./build/zubreca}")
read -r -a switches <<<"${ZUBRECA_ARGS:-}"
name=$(basename "$file")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wall seconds of a command run in directory $1.
timed() {
  local dir=$1
  shift
  (cd "$dir" && /usr/bin/time -f '%e' -o "$work/time" "$@" >/dev/null 2>&1)
  tail -n 1 "$work/time"
}

enc=()
dec=()
for ((r = 1; r <= rounds; ++r)); do
  rm -rf "$work/7z" "$work/e" "$work/d"
  mkdir "$work/7z" "$work/e" "$work/d"
  cp "$file" "$work/7z/$name"
  cp "$file" "$work/e/$name"
  t7=$(timed "$work/7z" 7z a -m0=PPMd:mem=256m:o=32 out.7z "$name")
  te=$(timed "$work/e" "$zubreca" e "${switches[@]}" "$name")
  archive=$(cd "$work/e" && ls -- *.zbr)
  mv "$work/e/$archive" "$work/d/"
  td=$(timed "$work/d" "$zubreca" d "$archive")
  cmp -s "$work/d/$name" "$file" || { echo "round $r: the restored file differs" >&2; exit 1; }
  re=$(awk -v a="$te" -v b="$t7" 'BEGIN { printf "%.2f", a / b }')
  rd=$(awk -v a="$td" -v b="$t7" 'BEGIN { printf "%.2f", a / b }')
  printf 'round %d: 7z %s s, encode %s s (%s x), decode %s s (%s x)\n' "$r" "$t7" "$te" "$re" "$td" "$rd"
  enc+=("$re")
  dec+=("$rd")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { printf "%.2f x (%.2f to %.2f)", v[int((NR + 1) / 2)], v[1], v[NR] }'; }
printf 'median over %d rounds, against the time of 7z: encode %s, decode %s\n' "$rounds" "$(median "${enc[@]}")" "$(median "${dec[@]}")"
