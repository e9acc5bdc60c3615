#!/usr/bin/env bash
# Hosts built as Visual C++ builds them, with clang in Visual C++'s mode
# (clang-cl) and lld-link, against Wine's headers and mingw-w64's import
# libraries (there is no Visual C++ runtime here): examples/host.c as it
# ships, the same with <windows.h> included first, and tests/msvc/host.cpp,
# which names the interfaces with __uuidof and holds the module in a smart
# pointer of its own.
# Usage: check.sh build BITS OUT
#        check.sh run BITS OUT DLL WINE_ENV
#   (BITS: 32 or 64; OUT: the folder for the programs; WINE_ENV: the
#   environment of the Wine prefix to run in, as NAME=VALUE words)
set -euo pipefail
cd "$(dirname "$0")/../.."
mode=$1
bits=$2
out=$3

case $bits in
  32)
    target=i686-pc-windows-msvc mingw=i686-w64-mingw32 link_options=(/safeseh:no)
    # Wine's winnt.h defines these inline where clang has them built in.
    renamed="_InterlockedAnd64 _InterlockedCompareExchangePointer _InterlockedDecrement64
      _InterlockedExchangeAdd64 _InterlockedExchangePointer _InterlockedIncrement64
      _InterlockedOr64 _InterlockedXor64"
    ;;
  64)
    target=x86_64-pc-windows-msvc mingw=x86_64-w64-mingw32 link_options=()
    renamed="_InterlockedCompareExchange128"
    ;;
  *) echo "check.sh: BITS is 32 or 64, not '$bits'" >&2 && exit 2 ;;
esac

if [ "$mode" = build ]; then
  headers=/usr/include/wine/wine
  libs=/usr/$mingw/lib
  mkdir -p "$out"
  cl=(clang --driver-mode=cl --target="$target" /nologo /W4 /WX /GS- /c
    -imsvc "$headers/msvcrt" -imsvc "$headers/windows" -Iinclude)
  for name in $renamed; do cl+=("-D$name=wine$name"); done
  # A path that starts with / is an option to clang-cl: sources after --.
  "${cl[@]}" /TC "/Fo$out/entry.obj" -- tests/msvc/entry.c
  "${cl[@]}" /TC "/Fo$out/host.obj" -- examples/host.c
  "${cl[@]}" /TC /FIwindows.h "/Fo$out/after-windows-host.obj" -- examples/host.c
  "${cl[@]}" /TP /GR- "/Fo$out/host-cpp.obj" -- tests/msvc/host.cpp
  for host in host after-windows-host host-cpp; do
    lld-link /nologo /nodefaultlib /entry:mainCRTStartup /subsystem:console "${link_options[@]}" \
      "$out/$host.obj" "$out/entry.obj" "$libs/libucrtbase.a" "$libs/libkernel32.a" \
      "$libs/libuuid.a" "/out:$out/$host.exe"
  done
  echo "built $out/host.exe, after-windows-host.exe and host-cpp.exe for $target"
  exit 0
fi

[ "$mode" = run ] || { echo "check.sh: build or run, not '$mode'" >&2 && exit 2; }
dll=$4
read -ra wine_env <<<"$5"
status=0
for host in host after-windows-host host-cpp; do
  tests/run_host.sh "$out/$host.exe" "$dll" env "${wine_env[@]}" wine || status=1
done
[ $status -eq 0 ] && echo "the $bits-bit hosts built in Visual C++'s mode run against $dll"
exit $status
