#!/usr/bin/env bash
# Runs the JUnit suite in a JVM that has loaded the bridge, under -Xcheck:jni.
# The run fails when a test fails, and also when the JVM reports any JNI
# misuse, even if every test passed.
#   run-junit.sh <java> <bin dir> <class path>
set -uo pipefail
java=$1 bin=$2 classpath=$3
log=$(mktemp)
trap 'rm -f "$log"' EXIT

env -u DISPLAY "$java" -Xcheck:jni \
  -Djavawrapper.library="$bin/libJavaWrapper.so" \
  -Djavawrapper.bin="$bin/" \
  -Djavawrapper.java="$java" \
  -Djavawrapper.classpath="$classpath" \
  -cp "$classpath" org.junit.platform.console.ConsoleLauncher \
  --disable-banner --disable-ansi-colors --details=tree --fail-if-no-tests \
  --scan-classpath "$bin/clientapi_tests.jar" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}

if ! "$(dirname "$0")/jni-gate.sh" "$log" >/dev/null; then
  "$(dirname "$0")/jni-gate.sh" "$log"
  echo "FAIL: the JVM reported JNI misuse (lines above)" >&2
  exit 1
fi
exit "$status"
