#!/usr/bin/env bash
# The release as a host developer gets it. The zip of one bitness is
# unpacked into a fresh folder and, with only what is in that folder: its
# contents and line ends are checked, both examples are built with the host
# guide's own command lines for that bitness and run under Wine against the
# zip's DLL, stopped by the host and from OnKey, each freeing all its
# objects (run_host.sh), built again with <windows.h> included first, and
# remote-host.exe plays a short script on it.
# Usage: check_dist.sh DIST WORK BITS WINE_ENV
#   (BITS: 32 or 64; WINE_ENV: the environment of the Wine prefix to run
#   in, as NAME=VALUE words)
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)/tests
dist=$(cd "$1" && pwd)
work=$2
bits=$3
read -ra wine_env <<<"$4"
version=$(sed -n 's/^project(PYXRemote VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

failures=0
fail() {
  echo "  FAILED: $*" >&2
  failures=$((failures + 1))
}
# has TEXT WORDS...: grep WORDS for TEXT, reading it all, so that no writer
# of a pipe ends on SIGPIPE (which pipefail would count as a failure).
has() {
  local text=$1
  shift
  grep "$@" -- "$text" <<<"$checked" >/dev/null
}

contents="CHANGELOG.txt HOST-GUIDE.txt LICENSE.txt PYXRemote.dll README.txt examples/host.c \
examples/host.cpp pyx.ini pyxremote.h remote-host.exe"
case $bits in
  32) target=i686-w64-mingw32 ;;
  64) target=x86_64-w64-mingw32 ;;
  *) echo "check_dist: BITS is 32 or 64, not '$bits'" >&2 && exit 2 ;;
esac
name=PYXRemote-$version-win$bits
echo "$name.zip:"
(cd "$work" && unzip -q "$dist/$name.zip" && unzip -q "$dist/$name-symbols.zip")
top=$(cd "$work" && ls)
[ "$top" = "$name" ] || fail "unpacks into '$top', not $name"
folder=$work/$name
cd "$folder"

found=$(find . -type f ! -name PYXRemote.dll.debug | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$found" = "$contents " ] || fail "holds $found"
[ -f PYXRemote.dll.debug ] || fail "the symbols zip does not unpack beside the DLL"
for file in *.txt *.h pyx.ini examples/*; do
  awk '!/\r$/ { bad = 1 } END { exit bad }' "$file" || fail "$file has lines without CR LF"
done
checked=$(tr -d '\000' <PYXRemote.dll)
for text in "CompanyName" "PYXRemote contributors" \
  "LegalCopyright" "Copyright (c) 2026 PYXRemote contributors. MIT License."; do
  has "$text" -aF || fail "the version resource lacks '$text'"
done
grep -qF "Copyright (c) 2026 PYXRemote contributors" LICENSE.txt || fail "LICENSE.txt"

# The guide's build lines for this bitness, as they stand in it.
lines=$(tr -d '\r' <HOST-GUIDE.txt | sed -n "s/^    \($target-g[c+][c+] .*\)$/\1/p")
[ "$(grep -c . <<<"$lines")" = 2 ] || fail "HOST-GUIDE.txt has no two build lines for $target"
while read -r line; do
  echo "  $line"
  $line || fail "$line"
done <<<"$lines"
# The same lines with <windows.h> first, as a precompiled header puts it.
while read -r line; do
  line=${line/-I. /-I. -include windows.h }
  line=${line/-o host/-o after-windows-host}
  $line || fail "$line"
done <<<"$lines"
for host in host.exe host-cpp.exe after-windows-host.exe after-windows-host-cpp.exe; do
  "$here/run_host.sh" "$host" PYXRemote.dll env "${wine_env[@]}" wine || fail "$host"
done

output=$(env "${wine_env[@]}" wine remote-host.exe --script "Power:1200 wait:200 Mute" 2>&1) ||
  fail "remote-host.exe exited $?: $output"
checked=$output
for expected in "PYXRemote.dll started" "Key_Power          Power" "Key_Mute" \
  "Key_Power                1       2" "> PYXRemote $version ($bits-bit)"; do
  has "$expected" -F || fail "remote-host.exe: no '$expected' in: $output"
done
echo "  remote-host.exe: $(grep -c 'ms  Key_' <<<"$output") reports"
[ $failures -eq 0 ] && echo "the $bits-bit zip holds what a host developer needs"
exit $((failures > 0))
