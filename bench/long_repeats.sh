#!/usr/bin/env bash
# Long-range repeats, in one run: a tar of canterbury/ and mixed/ (whose
# canterbury.tar repeats the Canterbury files byte for byte) and a tar of
# the whole corpus, coded by zubreca (-t0) and by xz -9e, with the round
# trips checked. Prints a Markdown table of sizes and whole-process seconds
# and zubreca's peak memory.
#
#   bench/long_repeats.sh            (after cmake --build build)
#
# Environment: ZUBRECA (default ./build/zubreca), CORPUS (default
# ../shared/corpus beside the repository).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
zubreca=$(realpath "${ZUBRECA:-$here/../build/zubreca}")
corpus=$(realpath "${CORPUS:-$here/../../shared/corpus}")
command -v xz >/dev/null || { echo "needs xz (xz-utils)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Whole-process seconds and peak kilobytes of a command run in $1.
measure() {
  local dir=$1
  shift
  (cd "$dir" && /usr/bin/time -f "%e %M" -o "$work/time" "$@" </dev/null >/dev/null 2>&1)
  cat "$work/time"
}

# Fixed owner, modes and times, so that every run codes the same bytes.
tar_of() {
  local out=$1
  shift
  (cd "$corpus" && tar --sort=name --owner=0 --group=0 --numeric-owner --mode=a+r,u+w \
    --mtime=@1600000000 -cf "$out" "$@")
}
tar_of "$work/cm.tar" canterbury mixed
tar_of "$work/corpus.tar" .

echo "| input | bytes | zubreca | enc s | dec s | peak MB | xz -9e | zubreca / xz |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
for name in cm.tar corpus.tar; do
  bytes=$(stat -c %s "$work/$name")
  for d in enc dec; do rm -rf "${work:?}/$d" && mkdir "$work/$d"; done
  cp "$work/$name" "$work/enc/"
  read -r enc peak < <(measure "$work/enc" "$zubreca" e -t0 "$name")
  archive=${name%.*}.zbr
  size=$(stat -c %s "$work/enc/$archive")
  cp "$work/enc/$archive" "$work/dec/"
  read -r dec _ < <(measure "$work/dec" "$zubreca" d "$archive")
  cmp -s "$work/$name" "$work/dec/$name" || { echo "round trip failed: $name" >&2; exit 1; }
  xz_size=$(xz -9e -T1 -c "$work/$name" | wc -c)
  echo "| $name | $bytes | $size | $enc | $dec | $((peak / 1024)) | $xz_size | $(awk -v a="$size" -v b="$xz_size" 'BEGIN { printf "%.3f", a / b }') |"
done
