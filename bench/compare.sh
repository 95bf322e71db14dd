#!/usr/bin/env bash
# Compares zubreca with other compressors on the given files: compressed
# size, bits per byte, zubreca's size relative to each peer, compression and
# decompression seconds and peak memory. Every round trip is checked with
# cmp; any failure makes the script exit with status 1 (after the tables).
#
#   bench/compare.sh [CLASS=]FILE...
#
# A file's data class is CLASS, or else the name of its folder. Besides the
# table per file, a table per class sums each tool's files of that class:
# bits per byte and compression and decompression speed.
#
# Environment:
#   ZUBRECA       the zubreca binary (default: ./build/zubreca)
#   ZUBRECA_ARGS  extra switches for zubreca's encoder, e.g. "-m1024 -o16"
#   TOOLS         the tools to run, in table order
#                 (default: "zubreca 7z-ppmd zpaq xz zstd bzip2").
#                 zubreca:SWITCH@CLASS,... runs zubreca with one more
#                 switch (a trick, e.g. zubreca:-t3@x86) on the files of
#                 those classes only; without @ on every file.
#   PLOT          write a PNG plot there: bits per byte against compression
#                 speed, one point per tool and data class (gnuplot)
#   BENCH_TMP     where the work directories go (default: $TMPDIR or /tmp)
#
# The tables go to standard output, progress to standard error. Missing
# peers (and gnuplot) are installed from Debian packages.

set -uo pipefail

if [ $# -eq 0 ]; then
  sed -n '2,27p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi

ZUBRECA=${ZUBRECA:-./build/zubreca}
PLOT=${PLOT:-}
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
    gnuplot) echo gnuplot-nox ;;
  esac
}

command_of() {
  case "$1" in
    7z-ppmd) echo 7z ;;
    zubreca:*) echo zubreca ;;
    *) echo "$1" ;;
  esac
}

# The switch of a zubreca:SWITCH@CLASSES tool, and its classes (empty:
# every class).
switch_of() { local t=${1#zubreca:}; echo "${t%%@*}"; }
classes_of() { case "$1" in *@*) echo "${1#*@}" ;; esac; }
# What a tool is called in the tables.
label_of() {
  case "$1" in
    zubreca:*) echo "zubreca $(switch_of "$1")" ;;
    *) echo "$1" ;;
  esac
}
# Whether tool $1 runs on files of class $2.
applies() {
  local classes
  classes=$(classes_of "$1")
  [ -z "$classes" ] || [[ ",$classes," == *",$2,"* ]]
}

install_missing() {
  local missing=() tool cmd
  [ -x "$TIME" ] || missing+=("$(package_of time)")
  [ -n "$PLOT" ] && ! command -v gnuplot >/dev/null 2>&1 && missing+=("$(package_of gnuplot)")
  for tool in $TOOLS; do
    cmd=$(command_of "$tool")
    [ "$cmd" = zubreca ] && continue
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
  *" zubreca "* | *" zubreca:"*)
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
    zubreca:*) timed "$dir" "$ZUBRECA" e "${ZUBRECA_SWITCHES[@]}" "$(switch_of "$tool")" "$name" ;;
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
    zubreca | zubreca:*) timed "$dir" "$ZUBRECA" d "$archive" ;;
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

DICTIONARY=$(realpath "$(dirname "$0")/../dictionary/EnWiki.fsd")
declare -A CLASS
CLASSES=()

