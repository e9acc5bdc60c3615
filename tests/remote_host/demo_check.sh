#!/usr/bin/env bash
# remote-host --demo, as make demo runs it: each thing docs/development.md
# says the demo shows is in its summary.
set -u
host=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
"$host" --demo --timeline --dir "$work" >"$work/out" 2>&1
status=$?
took=$(($(date +%s) - start))
failed=0
expect() {
  if ! grep -qE -- "$1" "$work/out"; then
    echo "FAILED: $2"
    failed=1
  fi
}
[ $status -eq 0 ] || { echo "FAILED: exit status $status"; failed=1; }
[ $took -lt 15 ] || { echo "FAILED: took $took s"; failed=1; }
expect '^  Key_Power +1 +1 ' "a short press is reported once"
expect '^  Key_ChannelUp +1 +4 +[0-9]+ +10[0-9][0-9] 5[0-9][0-9] 5[0-9][0-9]$' \
  "a 2200 ms hold: first report, 1000 ms, then 500 ms repeats"
expect '^  Key_VolumeUp +2 +4 +[0-9]+, [0-9]+ +- \| 5[0-9][0-9] 5[0-9][0-9]$' \
  "pressed again while the code lines hold it: a repeat, 500 ms"
expect '^  code 4 \(no row\) +1 +0 ' "a code without a row reports nothing"
expect '^  Tarvikon: Break event received. Bye!' "the log lines"
[ $failed -eq 0 ] && echo "1 passed, 0 failed" || { cat "$work/out"; echo "0 passed, 1 failed"; }
exit $failed
