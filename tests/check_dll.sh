#!/bin/sh
# The DLL's binary contract, read off the file with objdump:
# - its exports: "_GetInterfacePtr@0" alone in the 32-bit DLL; in the 64-bit
#   one "GetInterfacePtr" and "_GetInterfacePtr@0", the same function;
# - the Windows it asks for in its PE header (5.1, XP SP3; 5.2, XP x64), and
#   a link time of 0, so that two builds are the same;
# - imports: KERNEL32.dll and msvcrt.dll only, and of those only functions
#   that Windows XP already has (the lists below);
# - no thread-local data beyond the C runtime's two empty markers (XP sets up
#   no static TLS for a DLL loaded with LoadLibrary);
# - a version resource, a debug link and no debug information; at most 48 KiB.
# Usage: check_dll.sh PYXRemote.dll [objdump]
set -eu
dll=$1
objdump=${2:-i686-w64-mingw32-objdump}
dump=$($objdump -p "$dll")
sections=$($objdump -h "$dll")
fail=0
problem() {
  echo "$dll: $*" >&2
  fail=1
}

kernel32_common='CloseHandle CreateEventA CreateFileA CreateThread DeleteCriticalSection EnterCriticalSection
FreeLibrary FreeLibraryAndExitThread GetCurrentThreadId GetFileAttributesA GetFileSize
GetFullPathNameA GetLastError GetModuleHandleExW GetPrivateProfileIntA GetTickCount
InitializeCriticalSection LeaveCriticalSection QueryPerformanceCounter QueryPerformanceFrequency
ReadFile ResumeThread SetEvent Sleep TlsGetValue VirtualProtect VirtualQuery WaitForSingleObject
lstrcpynA'
msvcrt_common='_amsg_exit _initterm _lock _unlock _vsnprintf abort calloc fclose fopen fputc fputs
free fwrite malloc memchr memcmp memcpy memmove memset realloc strcmp strlen strncmp vfprintf'

if printf '%s\n' "$dump" | grep -q 'Magic.*020b'; then
  bits=64 pe_version="5 2" tls_bytes=16
  exports_wanted="GetInterfacePtr _GetInterfacePtr@0"
  # The 64-bit runtime reaches stdio through __iob_func.
  allowed="$kernel32_common $msvcrt_common __iob_func"
else
  bits=32 pe_version="5 1" tls_bytes=8
  exports_wanted="_GetInterfacePtr@0"
  # The 32-bit runtime registers its unwind tables through these.
  allowed="$kernel32_common GetModuleHandleA GetProcAddress LoadLibraryA $msvcrt_common _iob"
fi

exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  grep -E '^\s+\[' | awk '{print $NF}' | tr '\n' ' ' | sed 's/ $//')
[ "$exports" = "$exports_wanted" ] || problem "exports are '$exports', not '$exports_wanted'"
addresses=$(printf '%s\n' "$dump" | sed -n '/^Export Address Table -- /,/^$/p' |
  grep 'Export RVA' | awk '{print $(NF-2)}' | sort -u | wc -l)
[ "$addresses" -eq 1 ] || problem "the exports are $addresses different functions"

for field in OSystemVersion SubsystemVersion; do
  got=$(printf '%s\n' "$dump" | awk -v f="$field" '$1 == "Major" f {ma = $2} $1 == "Minor" f {mi = $2} END {print ma, mi}')
  [ "$got" = "$pe_version" ] || problem "$field is $got, not $pe_version"
done
printf '%s\n' "$dump" | grep -q '^Time/Date.*1970' || problem "the PE header carries a link time"

dlls=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')
[ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || problem "imports DLLs other than KERNEL32.dll and msvcrt.dll: $dlls"
functions=$(printf '%s\n' "$dump" | sed -n '/The Import Tables/,/The Export Tables/p' |
  awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print $3}' | sort -u)
for function in $functions; do
  case " $(echo $allowed) " in
    *" $function "*) ;;
    *) problem "imports $function, which is not on the list of functions Windows XP has" ;;
  esac
done

tls=$(printf '%s\n' "$sections" | awk '$2 == ".tls" {print $3}')
if [ -n "$tls" ] && [ $((0x$tls)) -gt $tls_bytes ]; then
  problem "holds $((0x$tls)) bytes of thread-local data"
fi
printf '%s\n' "$sections" | grep -q ' \.rsrc ' || problem "has no version resource"
printf '%s\n' "$sections" | grep -q ' \.gnu_debuglink ' || problem "names no debug file"
if printf '%s\n' "$sections" | grep -q ' \.debug_'; then problem "is not stripped"; fi

size=$(wc -c <"$dll")
[ "$size" -le 49152 ] || problem "is $size bytes, over 48 KiB"

[ $fail -eq 0 ] && echo "$dll: $bits-bit, $size bytes; exports $exports; imports" $functions
exit $fail
