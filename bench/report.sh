#!/usr/bin/env bash
# Regenerates the comparison in the README: every peer and zubreca, with
# every trick on the data classes it is made for, over the shared corpus
# by data class; writes bench/results/compare.md (the tables) and
# bench/results/compare.png (the plot).
#
#   bench/report.sh            (after cmake --build build)
#
# Takes about ten minutes on a 2-core machine; run it on a quiet machine,
# since the plot shows speeds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
corpus=${CORPUS:-$here/../../shared/corpus}
results=$here/results
mkdir -p "$results"

files=(
  text="$corpus/text/kjv.txt"
)
for name in alice29.txt asyoulik.txt cp.html fields.c grammar.lsp lcet10.txt plrabn12.txt xargs.1; do
  files+=(text="$corpus/canterbury/$name")
done
files+=(wiki="$corpus/wiki/enwiki-latest-pages-articles1.xml-p000000010p000010000-shortened.xml")
for path in "$corpus"/x86/* "$corpus"/samples/* "$corpus"/records/*; do files+=("$path"); done
files+=(mixed="$corpus/mixed/canterbury.tar")
for name in kennedy.xls ptt5 sum; do files+=(mixed="$corpus/canterbury/$name"); done

export TOOLS="zubreca zubreca:-t1@x86,mixed zubreca:-t1,(0)=0@mixed zubreca:-t2@wiki zubreca:-t3@x86 \
zubreca:-t4@samples zubreca:-t5@records 7z-ppmd zpaq xz zstd bzip2"
export PLOT=$results/compare.png
export ZUBRECA=${ZUBRECA:-$here/../build/zubreca}
{
  echo "# bench/compare.sh over the shared corpus by data class"
  echo
  echo "Run by bench/report.sh on $(date -u +%Y-%m-%d), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')."
  echo "Sizes in bytes; times are whole-process seconds of this run; every round trip was checked."
  echo
  "$here/compare.sh" "${files[@]}"
} >"$results/compare.md.new"
mv "$results/compare.md.new" "$results/compare.md"
echo "written: $results/compare.md, $results/compare.png" >&2
