#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build needs and this machine
# lacks. Usage: ensure-packages.sh [--status DIR] GROUP...
#   host     a compiler and CMake: the library and remote-host (make demo)
#   native   what the native tests need beside host
#   mingw    the 32- and 64-bit mingw-w64 cross compilers (make dll)
#   wine64   64-bit Wine, to run the 64-bit Windows tests
#   wine32   32-bit Wine, and a way to run 32-bit programs where the kernel
#            has none (ensure-i386.sh)
#   wine     both Wines
#   dist     zip and unzip, for the release archives
#   fuzz     clang with libFuzzer
#   msvc     clang in Visual C++'s mode, lld-link and Wine's Windows
#            headers, to build hosts as Visual C++ does (make test-msvc)
# The groups are settled one after another, in the order given, each on its
# own: one that cannot be installed leaves the others be. A group that is
# not in place gets one line on standard error that says why and what to
# do. With --status, DIR/GROUP is written as each group is settled: "ok",
# or that line. Exit status 0 when every group is in place, 1 otherwise.
set -uo pipefail
here=$(dirname "$0")
# shellcheck source=scripts/apt.sh
. "$here/apt.sh"

status_dir=
if [ "${1:-}" = --status ]; then
  status_dir=$2
  shift 2
  mkdir -p "$status_dir"
fi

# The packages of a group that are not in place, as words.
missing_of() {
  local missing=()
  need_command() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
  need_file() { [ -e "$1" ] || missing+=("$2"); }
  need_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed' || missing+=("$1"); }
  case $1 in
    host)
      need_command cmake cmake
      need_command make make
      need_command g++ g++
      need_command gcc gcc
      ;;
    native)
      need_command nm binutils
      need_command clang-format clang-format
      need_file /usr/src/googletest/CMakeLists.txt googletest
      ;;
    mingw)
      need_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix
      need_command i686-w64-mingw32-gcc-posix gcc-mingw-w64-i686-posix
      need_command x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
      need_command x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix
      ;;
    wine64)
      need_command wine wine
      need_package wine64
      # make bench finds the Wine process it measures with pgrep.
      need_command pgrep procps
      ;;
    wine32)
      need_command wine wine
      need_package wine32:i386
      ;;
    dist)
      need_command zip zip
      need_command unzip unzip
      need_command sha256sum coreutils
      ;;
    msvc)
      need_command clang clang
      need_command lld-link lld
      need_file /usr/include/wine/wine/windows/windows.h libwine-dev
      ;;
    fuzz)
      # clang with libFuzzer and its sanitizer runtimes.
      need_command clang++ clang
      need_package libclang-rt-dev
      ;;
  esac
  echo "${missing[*]}"
}

groups=()
for group in "$@"; do
  case $group in
    host | native | mingw | wine64 | wine32 | dist | fuzz | msvc) groups+=("$group") ;;
    wine) groups+=(wine64 wine32) ;;
    *)
      echo "ensure-packages: unknown group '$group'" >&2
      exit 2
      ;;
  esac
done

declare -A lacking
anything_missing=no
for group in "${groups[@]}"; do
  lacking[$group]=$(missing_of "$group")
  [ -z "${lacking[$group]}" ] || anything_missing=yes
done

failed=0
# settle GROUP [WHY]: the group is in place, or not, for WHY. The groups
# already in place are settled before anything is installed.
settle() {
  if [ $# -eq 1 ]; then
    [ -z "$status_dir" ] || echo ok >"$status_dir/$1"
  else
    echo "ensure-packages: $1 not in place: $2" >&2
    [ -z "$status_dir" ] || echo "$2" >"$status_dir/$1"
    failed=1
  fi
}

# settle_installed GROUP: settles a group whose packages are in place.
settle_installed() {
  if [ "$1" = wine32 ]; then
    # Installed is not enough for 32-bit Wine: the kernel must run it too.
    local why
    why=$(mktemp)
    if ! "$here/ensure-i386.sh" 2>"$why"; then
      cat "$why" >&2
      settle wine32 "$(sed -n 's/^ensure-i386: //p' "$why" | tail -1)"
      rm -f "$why"
      return
    fi
    rm -f "$why"
  fi
  settle "$1"
}
for group in "${groups[@]}"; do
  [ -n "${lacking[$group]}" ] || settle_installed "$group"
done

# Why nothing can be installed, when that is so.
unable=
if [ $anything_missing = yes ]; then
  if [ "$(id -u)" -ne 0 ]; then
    unable="installing packages needs root: run as root, or install them with apt-get"
  else
    if [ -n "${lacking[wine32]:-}" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      # 32-bit Wine's packages are of the i386 architecture.
      dpkg --add-architecture i386 || unable="dpkg --add-architecture i386 failed"
    fi
    if [ -z "$unable" ] && ! apt_update; then
      echo "apt-get update: not every index downloaded; installing what can be installed without them"
    fi
  fi
fi

for group in "${groups[@]}"; do
  wanted=${lacking[$group]}
  [ -n "$wanted" ] || continue
  if [ -n "$unable" ]; then
    settle "$group" "missing $wanted; $unable"
    continue
  fi
  echo "installing for $group: $wanted"
  # What a package merely recommends is left out: Wine's recommends (fonts,
  # graphics, sound, video, and 32-bit Wine itself) came to some 200 more
  # packages, which its console programs do without and which took minutes
  # to install; 32-bit Wine is the wine32 group's own.
  # shellcheck disable=SC2086 # the words are package names
  if ! apt_install --no-install-recommends $wanted; then
    settle "$group" "cannot install $wanted: $apt_cause"
    continue
  fi
  still=$(missing_of "$group")
  if [ -n "$still" ]; then
    settle "$group" "apt-get installed $wanted, yet $still is still missing"
    continue
  fi
  settle_installed "$group"
done

if [ $failed -eq 0 ] && [ -n "$apt_failed_indexes" ]; then
  echo "$apt_failed_indexes" | while IFS=$'\t' read -r url message; do
    echo "ensure-packages: note: $url did not download (apt: \"$message\"); what is needed installed without it"
  done
fi
exit $failed
