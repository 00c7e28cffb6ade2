#!/usr/bin/env bash
# Sets up, builds (Release) and runs the demo: a stream written to and read back from a
# striped volume made of files. Arguments are passed to the demo (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKEL_SANITIZE= -DKEL_JAVA_TESTS=OFF \
  -DKEL_SUBDIRS="demo;bench" >/dev/null
cmake --build build-release --target kel_demo -j"$(nproc)"
exec build-release/demo/kel_demo "$@"
