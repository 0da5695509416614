#!/usr/bin/env bash
# Proves the JNI gate works: for each kind of misuse it claims to catch, a
# native that misuses JNI that way once, in a JVM of its own, must be
# reported by the gate.
#   run-canary.sh <java> <bin dir> <class path>
set -uo pipefail
java=$1 bin=$2 classpath=$3
here=$(dirname "$0")
log=$(mktemp)
trap 'rm -f "$log"' EXIT
failed=0
for kind in pending critical localRefs fatal; do
  timeout -k 10 60 "$java" -Xcheck:jni -cp "$classpath" javawrapper.CanaryMain \
    "$bin/libjnicanary.so" "$kind" >"$log" 2>&1
  if [ $? -eq 124 ]; then
    cat "$log"
    echo "FAIL: the $kind canary's JVM did not end within 60 s" >&2
    failed=1
    continue
  fi
  if ! grep -q "canary $kind" "$log"; then
    cat "$log"
    echo "FAIL: the $kind canary did not run" >&2
    failed=1
    continue
  fi
  if "$here/jni-gate.sh" "$log" >/dev/null; then
    cat "$log"
    echo "FAIL: the gate did not report the $kind misuse" >&2
    failed=1
  else
    echo "the gate reported the $kind misuse"
  fi
done
exit "$failed"
