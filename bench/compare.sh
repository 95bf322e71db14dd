#!/usr/bin/env bash
# Compares zubreca with other compressors on the given files: compressed
# size, bits per byte, zubreca's size relative to each peer, compression and
# decompression seconds and peak memory. Every round trip is checked with
# cmp; any failure makes the script exit with status 1 (after the table).
#
#   bench/compare.sh FILE...
#
# Environment:
#   ZUBRECA       the zubreca binary (default: ./build/zubreca)
#   ZUBRECA_ARGS  extra switches for zubreca's encoder, e.g. "-m1024 -o16"
#   TOOLS         the tools to run, in table order
#                 (default: "zubreca 7z-ppmd zpaq xz zstd bzip2")
#   BENCH_TMP     where the work directories go (default: $TMPDIR or /tmp)
#
# The table goes to standard output, progress to standard error. Missing
# peers are installed from Debian packages.

set -uo pipefail

if [ $# -eq 0 ]; then
  sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi

ZUBRECA=${ZUBRECA:-./build/zubreca}
ZUBRECA_ARGS=${ZUBRECA_ARGS:-}
read -r -a ZUBRECA_SWITCHES <<<"$ZUBRECA_ARGS"
TOOLS=${TOOLS:-"zubreca 7z-ppmd zpaq xz zstd bzip2"}
TIME=/usr/bin/time

say() { printf '%s\n' "$*" >&2; }

# --- tools ------------------------------------------------------------------

package_of() {
  case "$1" in
    7z) echo p7zip-full ;;
    zpaq) echo zpaq ;;
    xz) echo xz-utils ;;
    zstd) echo zstd ;;
    bzip2) echo bzip2 ;;
    time) echo time ;;
  esac
}

command_of() {
  case "$1" in
    7z-ppmd) echo 7z ;;
    *) echo "$1" ;;
  esac
}

install_missing() {
  local missing=() tool cmd
  [ -x "$TIME" ] || missing+=("$(package_of time)")
  for tool in $TOOLS; do
    [ "$tool" = zubreca ] && continue
    cmd=$(command_of "$tool")
    case "$cmd" in
      7z | zpaq | xz | zstd | bzip2) ;;
      *)
        say "unknown tool: $tool"
        exit 2
        ;;
    esac
    command -v "$cmd" >/dev/null 2>&1 || missing+=("$(package_of "$cmd")")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  if ! "${sudo[@]}" apt-get update -qq >&2 ||
    ! DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >&2; then
    say "could not install ${missing[*]}"
    exit 2
  fi
}

case " $TOOLS " in
  *" zubreca "*)
    if [ ! -x "$ZUBRECA" ]; then
      say "zubreca binary not found at $ZUBRECA (set ZUBRECA)"
      exit 2
    fi
    ZUBRECA=$(realpath "$ZUBRECA")
    ;;
esac
install_missing

# --- work directories ---------------------------------------------------------

WORK=$(mktemp -d "${BENCH_TMP:-${TMPDIR:-/tmp}}/zubreca-compare.XXXXXX") || exit 2
trap 'rm -rf "$WORK"' EXIT
fresh_dir() { mktemp -d "$WORK/run.XXXXXX"; }

# Runs a command in directory $1 under /usr/bin/time, its output discarded.
# Sets SECONDS_USED and PEAK_KB; returns the command's status.
timed() {
  local dir=$1 status
  shift
  (cd "$dir" && "$TIME" -f '%e %M' -o "$WORK/time" "$@" </dev/null >/dev/null 2>"$WORK/stderr")
  status=$?
  # After a failure time writes "Command exited with non-zero status N"
  # before the figures.
  SECONDS_USED=0
  PEAK_KB=0
  [ -s "$WORK/time" ] && read -r SECONDS_USED PEAK_KB < <(tail -n 1 "$WORK/time")
  if [ "$status" -ne 0 ]; then
    say "  command failed ($status): $*"
    sed 's/^/    /' "$WORK/stderr" | head -n 5 >&2
  fi
  return "$status"
}

# compress TOOL NAME DIR: leaves exactly one archive file in DIR and sets
# ARCHIVE to its name. decompress TOOL ARCHIVE DIR NAME: leaves NAME in DIR.
compress() {
  local tool=$1 name=$2 dir=$3
  case "$tool" in
    zubreca) timed "$dir" "$ZUBRECA" e "${ZUBRECA_SWITCHES[@]}" "$name" ;;
    7z-ppmd) timed "$dir" 7z a -bd -m0=PPMd:mem=256m:o=32 arc.7z "$name" ;;
    zpaq) timed "$dir" zpaq a arc.zpaq "$name" -m5 ;;
    xz) timed "$dir" xz -9e -k "$name" ;;
    zstd) timed "$dir" zstd -q --ultra -22 --long=27 -k "$name" -o "$name.zst" ;;
    bzip2) timed "$dir" bzip2 -9 -k "$name" ;;
  esac || return 1
  local made
  made=$(cd "$dir" && find . -maxdepth 1 -type f ! -name "$name" -printf '%f\n')
  if [ "$(printf '%s\n' "$made" | grep -c .)" -ne 1 ]; then
    say "  $tool did not leave one archive: ${made:-nothing}"
    return 1
  fi
  ARCHIVE=$made
}

decompress() {
  local tool=$1 archive=$2 dir=$3 name=$4
  case "$tool" in
    zubreca) timed "$dir" "$ZUBRECA" d "$archive" ;;
    7z-ppmd) timed "$dir" 7z x -bd "$archive" ;;
    zpaq) timed "$dir" zpaq x "$archive" ;;
    xz) timed "$dir" xz -d -k "$archive" ;;
    zstd) timed "$dir" zstd -q -d --long=27 "$archive" -o "$name" ;;
    bzip2) timed "$dir" bzip2 -d -k "$archive" ;;
  esac
}

