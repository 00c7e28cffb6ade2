#!/usr/bin/env bash
# Runs a JVM command (started with -Xcheck:jni) under a time limit and fails when it
# fails, when the JVM reports any JNI warning or error, or when an expected output
# line does not appear exactly the given number of times.
#   run_jvm_checked.sh [--expect COUNT TEXT]... -- java ...
set -u

expect_counts=()
expect_texts=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  case "$1" in
    --expect) expect_counts+=("$2"); expect_texts+=("$3"); shift 3 ;;
    *) echo "run_jvm_checked: unknown option $1" >&2; exit 2 ;;
  esac
done
shift  # the "--"

output=$(mktemp)
trap 'rm -f "$output"' EXIT

timeout --kill-after=10 150 "$@" >"$output" 2>&1
status=$?
cat "$output"

failed=0
if [ $status -ne 0 ]; then
  echo "run_jvm_checked: JVM exited with status $status"
  failed=1
fi
# Checked JNI reports misuse as "WARNING in native method", "FATAL ERROR in native
# method" or warnings about local references.
if grep -E -i -q 'in native method|JNI local refs|WARNING.*JNI|checkjni' "$output"; then
  echo "run_jvm_checked: the JVM reported JNI problems:"
  grep -E -i 'in native method|JNI local refs|WARNING.*JNI|checkjni' "$output"
  failed=1
fi
for i in "${!expect_counts[@]}"; do
  seen=$(grep -c -F -x -- "${expect_texts[$i]}" "$output")
  if [ "$seen" -ne "${expect_counts[$i]}" ]; then
    echo "run_jvm_checked: expected ${expect_counts[$i]} line(s) '${expect_texts[$i]}', saw $seen"
    failed=1
  fi
done
exit $failed
