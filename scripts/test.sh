#!/usr/bin/env bash
# Sets up, builds and runs every test: the whole suite (JVM tests included), the Debian
# package built, installed, used and removed again (as root with dpkg), the C++ suites and
# the kelfs mount tests again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# engine suite and the kelfs mount tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
run_suite() {  # build dir, ctest arguments...
  local dir=$1; shift
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure --timeout 600 -j"$jobs" "$@"
}

echo "== full suite"
all_parts="KelResource;VTerminal;demo;bench;kelvol;kelfs;powercut"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SANITIZE= -DKEL_JAVA_TESTS=ON \
  -DKEL_SUBDIRS="$all_parts" >/dev/null
run_suite build

# A step of its own rather than a CTest test: it installs into the system, which must not
# happen while other tests run, and it packages the tree that CTest would be running from.
echo "== installed package"
scripts/package_test.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=address -DKEL_JAVA_TESTS=OFF \
  -DKEL_SUBDIRS="KelResource;VTerminal;kelvol;kelfs" >/dev/null
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan

echo "== ThreadSanitizer (engine, kelfs)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=thread -DKEL_JAVA_TESTS=OFF \
  -DKEL_SUBDIRS=kelfs >/dev/null
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite build-tsan -L "engine|kelfs"

echo "== all suites passed"
