#!/usr/bin/env bash
# Coding speed on binary and high-entropy data, in one run: zubreca (-t0)
# against 7-Zip's PPM codec on 4,000,000 random bytes (made from a fixed
# seed), and against zpaq -m5 on audio, an image, a library and a
# spreadsheet. Prints a Markdown table of sizes and whole-process seconds
# with the ratios the targets are stated in; every round trip is checked.
#
# The machines this runs on are noisy: a single timing can be off by half.
# Each file therefore goes through ROUNDS rounds (default 5), each round
# encoding, decoding and running the peer once, one after the other, so
# that a slow spell of the machine falls on all three alike. The table
# gives the median of each time and, beside the ratios of the medians, the
# ratios' range over the rounds (each round's own time over its peer's).
#
#   bench/binary_speed.sh            (after cmake --build build)
#
# Environment: ZUBRECA (default ./build/zubreca), CORPUS (default
# ../shared/corpus beside the repository), ROUNDS (default 5).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
zubreca=$(realpath "${ZUBRECA:-$here/../build/zubreca}")
corpus=$(realpath "${CORPUS:-$here/../../shared/corpus}")
for tool in 7z zpaq; do
  command -v $tool >/dev/null || { echo "needs $tool (p7zip-full, zpaq)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Whole-process seconds of a command run in $1.
seconds() {
  local dir=$1
  shift
  (cd "$dir" && /usr/bin/time -f %e -o "$work/time" "$@" </dev/null >/dev/null 2>&1)
  cat "$work/time"
}

python3 -c '
import random, sys
random.seed(20261209)
sys.stdout.buffer.write(random.getrandbits(8 * 4000000).to_bytes(4000000, "little"))' >"$work/random.bin"

rounds=${ROUNDS:-5}
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "ROUNDS must be a positive number" >&2; exit 2; }

# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# The smallest and largest of the round-by-round ratios a[i] / b[i]: "min to max".
ratio_range() {
  local -n num=$1 den=$2
  local i lo= hi= r
  for i in "${!num[@]}"; do
    r=$(ratio "${num[$i]}" "${den[$i]}")
    if [ -z "$lo" ] || awk -v r="$r" -v m="$lo" 'BEGIN { exit !(r < m) }'; then lo=$r; fi
    if [ -z "$hi" ] || awk -v r="$r" -v m="$hi" 'BEGIN { exit !(r > m) }'; then hi=$r; fi
  done
  echo "$lo to $hi"
}

echo "Medians of $rounds rounds."
echo
echo "| file | bytes | zubreca | enc s | dec s | peer | peer bytes | peer s | enc / peer | dec / peer | enc / peer, by round | dec / peer, by round |"
echo "|---|---:|---:|---:|---:|---|---:|---:|---:|---:|---|---|"
for path in "$work/random.bin" "$corpus/samples/front_stereo.wav" "$corpus/samples/grace_hopper.ppm" \
  "$corpus/x86/libc.so.6" "$corpus/canterbury/kennedy.xls"; do
  name=$(basename "$path")
  bytes=$(stat -c %s "$path")
  archive=${name%.*}.zbr
  encs=() decs=() peers=()
  for ((round = 0; round < rounds; round++)); do
    for d in enc dec peer; do rm -rf "$work/$d" && mkdir "$work/$d"; done
    cp "$path" "$work/enc/$name"
    encs+=("$(seconds "$work/enc" "$zubreca" e "$name")")
    size=$(stat -c %s "$work/enc/$archive")
    cp "$work/enc/$archive" "$work/dec/"
    decs+=("$(seconds "$work/dec" "$zubreca" d "$archive")")
    cmp -s "$path" "$work/dec/$name" || { echo "round trip failed: $name" >&2; exit 1; }
    cp "$path" "$work/peer/$name"
    if [ "$name" = random.bin ]; then
      peer="7z PPMd"
      peers+=("$(seconds "$work/peer" 7z a -bd -m0=PPMd:mem=256m:o=32 arc.7z "$name")")
      peer_size=$(stat -c %s "$work/peer/arc.7z")
    else
      peer="zpaq -m5"
      peers+=("$(seconds "$work/peer" zpaq a arc.zpaq "$name" -m5)")
      peer_size=$(stat -c %s "$work/peer/arc.zpaq")
    fi
  done
  enc=$(median "${encs[@]}")
  dec=$(median "${decs[@]}")
  peer_s=$(median "${peers[@]}")
  echo "| $name | $bytes | $size | $enc | $dec | $peer | $peer_size | $peer_s | $(ratio "$enc" "$peer_s") | $(ratio "$dec" "$peer_s") | $(ratio_range encs peers) | $(ratio_range decs peers) |"
done
echo
echo "Targets: random at most 2 x 7-Zip's time and at most input + 64 bytes; the others at most 0.5 x zpaq's time, both ways."
