#!/usr/bin/env bash
# The test kit's Java parts as a team uses them, against this build's bridge
# and simulator: the JUnit 5 example, and the control binding on JNA (JDK 17)
# and on FFM (a JDK 22 or later, when one is given).
#   check_testkit.sh <source dir> <bin dir> <java 17> [java 22 or later]
set -euo pipefail
src=$1 bin=$2 java17=$3 javaNew=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jar=$bin/clientapi.jar
junit=/usr/share/java/junit-platform-console-standalone.jar
jna=/usr/share/java/jna.jar
fail() { echo "FAIL: $*" >&2; exit 1; }

javac17=$(dirname "$java17")/javac
mkdir -p "$work/junit" "$work/jna" "$work/ffm"
"$javac17" -cp "$jar:$junit" -d "$work/junit" "$src/simulator/example/FrontEndJUnitTest.java"
env -u DISPLAY "$java17" -Xcheck:jni -Djava.library.path="$bin" -Dtestkit.dir="$bin/" \
  -cp "$jar:$junit:$work/junit" org.junit.platform.console.ConsoleLauncher \
  --disable-banner --disable-ansi-colors --fail-if-no-tests \
  --select-class FrontEndJUnitTest > "$work/junit.log" 2>&1 \
  || { cat "$work/junit.log"; fail "the JUnit 5 example"; }
grep -q '\[ *2 tests successful *\]' "$work/junit.log" || { cat "$work/junit.log"; fail "the JUnit 5 example ran no two tests"; }
echo "JUnit 5 example: 2 tests passed"

# JNA's own native code is not clean under -Xcheck:jni: run without it.
"$javac17" -cp "$jar:$jna" -d "$work/jna" "$src/simulator/binding/jna/testkit/SimulatorControl.java" \
  "$src/tests/testkit/KitCheck.java"
out=$("$java17" -Djava.library.path="$bin" -cp "$jar:$jna:$work/jna" KitCheck "$bin/" 2>&1) \
  || { echo "$out"; fail "the JNA binding"; }
echo "$out" | grep -qx 'KitCheck: PASS' || { echo "$out"; fail "the JNA binding"; }
echo "JNA binding on $("$src/scripts/jdk-major" "$java17"): pass"

if [ -z "$javaNew" ]; then
  echo "SKIPPED: no JDK 22 or later for the FFM binding"
  exit 77
fi
javacNew=$(dirname "$javaNew")/javac
"$javacNew" -cp "$jar" -d "$work/ffm" "$src/simulator/binding/ffm/testkit/SimulatorControl.java" \
  "$src/tests/testkit/KitCheck.java"
out=$("$javaNew" -Xcheck:jni --enable-native-access=ALL-UNNAMED -Djava.library.path="$bin" \
  -cp "$jar:$work/ffm" KitCheck "$bin/" 2>&1) || { echo "$out"; fail "the FFM binding"; }
echo "$out" | grep -qx 'KitCheck: PASS' || { echo "$out"; fail "the FFM binding"; }
if echo "$out" | grep -q WARNING; then echo "$out"; fail "the FFM binding's JVM warned"; fi
echo "FFM binding on $("$src/scripts/jdk-major" "$javaNew"): pass"
