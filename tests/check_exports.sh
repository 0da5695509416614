#!/usr/bin/env bash
# The bridge exports its natives under their plain JNI names and nothing else,
# and a Windows DLL needs no mingw runtime DLL beside it.
#   check_exports.sh <library> <linux|windows> [objdump]
set -euo pipefail
lib=$1 kind=$2 objdump=${3:-objdump}
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$kind" = linux ]; then
  names=$(nm -D --defined-only "$lib" | awk '{print $3}')
else
  dump=$("$objdump" -p "$lib")
  names=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\]' | awk '{print $NF}' || true)
  imports=$(echo "$dump" | awk '/DLL Name:/ {print $3}')
  echo "$imports" | grep -iE 'libstdc\+\+|libgcc_s|libwinpthread' && fail "depends on a mingw runtime DLL"
fi
[ -n "$names" ] || fail "no exports found in $lib"
bad=$(echo "$names" | grep -vE '^Java_[A-Za-z0-9_]+$' || true)
[ -z "$bad" ] || fail "unexpected exports: $bad"
echo "$names" | grep -qx 'Java_korvane_api_delphi_ClientAPI_getErrorMessage' || fail "getErrorMessage not exported by its plain name"
echo "exports ok: $(echo "$names" | wc -l) natives"
