#!/bin/sh
# The native library exports exactly one symbol of ours: GetInterfacePtr.
set -eu
lib=$1
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$symbols" != "GetInterfacePtr" ]; then
  echo "unexpected dynamic symbols in $lib:" >&2
  echo "$symbols" >&2
  exit 1
fi
echo "$lib exports: $symbols"
