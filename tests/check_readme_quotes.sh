#!/bin/sh
# The README quotes each example file whole, in a fenced block of its own:
# the quote and the file that is built and run may not drift apart.
# Usage: check_readme_quotes.sh README FILE...
set -eu
readme=$1
shift
fail=0
for file in "$@"; do
  # Every fenced block of the README, each as one file, compared with FILE.
  found=0
  dir=$(mktemp -d)
  awk -v dir="$dir" '
    /^```/ { if (out) { close(out); out = "" } else { n++; out = dir "/" n } ; next }
    out { print > out }' "$readme"
  for block in "$dir"/*; do
    if [ -f "$block" ] && cmp -s "$block" "$file"; then found=1; fi
  done
  rm -rf "$dir"
  if [ $found -eq 0 ]; then
    echo "README.md does not quote $file whole" >&2
    fail=1
  fi
done
[ $fail -eq 0 ] && echo "README.md quotes $# example files whole"
exit $fail
