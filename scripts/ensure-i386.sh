#!/usr/bin/env bash
# Makes sure this machine runs 32-bit x86 programs, which 32-bit Wine is.
# Some kernels are built or booted with 32-bit emulation off ("Exec format
# error"); there, 32-bit programs run under qemu's user-mode emulator,
# registered with binfmt_misc for 32-bit x86 ELF files. Needs root for that.
#
# qemu before 8 ignores the address hint of MAP_FIXED_NOREPLACE, and Wine's
# reservation of its address space then takes over a minute per process;
# Debian 12 has qemu 7.2 in its main suite and 10 in its backports.
set -uo pipefail
# shellcheck source=scripts/apt.sh
. "$(dirname "$0")/apt.sh"

probe=/usr/lib/wine/wine
runs_32bit() { "$probe" --version >/dev/null 2>&1; }

[ -x "$probe" ] || { echo "ensure-i386: $probe is missing (install wine32:i386)" >&2; exit 1; }
runs_32bit && exit 0

echo "this kernel does not run 32-bit programs: running them under qemu-i386"
if [ "$(id -u)" -ne 0 ]; then
  echo "ensure-i386: registering qemu-i386 with binfmt_misc needs root" >&2
  exit 1
fi

qemu=/usr/bin/qemu-i386
# The major version of qemu-i386 as installed, or of qemu-user as apt would
# install it; empty when there is none.
qemu_major() { { "$qemu" --version 2>/dev/null || true; } | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p'; }
candidate_major() { apt-cache policy qemu-user 2>/dev/null | sed -n 's/^ *Candidate: \([0-9]*:\)\{0,1\}\([0-9][0-9]*\).*/\2/p'; }
recent() { [ -n "$1" ] && [ "$1" -ge 8 ]; }

if ! recent "$(qemu_major)"; then
  release=()
  if ! recent "$(candidate_major)"; then
    # shellcheck source=/dev/null
    . /etc/os-release
    backports="${VERSION_CODENAME}-backports"
    echo "installing qemu-user from $backports: the one in ${VERSION_CODENAME} is older than 8"
    echo "deb http://deb.debian.org/debian $backports main" >"/etc/apt/sources.list.d/$backports.list"
    apt_update
    release=("-t=$backports")
  fi
  if ! apt_install --no-install-recommends "${release[@]}" qemu-user; then
    echo "ensure-i386: cannot install qemu-user, which runs 32-bit Wine on this kernel: $apt_cause" >&2
    exit 1
  fi
fi
if ! recent "$(qemu_major)"; then
  echo "ensure-i386: Wine needs $qemu of version 8 or later" >&2
  exit 1
fi

binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ] && ! mount -t binfmt_misc binfmt_misc "$binfmt"; then
  echo "ensure-i386: cannot mount binfmt_misc on $binfmt, to run 32-bit programs under $qemu" >&2
  exit 1
fi
# An entry by this name that did not make the probe run is replaced.
[ ! -e "$binfmt/qemu-i386" ] || echo -1 >"$binfmt/qemu-i386"
# 32-bit little-endian x86 ELF executables and shared objects; F opens qemu
# now, so the entry works in any mount namespace, P keeps argv[0].
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
if ! echo ":qemu-i386:M::$magic:$mask:$qemu:FP" >"$binfmt/register"; then
  echo "ensure-i386: cannot register $qemu with binfmt_misc" >&2
  exit 1
fi

if ! runs_32bit; then
  echo "ensure-i386: 32-bit programs still do not run under $qemu" >&2
  exit 1
fi
