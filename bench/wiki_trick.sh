#!/usr/bin/env bash
# The wiki trick on a dump against plain coding, in one run: the archive
# size, encoding and decoding seconds and peak memory with -t0, with -t2 and
# with -t2 less each option bit in turn, and zpaq -m5 for reference. The
# dictionary is built with zubreca-dict from TRAINING only, so that the
# benchmark dump is not in its training data. Every round trip is checked.
#
#   bench/wiki_trick.sh [DUMP [TRAINING]]
#
# Defaults: the larger wiki sample of ../shared/corpus, trained on the
# smaller one. Environment: BUILD (default ./build), BENCH_TMP (default
# $TMPDIR or /tmp). The table goes to standard output.

set -euo pipefail

CORPUS=$(cd "$(dirname "$0")/../../shared/corpus" 2>/dev/null && pwd || true)
DUMP=${1:-$CORPUS/wiki/enwiki-latest-pages-articles1.xml-p000000010p000030302-shortened.xml}
TRAINING=${2:-$CORPUS/wiki/enwiki-latest-pages-articles1.xml-p000000010p000010000-shortened.xml}
BUILD=$(cd "${BUILD:-./build}" && pwd)
WORK=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/wiki-trick-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
command -v /usr/bin/time >/dev/null || { apt-get update -qq && apt-get install -y -qq time; }

cp "$DUMP" "$WORK/dump.xml"
(cd "$WORK" && "$BUILD/zubreca-dict" "$TRAINING" >/dev/null)
printf 'dump: %s (%s bytes); dictionary from %s (%s bytes)\n\n' "$(basename "$DUMP")" \
  "$(stat -c %s "$DUMP")" "$(basename "$TRAINING")" "$(stat -c %s "$WORK/EnWiki.fsd")"
echo '| switches | bytes | / -t0 | encode s | decode s | encode MB | decode MB |'
echo '|---|---:|---:|---:|---:|---:|---:|'

plain=0
for switch in -t0 -t2 '-t2(23)' '-t2(27)' '-t2(29)' '-t2(30)'; do
  dir="$WORK/run"
  rm -rf "$dir" && mkdir -p "$dir/out"
  cp "$WORK/dump.xml" "$WORK/EnWiki.fsd" "$dir/"
  cp "$WORK/EnWiki.fsd" "$dir/out/"
  enc=$(cd "$dir" && /usr/bin/time -f '%e %M' "$BUILD/zubreca" e "$switch" dump.xml 2>&1 >/dev/null | tail -1)
  size=$(stat -c %s "$dir/dump.zbr")
  mv "$dir/dump.zbr" "$dir/out/"
  dec=$(cd "$dir/out" && /usr/bin/time -f '%e %M' "$BUILD/zubreca" d dump.zbr 2>&1 >/dev/null | tail -1)
  cmp -s "$dir/out/dump.xml" "$WORK/dump.xml" || { echo "round trip failed with $switch" >&2; exit 1; }
  [ "$plain" = 0 ] && plain=$size
  read -r enc_s enc_kb <<<"$enc"
  read -r dec_s dec_kb <<<"$dec"
  printf '| %s | %s | %.4f | %s | %s | %d | %d |\n' "$switch" "$size" "$(echo "$size / $plain" | bc -l)" \
    "$enc_s" "$dec_s" $((enc_kb / 1024)) $((dec_kb / 1024))
done

if command -v zpaq >/dev/null; then
  (cd "$WORK" && zpaq a dump.zpaq dump.xml -m5 >/dev/null 2>&1)
  printf '\nzpaq -m5: %s bytes\n' "$(stat -c %s "$WORK/dump.zpaq")"
fi
