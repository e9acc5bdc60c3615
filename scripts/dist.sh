#!/usr/bin/env bash
# Packs the release from the DLLs that `make dll` built.
# Usage: dist.sh BUILD OUT, with the DLLs in BUILD/windows and BUILD/windows64.
# OUT gets PYXRemote-<version>-win32.zip and -win64.zip, each with a
# -symbols.zip of its debug information, and SHA256SUMS. Every entry has a
# fixed time (the commit's), fixed permissions and a fixed place, so the
# same commit packs to the same bytes wherever it is built.
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
  if [ $bits = 32 ]; then
    folder=windows other=64 windows="XP SP3"
  else
    folder=windows64 other=32 windows="XP x64 Edition / Server 2003"
  fi
  name=PYXRemote-$version-win$bits
  dir=$stage/$name
  mkdir -p "$dir" "$dir-symbols"
  cp "$build/$folder/PYXRemote.dll" "$dir/"
  cp "$build/$folder/PYXRemote.dll.debug" "$dir-symbols/"
  cp include/pyxremote.h "$dir/"
  crlf release/pyx.ini >"$dir/pyx.ini"
  sed -e "s/@VERSION@/$version/g" -e "s/@BITS@/$bits/g" -e "s/@OTHER_BITS@/$other/g" \
    -e "s|@WINDOWS@|$windows|g" release/README.txt | crlf >"$dir/README.txt"
  cp CHANGELOG.md "$dir/"
  zip_fixed "$out/$name.zip" "$dir" PYXRemote.dll pyxremote.h pyx.ini README.txt CHANGELOG.md
  zip_fixed "$out/$name-symbols.zip" "$dir-symbols" PYXRemote.dll.debug
done
rm -rf "$stage"
(cd "$out" && sha256sum -- *.zip >SHA256SUMS)
echo "release $version in $out:"
(cd "$out" && ls -l -- *.zip SHA256SUMS | awk '{print "  " $5 "\t" $NF}')
