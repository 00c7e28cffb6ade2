#!/usr/bin/env bash
# The JNI library as deployed: it needs the engine by its absolute install path and
# exports exactly the native methods and the two plain functions, nothing else.
#   check_linkage.sh <libKelResourceJni.so> <engine install path>
set -u
library=$1
engine=$2
failed=0

if ! readelf -d "$library" | grep -q "(NEEDED).*\[$engine\]"; then
  echo "missing NEEDED entry for $engine:"; readelf -d "$library" | grep NEEDED
  failed=1
fi

expected=$(printf '%s\n' dummy p2ps \
  Java_vek_kel_lib_KelResource_{alloc,setConfig,setDirection,init,writeDet,updateDet,finalizeDet,setOffset,seek,nativeWrite,nativeWriteB,nativeRead,nativeReadB,launchReads,joinReads,joinWrites,free,malloc_1buf,free_1buf,p2ps} | sort)
exported=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TW]$/ {print $3}' | sort)
if [ "$expected" != "$exported" ]; then
  echo "exported functions differ (< expected, > exported):"
  diff <(echo "$expected") <(echo "$exported")
  failed=1
fi
[ $failed -eq 0 ] && echo "linkage ok"
exit $failed
