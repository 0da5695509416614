#!/usr/bin/env bash
# The bridge exports exactly the natives the Java classes declare, under their
# plain JNI names, plus the JVM's load and unload hooks (JNI_OnLoad,
# JNI_OnUnload), and nothing else; a Windows DLL needs no mingw runtime DLL. With a glibc floor
# (the shipped Linux library), it needs no C++ runtime beside it and no C
# library symbol version above the floor, and it names libpthread and libdl as
# needed, so older distributions (glibc before 2.34) load it.
#   check_exports.sh <library> <linux|windows> <java source dir> [objdump] [glibc floor]
set -euo pipefail
lib=$1 kind=$2 java_src=$3 objdump=${4:-objdump} floor=${5:-}
fail() { echo "FAIL: $*" >&2; exit 1; }

# Java_<package with _>_<Class>_<method> for every native the sources declare.
expected=$( (find "$java_src" -name '*.java' | sort | while read -r file; do
  package=$(sed -n 's/^package \([a-z0-9_.]*\);.*/\1/p' "$file" | tr . _)
  class=$(basename "$file" .java)
  tr '\n' ' ' < "$file" | grep -oE 'native [][A-Za-z0-9_.<>]+ +[A-Za-z0-9_]+ *[(]' \
    | sed -E 's/.* ([A-Za-z0-9_]+) *[(]$/\1/' \
    | sed "s/^/Java_${package}_${class}_/"
done; echo JNI_OnLoad; echo JNI_OnUnload) | sort)

if [ "$kind" = linux ]; then
  actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
  if [ -n "$floor" ]; then
    needed=$("$objdump" -p "$lib" | awk '/NEEDED/ {print $2}')
    if echo "$needed" | grep -vxE 'lib(c|m|dl|pthread)\.so\.[0-9]+|ld-linux-x86-64\.so\.2'; then
      fail "needs a library beyond the C library (above)"
    fi
    # Before glibc 2.34 the pthread and dl symbols it binds live in these two.
    for old in libpthread.so.0 libdl.so.2; do
      echo "$needed" | grep -qxF "$old" || fail "does not name $old as needed (glibc before 2.34)"
    done
    # Every version a symbol is bound to, e.g. "(GLIBC_2.34) dlopen".
    versions=$("$objdump" -T "$lib" | grep -oE '[( ](GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+\)? +[^ ]+$' | tr -d '()')
    above=$(echo "$versions" | awk -v floor="$floor" '
      function newer(a, b,   x, y, i, n) {  # version a above version b
        n = split(a, x, "."); split(b, y, ".")
        for (i = 1; i <= 3; i++) if ((x[i] + 0) != (y[i] + 0)) return (x[i] + 0) > (y[i] + 0)
        return 0
      }
      $1 !~ /^GLIBC_/ || newer(substr($1, 7), floor)')
    [ -z "$above" ] || fail "needs symbol versions above GLIBC_$floor or a C++ runtime:"$'\n'"$above"
    echo "glibc floor ok: highest $(echo "$versions" | awk '{print $1}' | sort -uV | tail -1)"
  fi
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
echo "exports ok: $(echo "$actual" | wc -l) symbols, exactly the declared natives and the JVM's two hooks"
