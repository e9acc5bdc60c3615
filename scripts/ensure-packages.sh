#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build needs and this machine
# lacks. Usage: ensure-packages.sh GROUP...
#   host     a compiler and CMake: the library and remote-host (make demo)
#   native   what the native tests need beside host
#   mingw    the 32- and 64-bit mingw-w64 cross compilers (make dll)
#   wine     Wine, 32- and 64-bit, to run the Windows tests, and a way to
#            run 32-bit programs where the kernel has none (ensure-i386.sh)
#   dist     zip and unzip, for the release archives
#   fuzz     clang with libFuzzer
missing=()
need_command() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need_file() { [ -e "$1" ] || missing+=("$2"); }
need_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed' || missing+=("$1"); }
i386=no

for group in "$@"; do
  case "$group" in
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
    wine)
      # 32-bit Wine needs the i386 architecture first.
      i386=yes
      need_command wine wine
      need_package wine32:i386
      need_package wine64
      # make bench finds the Wine process it measures with pgrep.
      need_command pgrep procps
      ;;
    dist)
      need_command zip zip
      need_command unzip unzip
      need_command sha256sum coreutils
      ;;
    fuzz)
      # clang with libFuzzer and its sanitizer runtimes.
      need_command clang++ clang
      need_package libclang-rt-dev
      ;;
    *)
      echo "ensure-packages: unknown group '$group'" >&2
      exit 2
      ;;
  esac
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ "$i386" = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

# Installed is not enough for 32-bit Wine: the kernel must run it too.
if [ "$i386" = yes ]; then
  "$(dirname "$0")/ensure-i386.sh"
fi
