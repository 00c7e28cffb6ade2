#!/usr/bin/env bash
# Sets up, builds and runs every test: the whole suite (JVM tests included), the Debian
# package built, installed, used and removed again (as root with dpkg), the C++ suites and
# the kelfs mount tests again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# engine suite and the kelfs mount tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# The trees are the presets of CMakePresets.json: build, build-asan, build-tsan.
jobs=$(nproc)
run_suite() {  # preset
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$jobs"
  ctest --preset "$1" -j"$jobs"
}

echo "== full suite"
run_suite default

# A step of its own rather than a CTest test: it installs into the system, which must not
# happen while other tests run, and it packages the tree that CTest would be running from.
echo "== installed package"
scripts/package_test.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
run_suite asan

echo "== ThreadSanitizer (engine, kelfs)"
run_suite tsan

echo "== all suites passed"
