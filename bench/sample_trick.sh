#!/usr/bin/env bash
# The sample trick (-t4) and the record trick (-t5) against plain coding
# and zpaq -m5, in one run: archive size, ratio to -t0, encoding and
# decoding seconds, for each file. Every round trip is checked.
#
#   bench/sample_trick.sh [FILE...]
#
# Defaults: the samples and records of ../shared/corpus. Environment: BUILD
# (default ./build), BENCH_TMP (default $TMPDIR or /tmp), SWITCHES (default
# "-t0 -t4 -t4(1) -t5"; the first one is the base of the ratios). The
# table goes to standard output.

set -euo pipefail

CORPUS=$(cd "$(dirname "$0")/../../shared/corpus" 2>/dev/null && pwd || true)
if [ $# -eq 0 ]; then
  set -- "$CORPUS"/samples/front_stereo.wav "$CORPUS"/samples/front_center.wav \
    "$CORPUS"/samples/grace_hopper.ppm "$CORPUS"/samples/mri_s1045.ima \
    "$CORPUS"/records/include_paths.bin "$CORPUS"/records/libstdcxx_dynstr.bin
fi
BUILD=$(cd "${BUILD:-./build}" && pwd)
DICTIONARY=$(cd "$(dirname "$0")/.." && pwd)/dictionary/EnWiki.fsd
WORK=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/sample-trick-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
command -v /usr/bin/time >/dev/null || { apt-get update -qq && apt-get install -y -qq time; }
command -v zpaq >/dev/null || { apt-get update -qq && apt-get install -y -qq zpaq || true; }

echo '| file | bytes | switches | archive | / -t0 | / zpaq | encode s | decode s |'
echo '|---|---:|---|---:|---:|---:|---:|---:|'
for file in "$@"; do
  name=$(basename "$file")
  zpaq_size=
  if command -v zpaq >/dev/null; then
    rm -rf "$WORK/z" && mkdir -p "$WORK/z" && cp "$file" "$WORK/z/"
    (cd "$WORK/z" && zpaq a x.zpaq "$name" -m5 >/dev/null 2>&1)
    zpaq_size=$(stat -c %s "$WORK/z/x.zpaq")
  fi
  plain=
  for switch in ${SWITCHES:--t0 -t4 -t4(1) -t5}; do
    dir="$WORK/run"
    rm -rf "$dir" && mkdir -p "$dir/out"
    cp "$file" "$DICTIONARY" "$dir/" && cp "$DICTIONARY" "$dir/out/"
    enc=$(cd "$dir" && /usr/bin/time -f '%e' "$BUILD/zubreca" e "$switch" "$name" 2>&1 >/dev/null | tail -1)
    archive=$(ls "$dir"/*.zbr)
    size=$(stat -c %s "$archive")
    mv "$archive" "$dir/out/"
    dec=$(cd "$dir/out" && /usr/bin/time -f '%e' "$BUILD/zubreca" d "$(basename "$archive")" 2>&1 >/dev/null | tail -1)
    cmp -s "$dir/out/$name" "$file" || { echo "round trip failed: $name $switch" >&2; exit 1; }
    [ -z "$plain" ] && plain=$size
    vs_zpaq=-
    [ -n "$zpaq_size" ] && vs_zpaq=$(printf '%.3f' "$(echo "$size / $zpaq_size" | bc -l)")
    printf '| %s | %s | %s | %s | %.3f | %s | %s | %s |\n' "$name" "$(stat -c %s "$file")" "$switch" "$size" \
      "$(echo "$size / $plain" | bc -l)" "$vs_zpaq" "$enc" "$dec"
  done
  [ -n "$zpaq_size" ] && printf '| %s | | zpaq -m5 | %s | | | | |\n' "$name" "$zpaq_size"
done
