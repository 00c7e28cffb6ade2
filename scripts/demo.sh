#!/usr/bin/env bash
# Sets up, builds (Release) and runs the demo: a stream written to and read back from a
# striped volume made of files. Arguments are passed to the demo (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target kel_demo -j"$(nproc)"
exec build-release/demo/kel_demo "$@"
