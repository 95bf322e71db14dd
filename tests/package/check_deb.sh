#!/usr/bin/env bash
# Builds the Debian package, installs it into this machine with dpkg,
# checks the installed programs, manual pages and dictionary, and removes
# it again. Needs root (dpkg). Used by .ci/run.
#
#   tests/package/check_deb.sh BUILD_DIR
set -euo pipefail
source_dir=$(realpath "$(dirname "$0")/../..")
build=$(realpath -m "$1")

cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DZUBRECA_TESTS=OFF -DZUBRECA_BENCH=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && cpack >/dev/null)
package=$(ls "$build"/zubreca_*_amd64.deb)
echo "package: $package"

if dpkg -s zubreca >/dev/null 2>&1; then
  echo "zubreca is installed already; this check would replace it" >&2
  exit 1
fi
dpkg -i "$package" >/dev/null
removed=0
remove() { [ $removed -eq 1 ] || dpkg -r zubreca >/dev/null; removed=1; }
trap remove EXIT

work=$(mktemp -d)
trap 'remove; rm -rf "$work"' EXIT
cd "$work"
# The installed program on a file of its own folder, round trip.
cp "$source_dir/README.md" notes.md
/usr/bin/zubreca e notes.md >/dev/null
mv notes.md original.md
/usr/bin/zubreca d notes.zbr >/dev/null
cmp notes.md original.md
# The wiki trick finds the installed dictionary (there is none here).
head -c 20000 "$source_dir/FORMAT.md" >words.txt
/usr/bin/zubreca e -t2 words.txt >/dev/null
mv words.txt original.txt
/usr/bin/zubreca d words.zbr >/dev/null
cmp words.txt original.txt
# The dictionary builder, and both manual pages.
/usr/bin/zubreca-dict -omine.fsd original.txt >/dev/null
test -s mine.fsd
man -w zubreca >/dev/null
man -w zubreca-dict >/dev/null
manual=$(MANWIDTH=80 man zubreca 2>/dev/null)
grep -q "EnWiki.fsd" <<<"$manual"

remove
for path in /usr/bin/zubreca /usr/bin/zubreca-dict /usr/share/zubreca /usr/share/man/man1/zubreca.1; do
  if [ -e "$path" ]; then
    echo "$path is still there after dpkg -r" >&2
    exit 1
  fi
done
echo "the package installs, works and removes cleanly"
