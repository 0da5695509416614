#!/usr/bin/env bash
# The JNI gate: prints every line of a JVM's output that reports JNI misuse
# under -Xcheck:jni, and exits with how many there were (0: clean).
#   jni-gate.sh <log file>
count=$(grep -cE 'WARNING in native method|JNI local refs|FATAL ERROR' "$1")
grep -E 'WARNING in native method|JNI local refs|FATAL ERROR' "$1"
exit "$count"
