#!/usr/bin/env bash
# Runs the JUnit suite in a JVM that has loaded the bridge, under -Xcheck:jni.
# The run fails when a test fails, and also when the JVM reports any JNI
# misuse, even if every test passed.
#   run-junit.sh <java> <bin dir> <class path>
set -uo pipefail
java=$1 bin=$2 classpath=$3
log=$(mktemp)
# The suite's own temporary directory: whatever a test leaves in it fails the run.
scratch=$(mktemp -d)
trap 'rm -f "$log"; rm -rf "$scratch"' EXIT

# JDK 22 and later know --enable-native-access; from 24 on they warn about a
# library loaded without it, which a front-end must not see either.
flags=()
if [ "$("$(dirname "$0")/../scripts/jdk-major" "$java")" -ge 22 ]; then
  flags+=(--enable-native-access=ALL-UNNAMED)
fi

env -u DISPLAY "$java" -Xcheck:jni "${flags[@]}" -Djava.io.tmpdir="$scratch" \
  -Djavawrapper.jvmflags="${flags[*]}" \
  -Djavawrapper.source="$(cd "$(dirname "$0")/.." && pwd)" \
  -Djavawrapper.library="$bin/libJavaWrapper.so" \
  -Djavawrapper.bin="$bin/" \
  -Djavawrapper.java="$java" \
  -Djavawrapper.classpath="$classpath" \
  -cp "$classpath" org.junit.platform.console.ConsoleLauncher \
  --disable-banner --disable-ansi-colors --details=tree --fail-if-no-tests \
  --scan-classpath "$bin/clientapi_tests.jar" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}

if grep -q 'WARNING: A restricted method' "$log"; then
  grep 'WARNING: A restricted method' "$log" | head -1
  echo "FAIL: a JVM warned about native access (lines above)" >&2
  exit 1
fi
if ! "$(dirname "$0")/jni-gate.sh" "$log" >/dev/null; then
  "$(dirname "$0")/jni-gate.sh" "$log"
  echo "FAIL: the JVM reported JNI misuse (lines above)" >&2
  exit 1
fi
if [ -n "$(ls -A "$scratch")" ]; then
  ls -A "$scratch"
  echo "FAIL: the tests left temporary files behind (above)" >&2
  exit 1
fi
exit "$status"
