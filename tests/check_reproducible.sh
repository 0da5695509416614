#!/usr/bin/env bash
# Rebuilds the bridge library from the same sources in a second build
# directory and compares it byte for byte with the one the build made: no
# path, time or order of the build may reach the shipped file.
#   check_reproducible.sh <source dir> <build type> <scratch dir> <library>
set -euo pipefail
src=$1 type=$2 scratch=$3 library=$4
rm -rf "$scratch"
cmake -S "$src" -B "$scratch" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE="$type" >/dev/null
cmake --build "$scratch" --target JavaWrapper -j2 >/dev/null
again="$scratch/bin/$(basename "$library")"
if cmp "$library" "$again"; then
  echo "the library rebuilt in $scratch is byte-identical"
  rm -rf "$scratch"
else
  echo "FAIL: $library and $again differ" >&2
  exit 1
fi
