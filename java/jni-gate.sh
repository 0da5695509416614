#!/usr/bin/env bash
# The JNI gate: prints every line of a JVM's output that reports JNI misuse
# under -Xcheck:jni, then "gate: N" on its own line; exits 1 when there was
# any (0: clean). Child JVMs started by the tests echo their output into the
# suite's, so this one gate sees every JVM of the run.
#   jni-gate.sh <log file>
patterns='WARNING in native method|JNI local refs|FATAL ERROR in native method'
patterns+='|Calling other JNI functions in the scope of Get/ReleasePrimitiveArrayCritical'
count=$(grep -cE "$patterns" "$1")
grep -E "$patterns" "$1"
echo "gate: $count"
[ "$count" -eq 0 ]
