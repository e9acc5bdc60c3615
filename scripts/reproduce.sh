#!/usr/bin/env bash
# Builds the release a second time from a copy of the sources in another
# folder, and checks that the DLLs, their debug files, the zips and
# SHA256SUMS come out the same, byte for byte.
# Usage: reproduce.sh DIST WORK   (DIST: what `make dist` made; WORK: scratch)
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$(cd "$1" && pwd)
work=$2
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

rm -rf "$work"
copy=$work/elsewhere/PYXRemote-source
mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$copy"
make -C "$copy" dist >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

fail=0
compare() {
  if cmp -s "$1" "$2"; then
    echo "  same: ${2#"$copy"/}"
  else
    echo "  DIFFERENT: $1 and $2" >&2
    fail=1
  fi
}
for folder in windows windows64; do
  for file in PYXRemote.dll PYXRemote.dll.debug; do
    compare "build/$folder/$file" "$copy/build/$folder/$file"
  done
done
for file in "$dist"/*.zip "$dist"/SHA256SUMS; do
  compare "$file" "$copy/build/dist/$(basename "$file")"
done
[ $fail -eq 0 ] && echo "the release reproduces: $(cut -c1-16 "$dist/SHA256SUMS" | tr '\n' ' ')"
exit $fail
