#!/usr/bin/env bash
# Runs a host built from the kit (examples/host.c, examples/host.cpp, or one
# like them) under Wine against a DLL, the way a host developer first tries
# it: stopped by the host, then from OnKey (--power-off). Each run must
# print the reports the examples print and free every host object.
# Usage: run_host.sh HOST.exe DLL WINE_ENV
#   (WINE_ENV: the environment of the Wine prefix to run in, as NAME=VALUE
#   words). Exit status 0 when both runs print what they should.
set -uo pipefail
host=$1
dll=$2
read -ra wine_env <<<"$3"
status=0

output=$(env "${wine_env[@]}" wine "$host" "$dll" 2>&1 | tr -d '\r')
if [ "$(grep -c 'key Key_Power, command "Power"' <<<"$output")" != 2 ] ||
  ! grep -qF "all host objects freed" <<<"$output"; then
  echo "  FAILED: $host printed: $output" >&2
  status=1
fi
echo "  $host: $(head -1 <<<"$output")"
output=$(env "${wine_env[@]}" wine "$host" "$dll" --power-off 2>&1 | tr -d '\r' | tr '\n' '|')
if [[ "$output" != *"the sink stopped the module and let go of it|all host objects freed|"* ]]; then
  echo "  FAILED: $host --power-off printed: $output" >&2
  status=1
fi
exit $status