# --- the runs -------------------------------------------------------------------

failures=0
declare -A SIZE ENC DEC ENCMB DECMB TOTAL_SIZE TOTAL_ENC TOTAL_DEC MAX_MB OK_FILES
TOTAL_BYTES=0
FILES=()

for tool in $TOOLS; do
  TOTAL_SIZE[$tool]=0
  TOTAL_ENC[$tool]=0
  TOTAL_DEC[$tool]=0
  MAX_MB[$tool]=0
  OK_FILES[$tool]=0
done

for file in "$@"; do
  if [ ! -f "$file" ]; then
    say "not a file: $file"
    failures=$((failures + 1))
    continue
  fi
  path=$(realpath "$file")
  name=$(basename "$path")
  bytes=$(stat -c %s "$path")
  FILES+=("$path")
  TOTAL_BYTES=$((TOTAL_BYTES + bytes))
  for tool in $TOOLS; do
    key="$path|$tool"
    say "$tool: $name"
    cdir=$(fresh_dir)
    ddir=$(fresh_dir)
    cp "$path" "$cdir/$name"
    if ! compress "$tool" "$name" "$cdir"; then
      SIZE[$key]=FAIL
      failures=$((failures + 1))
      rm -rf "$cdir" "$ddir"
      continue
    fi
    ENC[$key]=$SECONDS_USED
    ENCMB[$key]=$((PEAK_KB / 1024))
    archive=$ARCHIVE
    SIZE[$key]=$(stat -c %s "$cdir/$archive")
    cp "$cdir/$archive" "$ddir/$archive"
    rm -rf "$cdir"
    if ! decompress "$tool" "$archive" "$ddir" "$name" || ! cmp -s "$path" "$ddir/$name"; then
      say "  ROUND TRIP FAILED: $tool on $name"
      SIZE[$key]="FAIL(${SIZE[$key]})"
      failures=$((failures + 1))
      rm -rf "$ddir"
      continue
    fi
    DEC[$key]=$SECONDS_USED
    DECMB[$key]=$((PEAK_KB / 1024))
    rm -rf "$ddir"
    TOTAL_SIZE[$tool]=$((TOTAL_SIZE[$tool] + SIZE[$key]))
    TOTAL_ENC[$tool]=$(awk -v a="${TOTAL_ENC[$tool]}" -v b="${ENC[$key]}" 'BEGIN { printf "%.2f", a + b }')
    TOTAL_DEC[$tool]=$(awk -v a="${TOTAL_DEC[$tool]}" -v b="${DEC[$key]}" 'BEGIN { printf "%.2f", a + b }')
    for mb in "${ENCMB[$key]}" "${DECMB[$key]}"; do
      [ "$mb" -gt "${MAX_MB[$tool]}" ] && MAX_MB[$tool]=$mb
    done
    OK_FILES[$tool]=$((OK_FILES[$tool] + 1))
  done
done

# --- the table ------------------------------------------------------------------

bpb() { awk -v s="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.3f", 8 * s / n; else printf "-" }'; }
ratio() { awk -v z="$1" -v p="$2" 'BEGIN { if (p > 0 && z != "") printf "%.3f", z / p; else printf "-" }'; }
is_number() { [[ $1 =~ ^[0-9]+$ ]]; }

echo "| file | bytes | tool | compressed | bpb | zubreca/tool | comp s | decomp s | comp MB | decomp MB |"
echo "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|"
for path in "${FILES[@]}"; do
  name=$(basename "$path")
  bytes=$(stat -c %s "$path")
  zsize=${SIZE["$path|zubreca"]:-}
  is_number "$zsize" || zsize=""
  for tool in $TOOLS; do
    key="$path|$tool"
    size=${SIZE[$key]:-FAIL}
    if is_number "$size"; then
      echo "| $name | $bytes | $tool | $size | $(bpb "$size" "$bytes") | $(ratio "$zsize" "$size") |" \
        "${ENC[$key]} | ${DEC[$key]} | ${ENCMB[$key]} | ${DECMB[$key]} |"
    else
      echo "| $name | $bytes | $tool | $size | - | - | - | - | - | - |"
    fi
  done
done

# Totals cover the files every tool got through, so that they compare.
all_ok=1
for tool in $TOOLS; do [ "${OK_FILES[$tool]}" -eq "${#FILES[@]}" ] || all_ok=0; done
echo
echo "| total ($((${#FILES[@]})) files) | bytes | tool | compressed | bpb | zubreca/tool | comp s | decomp s | max MB |"
echo "|---|---:|---|---:|---:|---:|---:|---:|---:|"
for tool in $TOOLS; do
  zt=""
  [ "$all_ok" -eq 1 ] && case " $TOOLS " in *" zubreca "*) zt=${TOTAL_SIZE[zubreca]} ;; esac
  note=""
  [ "${OK_FILES[$tool]}" -eq "${#FILES[@]}" ] || note=" (${OK_FILES[$tool]} ok)"
  echo "| total | $TOTAL_BYTES | $tool$note | ${TOTAL_SIZE[$tool]} | $(bpb "${TOTAL_SIZE[$tool]}" "$TOTAL_BYTES") |" \
    "$(ratio "$zt" "${TOTAL_SIZE[$tool]}") | ${TOTAL_ENC[$tool]} | ${TOTAL_DEC[$tool]} | ${MAX_MB[$tool]} |"
done

if [ "$failures" -ne 0 ]; then
  say "$failures failure(s)"
  exit 1
fi
exit 0
