#!/usr/bin/env bash
# Runs every fuzz target (or the TARGETs named) for SECONDS, JOBS at a
# time (default: one per core), and fails when any of them finds something.
#
#   fuzz/run_fuzzers.sh BUILD_DIR SECONDS [JOBS [TARGET...]]
#
# BUILD_DIR is a build with -DZUBRECA_FUZZ=ON (clang). Each target first
# replays the inputs kept in fuzz/regressions/TARGET (findings fixed
# earlier), then fuzzes from its seeds in fuzz/seeds and from its working
# corpus, kept between runs in $FUZZ_WORK (default BUILD_DIR/fuzz-work).
# A finding is written there as TARGET-crash-..., TARGET-timeout-... or
# TARGET-oom-..., with the target's log as TARGET.log.
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS [JOBS [TARGET...]]" >&2
  exit 2
fi
build=$(realpath "$1")
seconds=$2
jobs=${3:-$(nproc)}
shift $(($# < 3 ? $# : 3))
source_dir=$(realpath "$(dirname "$0")/..")
work=$(realpath -m "${FUZZ_WORK:-$build/fuzz-work}")
mkdir -p "$work"

# Each target and the folder of its seeds.
targets=(
  decode_archive_fuzzer:archive
  round_trip_fuzzer:round_trip
  decode_buffer_fuzzer:buffer
  decode_segments_fuzzer:segments
  decode_exe_fuzzer:exe
  decode_wiki_fuzzer:wiki
  decode_samples_fuzzer:samples
  load_model_fuzzer:model
  load_dictionary_fuzzer:dictionary
)

# Only the targets named, when some are.
if [ $# -gt 0 ]; then
  chosen=()
  for entry in "${targets[@]}"; do
    for name in "$@"; do [ "${entry%%:*}" = "$name" ] && chosen+=("$entry"); done
  done
  if [ ${#chosen[@]} -ne $# ]; then
    echo "unknown target among: $*" >&2
    exit 2
  fi
  targets=("${chosen[@]}")
fi

run_target() {
  local target=${1%%:*} seeds=$source_dir/fuzz/seeds/${1#*:}
  local binary=$build/fuzz/$target corpus=$work/$target-corpus log=$work/$target.log
  mkdir -p "$corpus"
  : >"$log"
  local regressions=$source_dir/fuzz/regressions/$target
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    if ! "$binary" "$regressions"/* >>"$log" 2>&1; then
      echo "$target: FAILED on a kept regression input (see $log)"
      return 1
    fi
  fi
  # -timeout: an input that takes this long is a hang. -rss_limit_mb: the
  # model block of an entry may be 2 GB, mapped but mostly untouched.
  "$binary" "$corpus" "$seeds" -max_total_time="$seconds" -timeout=120 -rss_limit_mb=3072 \
    -artifact_prefix="$work/$target-" -print_final_stats=1 >>"$log" 2>&1
  local status=$?
  local runs
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  if [ $status -ne 0 ]; then
    echo "$target: FAILED after ${runs:-?} runs (see $log)"
    return 1
  fi
  echo "$target: ${runs:-?} runs in $seconds s, no finding"
}
export -f run_target
export build source_dir work seconds

printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_target "$@"' _ {}
status=$?
[ $status -eq 0 ] && echo "every fuzz target ran $seconds s without a finding"
exit $status
