#!/bin/sh
# The DLL's binary contract, read off the file with objdump: one export under
# its decorated name, imports from KERNEL32.dll and msvcrt.dll only, and at
# most 48 KiB.
set -eu
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
dump=$($objdump -p "$dll")
fail=0

exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep -E '^\s+\[' | awk '{print $NF}')
if [ "$exports" != "_GetInterfacePtr@0" ]; then
  echo "exports are not exactly _GetInterfacePtr@0:" $exports >&2
  fail=1
fi

imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')
if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
  echo "imports other DLLs than KERNEL32.dll and msvcrt.dll: $imports" >&2
  fail=1
fi

if ! printf '%s\n' "$dump" | grep -q 'Magic.*010b'; then
  echo "not a 32-bit (PE32) image" >&2
  fail=1
fi

size=$(wc -c <"$dll")
if [ "$size" -gt 49152 ]; then
  echo "$dll is $size bytes, over 48 KiB" >&2
  fail=1
fi

[ $fail -eq 0 ] && echo "$dll: $size bytes; exports $exports; imports $imports"
exit $fail
