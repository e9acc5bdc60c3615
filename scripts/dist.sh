#!/usr/bin/env bash
# Packs the release from the DLLs that `make dll` built.
# Usage: dist.sh BUILD OUT, with the DLLs in BUILD/windows and BUILD/windows64.
# OUT gets PYXRemote-<version>-win32.zip and -win64.zip, each unpacking
# into a folder of its own name, each with a -symbols.zip of its debug
# information that unpacks into the same folder, and SHA256SUMS. Text files
# are made from their one source in the repository, with CR LF line ends.
# Every entry has a fixed time (the commit's), fixed permissions and a fixed
# place, so the same commit packs to the same bytes wherever it is built.
set -euo pipefail
mkdir -p "$2"
build=$(cd "$1" && pwd)
out=$(cd "$2" && pwd)
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(PYXRemote VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}
stage=$out/stage
rm -rf "${out:?}"/*
mkdir -p "$stage"

# Windows text: CR LF line ends.
crlf() { sed 's/\r*$/\r/' "$@"; }

# zip_fixed ZIP DIR FILE...: FILE... of DIR, in that order, as they are.
zip_fixed() {
  local zip=$1 dir=$2
  shift 2
  (cd "$dir" && chmod 644 "$@" && touch -d "@$epoch" "$@" && TZ=UTC zip -X -q -D "$zip" "$@")
}

for bits in 32 64; do
  if [ $bits = 32 ]; then folder=windows; else folder=windows64; fi
  name=PYXRemote-$version-win$bits
  dir=$stage/release$bits/$name
  mkdir -p "$dir/examples" "$stage/symbols$bits/$name"
  cp "$build/$folder/PYXRemote.dll" "$build/$folder/remote-host.exe" "$dir/"
  cp "$build/$folder/PYXRemote.dll.debug" "$stage/symbols$bits/$name/"
  crlf include/pyxremote.h >"$dir/pyxremote.h"
  crlf release/pyx.ini >"$dir/pyx.ini"
  { printf 'PYXRemote %s, %s-bit\n\n' "$version" "$bits"; scripts/md2txt.sh docs/user-guide.md; } |
    crlf >"$dir/README.txt"
  scripts/md2txt.sh docs/host-guide.md | crlf >"$dir/HOST-GUIDE.txt"
  scripts/md2txt.sh CHANGELOG.md | crlf >"$dir/CHANGELOG.txt"
  crlf LICENSE >"$dir/LICENSE.txt"
  crlf examples/host.c >"$dir/examples/host.c"
  crlf examples/host.cpp >"$dir/examples/host.cpp"
  zip_fixed "$out/$name.zip" "$stage/release$bits" "$name/PYXRemote.dll" "$name/pyxremote.h" \
    "$name/pyx.ini" "$name/README.txt" "$name/HOST-GUIDE.txt" "$name/CHANGELOG.txt" \
    "$name/LICENSE.txt" "$name/examples/host.c" "$name/examples/host.cpp" "$name/remote-host.exe"
  zip_fixed "$out/$name-symbols.zip" "$stage/symbols$bits" "$name/PYXRemote.dll.debug"
done
rm -rf "$stage"
(cd "$out" && sha256sum -- *.zip >SHA256SUMS)
echo "release $version in $out:"
(cd "$out" && ls -l -- *.zip SHA256SUMS | awk '{print "  " $5 "\t" $NF}')
