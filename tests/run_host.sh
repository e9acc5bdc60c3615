#!/usr/bin/env bash
# Runs a host built from the kit (examples/host.c, examples/host.cpp, or one
# like them) against the module, the way a host developer first tries it:
# stopped by the host, then from OnKey (--power-off). Each run must print
# the reports the examples print, then free every host object. Other lines
# before or after (Wine may add one of its own) do not count.
# Usage: run_host.sh HOST MODULE [RUNNER...]
#   (RUNNER: the command the host runs under, `env WINEPREFIX=... wine`
#   say; none for a native host). Exit status 0 when both runs print what
#   they should.
set -uo pipefail
host=$1
module=$2
shift 2
power='key Key_Power, command "Power"|'
status=0

# check WANTED ARGS...: runs the host with ARGS; its lines, each ended by a
# |, must hold WANTED.
check() {
  local wanted=$1 output
  shift
  output=$("$@" 2>&1 | tr -d '\r' | tr '\n' '|')
  if [[ "$output" != *"$wanted"* ]]; then
    echo "  FAILED: $* printed: $output" >&2
    status=1
  fi
}
check "$power${power}all host objects freed|" "$@" "$host" "$module"
check "${power}the sink stopped the module and let go of it|all host objects freed|" \
  "$@" "$host" "$module" --power-off
[ $status -eq 0 ] && echo "  $host: reported, stopped, and stopped from OnKey"
exit $status
