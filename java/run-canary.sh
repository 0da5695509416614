#!/usr/bin/env bash
# Proves the JNI gate works: a native that misuses JNI once must be reported
# exactly once. Runs in a JVM of its own, outside the suite.
#   run-canary.sh <java> <bin dir> <class path>
set -uo pipefail
java=$1 bin=$2 classpath=$3
here=$(dirname "$0")
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$java" -Xcheck:jni -cp "$classpath" javawrapper.CanaryMain "$bin/libjnicanary.so" >"$log" 2>&1
grep -q 'canary thrown' "$log" || { cat "$log"; echo "FAIL: the canary did not run" >&2; exit 1; }
"$here/jni-gate.sh" "$log" >/dev/null
reported=$?
if [ "$reported" -ne 1 ]; then
  cat "$log"
  echo "FAIL: the gate reported $reported lines for one deliberate misuse (want exactly 1)" >&2
  exit 1
fi
echo "the gate reported the deliberate misuse exactly once"
