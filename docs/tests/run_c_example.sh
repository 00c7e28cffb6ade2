#!/bin/sh
# Runs the README's C example as a reader would: on a fresh volume of member files, with
# the configuration file and the ".det" path as its arguments.
#
#   run_c_example.sh EXAMPLE_PROGRAM
#
# Exit 0 when the example succeeds and says so, 1 otherwise.
set -eu
example=$1
dir=$(mktemp -d "${TMPDIR:-/tmp}/kel-readme-example.XXXXXX")
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' INT TERM HUP

# 4 sparse members of 4 MiB, 64 KiB chunks (128 sectors); the table's length counts sectors.
mkdir "$dir/headers"
table="0 32768 striped 4 128"
for member in 0 1 2 3; do
  truncate -s 4M "$dir/m$member"
  table="$table $dir/m$member 0"
done
echo "$table" >"$dir/volume.table"
echo "TYPE=RAID VKPATH=$dir/headers FUSEPATH=$dir/mnt DMSETUP=$dir/volume.table MAPPER=/none EXTEND=1G THREADS=2" \
  >"$dir/volume.conf"

said=$("$example" "$dir/volume.conf" "$dir/headers/hello.det")
expected="5000000 bytes written and read back"
if [ "$said" != "$expected" ]; then
  echo "the example printed \"$said\", not \"$expected\"" >&2
  exit 1
fi
echo "$said"
