#!/usr/bin/env bash
# Rebuilds dictionary/EnWiki.fsd, the word dictionary shipped with the
# program, from the two English Wikipedia samples of the shared corpus.
#
#   dictionary/build.sh [BUILD_DIR]     (default: ./build, built first)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
cmake --build "$BUILD" --target zubreca-dict >/dev/null
WIKI=../shared/corpus/wiki
cd dictionary
"../$BUILD/zubreca-dict" \
  "../$WIKI/enwiki-latest-pages-articles1.xml-p000000010p000010000-shortened.xml" \
  "../$WIKI/enwiki-latest-pages-articles1.xml-p000000010p000030302-shortened.xml"
