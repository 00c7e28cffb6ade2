#!/bin/sh
# Runs the shell sessions of a Markdown page as a cram test, with the build's programs
# first in PATH.
#
#   run_sessions.sh PAGE.md WORK_DIR PROGRAM_DIR...
#
# Exit 0 passed, 1 failed, 77 skipped: cram (Debian's python3-cram) is not installed.
set -eu
page=$1
work=$2
shift 2
if ! command -v cram3 >/dev/null 2>&1; then
  echo "skipped: cram3 is not installed (Debian package python3-cram); the sessions of $page are not run"
  exit 77
fi
for dir in "$@"; do PATH=$(cd "$dir" && pwd):$PATH; done
export PATH
test_file=$work/$(basename "$page" .md).t
mkdir -p "$work"
rm -f "$test_file.err"
/usr/bin/python3 "$(dirname "$0")/md_examples.py" cram "$page" "$test_file"
exec cram3 --verbose "$test_file"
