#!/usr/bin/env bash
# The segmentation trick (-t1) in one run: every corpus file with -t0, -t1
# and -t1,(0)=0 against zpaq -m5 (the table of bench/sample_trick.sh),
# notepad.exe with -t3 beside them, the whole corpus as one tar, the
# analysis alone on every file (build/bench/segment_tool), and the
# analysis against the coding time on a file of about 100 MB made of the
# corpus files (generated here, deleted at the end).
#
#   bench/segment_trick.sh
#
# Environment: BUILD (default ./build), BENCH_TMP (default $TMPDIR or /tmp).

set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
CORPUS=$(cd "$here/../../shared/corpus" && pwd)
BUILD=$(cd "${BUILD:-./build}" && pwd)
WORK=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/segment-trick-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mapfile -t files < <(find "$CORPUS" -type f ! -name README.md | sort)

echo "## Every corpus file"
SWITCHES="-t0 -t1 -t1,(0)=0" "$here/sample_trick.sh" "${files[@]}"
SWITCHES="-t3" "$here/sample_trick.sh" "$CORPUS/x86/notepad.exe" | tail -2 | head -1

echo
echo "## The whole corpus as one tar"
tar cf "$WORK/corpus.tar" -C "$CORPUS/.." corpus
SWITCHES="-t0 -t1" "$here/sample_trick.sh" "$WORK/corpus.tar"

echo
echo "## The analysis alone"
"$BUILD/bench/segment_tool" "${files[@]}" "$WORK/corpus.tar" 2>&1 >/dev/null

echo
echo "## About 100 MB of corpus files: analysis against coding"
for i in 1 2 3 4; do cat "${files[@]}"; done >"$WORK/big.bin"
"$BUILD/bench/segment_tool" "$WORK/big.bin" 2>&1 >/dev/null
(cd "$WORK" && /usr/bin/time -f 'coding -t0: %e s, peak %M KB' "$BUILD/zubreca" e -t0 big.bin >/dev/null)
