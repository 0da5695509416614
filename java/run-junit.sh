#!/usr/bin/env bash
# Runs the JUnit suite in a JVM that has loaded the bridge, under -Xcheck:jni.
# The run fails when a test fails, and also when the JVM reports any JNI
# misuse, even if every test passed.
#   run-junit.sh <java> <bin dir> <class path> [launcher options...]
set -uo pipefail
java=$1 bin=$2 classpath=$3
shift 3
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
  --scan-classpath "$bin/clientapi_tests.jar" "$@" 2>&1 | tee "$log"
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
# A skipped or aborted test (a failed assumption) must show in CTest's summary
# as a skip: a run of nothing but skips exits 77 (SKIP_RETURN_CODE), and a
# skip among passes fails, since CTest would count the run as one pass.
count() { sed -n "s/^\[ *\([0-9][0-9]*\) $1 *\]\$/\1/p" "$log" | tail -1; }
skips=0
for what in 'tests skipped' 'tests aborted' 'containers skipped' 'containers aborted'; do
  n=$(count "$what")
  skips=$((skips + ${n:-0}))
done
if [ "$status" -eq 0 ] && [ "$skips" -gt 0 ]; then
  if [ "$(count 'tests successful')" = 0 ]; then
    echo "SKIPPED: every test of the run skipped" >&2
    exit 77
  fi
  echo "FAIL: $skips tests or classes skipped among passes (marked in the tree above);" \
    "a test that may skip needs a CTest entry of its own" >&2
  exit 1
fi
exit "$status"