for argument in "$@"; do
  file=$argument
  class=""
  if [[ $argument == *=* && ! -f $argument ]]; then
    class=${argument%%=*}
    file=${argument#*=}
  fi
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
  [ -n "$class" ] || class=$(basename "$(dirname "$path")")
  CLASS[$path]=$class
  [[ " ${CLASSES[*]} " == *" $class "* ]] || CLASSES+=("$class")
  for tool in $TOOLS; do
    key="$path|$tool"
    if ! applies "$tool" "$class"; then
      SIZE[$key]=SKIP
      continue
    fi
    say "$tool: $name"
    cdir=$(fresh_dir)
    ddir=$(fresh_dir)
    cp "$path" "$cdir/$name"
    # The wiki trick reads its dictionary from the current directory.
    if [ "$(command_of "$tool")" = zubreca ]; then
      ln -s "$DICTIONARY" "$cdir/EnWiki.fsd"
      ln -s "$DICTIONARY" "$ddir/EnWiki.fsd"
    fi
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

# --- the tables ---------------------------------------------------------------

bpb() { awk -v s="$1" -v n="$2" 'BEGIN { if (n > 0) printf "%.3f", 8 * s / n; else printf "-" }'; }
ratio() { awk -v z="$1" -v p="$2" 'BEGIN { if (p > 0 && z != "") printf "%.3f", z / p; else printf "-" }'; }
speed() { awk -v n="$1" -v t="$2" 'BEGIN { if (t > 0) printf "%.2f", n / t / 1e6; else printf "-" }'; }
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
    label=$(label_of "$tool")
    if is_number "$size"; then
      echo "| $name | $bytes | $label | $size | $(bpb "$size" "$bytes") | $(ratio "$zsize" "$size") |" \
        "${ENC[$key]} | ${DEC[$key]} | ${ENCMB[$key]} | ${DECMB[$key]} |"
    elif [ "$size" != SKIP ]; then
      echo "| $name | $bytes | $label | $size | - | - | - | - | - | - |"
    fi
  done
done

# The totals of a tool that runs on every file cover the files every such
# tool got through, so that they compare; a tool for some classes only is
# summed over its own files.
all_ok=1
for tool in $TOOLS; do
  [ -z "$(classes_of "$tool")" ] && [ "${OK_FILES[$tool]}" -ne "${#FILES[@]}" ] && all_ok=0
done
echo
echo "| total | bytes | tool | compressed | bpb | zubreca/tool | comp s | decomp s | max MB |"
echo "|---|---:|---|---:|---:|---:|---:|---:|---:|"
for tool in $TOOLS; do
  covered=0
  for path in "${FILES[@]}"; do
    applies "$tool" "${CLASS[$path]}" && covered=$((covered + $(stat -c %s "$path")))
  done
  zt=""
  if [ "$all_ok" -eq 1 ] && [ -z "$(classes_of "$tool")" ]; then
    case " $TOOLS " in *" zubreca "*) zt=${TOTAL_SIZE[zubreca]} ;; esac
  fi
  echo "| ${OK_FILES[$tool]} files | $covered | $(label_of "$tool") | ${TOTAL_SIZE[$tool]} |" \
    "$(bpb "${TOTAL_SIZE[$tool]}" "$covered") | $(ratio "$zt" "${TOTAL_SIZE[$tool]}") |" \
    "${TOTAL_ENC[$tool]} | ${TOTAL_DEC[$tool]} | ${MAX_MB[$tool]} |"
done

# Per data class: each tool's files of the class that came back whole.
POINTS=$WORK/points
: >"$POINTS"
echo
echo "| class | bytes | tool | compressed | bpb | comp MB/s | decomp MB/s |"
echo "|---|---:|---|---:|---:|---:|---:|"
for class in "${CLASSES[@]}"; do
  for tool in $TOOLS; do
    applies "$tool" "$class" || continue
    in=0 out=0 enc=0 dec=0
    for path in "${FILES[@]}"; do
      [ "${CLASS[$path]}" = "$class" ] || continue
      size=${SIZE["$path|$tool"]:-FAIL}
      is_number "$size" || continue
      in=$((in + $(stat -c %s "$path")))
      out=$((out + size))
      enc=$(awk -v a="$enc" -v b="${ENC["$path|$tool"]}" 'BEGIN { print a + b }')
      dec=$(awk -v a="$dec" -v b="${DEC["$path|$tool"]}" 'BEGIN { print a + b }')
    done
    [ "$in" -gt 0 ] || continue
    label=$(label_of "$tool")
    echo "| $class | $in | $label | $out | $(bpb "$out" "$in") | $(speed "$in" "$enc") | $(speed "$in" "$dec") |"
    # A time of 0 (below the timer's 10 ms) has no place on a log axis.
    [ "$(speed "$in" "$enc")" = - ] || printf '%s\t"%s"\t%s\t%s\n' "$class" "$label" "$(bpb "$out" "$in")" \
      "$(speed "$in" "$enc")" >>"$POINTS"
  done
done

if [ -n "$PLOT" ]; then
  # One data block per class, so that each class has its colour.
  blocks=$WORK/blocks
  : >"$blocks"
  titles=()
  for class in "${CLASSES[@]}"; do
    grep -q "^$class	" "$POINTS" || continue
    grep "^$class	" "$POINTS" | cut -f2- >>"$blocks"
    printf '\n\n' >>"$blocks"
    titles+=("$class")
  done
  {
    echo "set terminal pngcairo size 1100,750 font 'DejaVu Sans,10'"
    echo "set output '$PLOT'"
    echo "set title 'Bits per byte against compression speed, per data class (lower right is better)'"
    echo "set xlabel 'compression speed, MB/s (log scale)'"
    echo "set ylabel 'bits per byte'"
    echo "set logscale x"
    echo "set grid"
    echo "set key outside right top"
    echo "set datafile separator '\t'"
    printf "plot "
    for i in "${!titles[@]}"; do
      [ "$i" -gt 0 ] && printf ", "
      printf "'%s' index %d using 3:2 with points pt 7 ps 1.3 lc %d title '%s', " "$blocks" "$i" "$((i + 1))" "${titles[$i]}"
      printf "'' index %d using 3:2:1 with labels offset 0.8,0.5 left font ',8' tc lt %d notitle" "$i" "$((i + 1))"
    done
    echo
  } >"$WORK/plot.gp"
  if gnuplot "$WORK/plot.gp"; then
    say "plot written to $PLOT"
  else
    say "gnuplot failed"
    failures=$((failures + 1))
  fi
fi

if [ "$failures" -ne 0 ]; then
  say "$failures failure(s)"
  exit 1
fi
exit 0
