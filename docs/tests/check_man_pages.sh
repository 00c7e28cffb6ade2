#!/bin/sh
# Formats each manual page as man shows it and fails on any warning of the formatter
# (a roff request where text was meant, a line that cannot be broken, ...).
#
#   check_man_pages.sh PAGE.gz...
#
# Exit 0 clean, 1 a page warned or is missing, 77 skipped: man (man-db) is not installed.
set -u
if ! command -v man >/dev/null 2>&1; then
  echo "skipped: man is not installed (Debian package man-db); the manual pages are not checked"
  exit 77
fi
status=0
for page in "$@"; do
  if [ ! -s "$page" ]; then
    echo "$page: missing"
    status=1
    continue
  fi
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    status=1
  else
    echo "$page: clean"
  fi
done
exit $status
