#!/usr/bin/env bash
# The executable trick (-t3) against plain coding and zpaq -m5, in one run:
# the table of bench/sample_trick.sh for the x86 corpus files.
#
#   bench/exe_trick.sh [FILE...]
#
# Environment: as bench/sample_trick.sh.

set -euo pipefail
here=$(dirname "$0")
CORPUS=$(cd "$here/../../shared/corpus" 2>/dev/null && pwd || true)
if [ $# -eq 0 ]; then
  set -- "$CORPUS"/x86/kernel32.dll "$CORPUS"/x86/libc.so.6 "$CORPUS"/x86/notepad.exe
fi
SWITCHES="-t0 -t3" exec "$here/sample_trick.sh" "$@"
