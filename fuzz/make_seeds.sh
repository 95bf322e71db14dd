#!/usr/bin/env bash
# Rebuilds every seed folder of fuzz/seeds from ../shared/corpus.
#
#   fuzz/make_seeds.sh BUILD_DIR
#
# BUILD_DIR is a build with -DZUBRECA_FUZZ=ON, which holds the seed
# programs. The seeds are small on purpose (a few KB each): pieces of real
# files, enough to reach every path of a decoder.
set -euo pipefail
build=$(realpath "$1")
seeds=$(realpath "$(dirname "$0")")/seeds
rm -rf "$seeds"
mkdir -p "$seeds"/{wiki,exe,segments}
"$build"/fuzz/make_wiki_seeds "$seeds"/wiki
"$build"/fuzz/make_exe_seeds "$seeds"/exe
"$build"/fuzz/make_segment_seeds "$seeds"/segments
python3 "$(dirname "$0")"/make_sample_seeds.py
"$build"/fuzz/make_fuzz_seeds "$seeds"
du -sh "$seeds"/*
