#!/usr/bin/env bash
# The bridge exports exactly the natives the Java classes declare, under their
# plain JNI names, and the JVM's unload hook, and nothing else; a Windows DLL
# needs no mingw runtime DLL.
#   check_exports.sh <library> <linux|windows> <java source dir> [objdump]
set -euo pipefail
lib=$1 kind=$2 java_src=$3 objdump=${4:-objdump}
fail() { echo "FAIL: $*" >&2; exit 1; }

# Java_<package with _>_<Class>_<method> for every native the sources declare.
expected=$( (find "$java_src" -name '*.java' | sort | while read -r file; do
  package=$(sed -n 's/^package \([a-z0-9_.]*\);.*/\1/p' "$file" | tr . _)
  class=$(basename "$file" .java)
  tr '\n' ' ' < "$file" | grep -oE 'native [][A-Za-z0-9_.<>]+ +[A-Za-z0-9_]+ *[(]' \
    | sed -E 's/.* ([A-Za-z0-9_]+) *[(]$/\1/' \
    | sed "s/^/Java_${package}_${class}_/"
done
# The JVM's unload hook, called when the class loader that loaded the bridge goes.
echo JNI_OnUnload
) | sort)

if [ "$kind" = linux ]; then
  actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
else
  dump=$("$objdump" -p "$lib")
  actual=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
    | grep -E '^\s*\[ *[0-9]+\]' | awk '{print $NF}' | sort)
  if echo "$dump" | awk '/DLL Name:/ {print $3}' | grep -iE 'libstdc\+\+|libgcc_s|libwinpthread'; then
    fail "depends on a mingw runtime DLL"
  fi
fi

[ -n "$expected" ] || fail "no natives found in $java_src"
missing=$(comm -23 <(echo "$expected") <(echo "$actual"))
extra=$(comm -13 <(echo "$expected") <(echo "$actual"))
[ -z "$missing" ] || fail "declared in Java but not exported:"$'\n'"$missing"
[ -z "$extra" ] || fail "exported but not declared in Java (or decorated):"$'\n'"$extra"
echo "exports ok: $(echo "$actual" | wc -l) natives, exactly as declared"
