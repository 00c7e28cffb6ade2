#!/usr/bin/env bash
# Builds the Debian package of a configured build tree, installs it, uses the installed
# copy the way a machine in the field does (a C program through pkg-config, a CMake
# project through find_package(KelTio), a Java program through the installed jar and JNI
# library, the tools, the manual pages through man), removes it and checks that nothing of
# it is left.
#
#   package_test.sh BUILD_DIR
#
# Needs root, dpkg and man; skips with a message (exit 0) without them, and also when the
# package, or any file it would install, is already on the machine: that installation is
# left exactly as it is. Whatever happens once the package is installed, it is removed
# again on exit. Exit 0 passed or skipped, 1 failed, 2 called wrongly.
set -euo pipefail

(($# == 1)) || { echo "usage: package_test.sh BUILD_DIR" >&2; exit 2; }
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "$1" && pwd)
package=kel-native
engine_dir=/opt/kel/pkg/kelxxx/vek/kel/lib
tests_dir=$source_dir/packaging/tests

skip() {
  echo "package test skipped: $*"
  exit 0
}
fail() {
  echo "package test FAILED: $*" >&2
  exit 1
}
step() { echo "-- $*"; }

[ "$(id -u)" -eq 0 ] || skip "not running as root"
command -v dpkg >/dev/null && command -v dpkg-deb >/dev/null || skip "dpkg is not available"
command -v man >/dev/null || skip "man (man-db) is not available"
known_status=$(dpkg-query -W -f='${db:Status-Status} ${Version}' "$package" 2>/dev/null || true)
case $known_status in
  "" | not-installed*) ;;
  *) skip "$package is already on this machine ($known_status); it is left as it is" ;;
esac

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[ -n "$version" ] || fail "$build_dir is not a configured build tree"
deb=$build_dir/${package}_${version}_amd64.deb

step "building $deb"
rm -f "$deb"
cmake --build "$build_dir" --target package -j2 >"$build_dir/package_test-build.log" 2>&1 ||
  { cat "$build_dir/package_test-build.log"; fail "the package target failed"; }
[ -f "$deb" ] || fail "the package target made no $deb"

# Every regular file and link the package holds, as absolute paths.
mapfile -t package_files < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./|/|p' | grep -v '/$')
((${#package_files[@]} > 0)) || fail "$deb holds no files"
for path in "${package_files[@]}" /opt/kel /usr/include/kel; do
  [ ! -e "$path" ] && [ ! -L "$path" ] ||
    skip "$path is already on this machine (installed by hand?); it is left as it is"
done

step "contents and dependencies"
expected=("$engine_dir/libKelResource_lin64.so" "$engine_dir/libKelResourceJni.so"
          "$engine_dir/libVTerminal.so" /usr/include/kel/tio.h /usr/include/kel/vterminal.h
          /usr/share/java/kelresource.jar "/usr/share/java/kelresource-$version.jar"
          /usr/share/java/vterminal.jar "/usr/share/java/vterminal-$version.jar"
          /usr/bin/kelvol /usr/bin/kelfs /usr/share/man/man1/kelvol.1.gz /usr/share/man/man1/kelfs.1.gz
          /usr/share/man/man5/kel-volume.5.gz /usr/share/man/man5/kel-det.5.gz
          /usr/lib/x86_64-linux-gnu/pkgconfig/kel-tio.pc
          /usr/lib/x86_64-linux-gnu/cmake/KelTio/KelTioConfig.cmake /usr/lib/x86_64-linux-gnu/cmake/KelTio/KelTioConfigVersion.cmake)
for path in "${expected[@]}"; do
  printf '%s\n' "${package_files[@]}" | grep -qxF "$path" || fail "$deb lacks $path"
done
depends=$(dpkg-deb -f "$deb" Depends)
depends_names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
for dependency in libc6 libstdc++6 libfuse3-3; do
  grep -qxF "$dependency" <<<"$depends_names" || fail "Depends lacks $dependency: $depends"
done

if command -v lintian >/dev/null; then
  step "lintian"
  lintian --fail-on error "$deb" || fail "lintian reports errors"
else
  echo "-- lintian is not installed: the package is not checked by it"
fi

work=$(mktemp -d /tmp/kel-package-test.XXXXXX)
cleanup() {
  local status=$?
  if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$'; then
    echo "-- removing $package on the way out"
    dpkg --purge "$package" >"$work/dpkg-purge.log" 2>&1 ||
      { cat "$work/dpkg-purge.log"; echo "package test: could not remove $package" >&2; }
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

step "installing"
dpkg -i "$deb" >"$work/dpkg-install.log" 2>&1 || { cat "$work/dpkg-install.log"; fail "dpkg -i failed"; }

# From here on nothing of the build tree: no search paths pointing anywhere, a fresh
# directory, only what the package installed.
unset PKG_CONFIG_PATH CMAKE_PREFIX_PATH LD_LIBRARY_PATH CPATH LIBRARY_PATH CLASSPATH
cd "$work"

# A program linked with the engine records its absolute path, from which the loader takes
# it; the round trip in a fresh directory then prints OK.
check_program() {  # program, directory, what
  readelf -d "$1" | grep -qF "Shared library: [$engine_dir/libKelResource_lin64.so]" ||
    fail "$3 does not need the engine by its installed path"
  mkdir "$2"
  [ "$("./$1" "$2")" = OK ] || fail "$3: the round trip"
}

step "C program through pkg-config"
# shellcheck disable=SC2046  # the flags are meant to split
cc -Wall -Wextra -Werror -o roundtrip "$tests_dir/roundtrip.c" $(pkg-config --cflags --libs kel-tio) ||
  fail "the C program does not build through pkg-config"
check_program roundtrip c-volume "the C program"

step "CMake project through find_package(KelTio)"
cmake -S "$tests_dir/cmake_consumer" -B cmake-build >cmake.log 2>&1 || { cat cmake.log; fail "configuring"; }
cmake --build cmake-build >>cmake.log 2>&1 || { cat cmake.log; fail "building"; }
check_program cmake-build/roundtrip cmake-volume "the CMake project's program"

step "headers"
printf '#include <kel/tio.h>\n#include <kel/vterminal.h>\n' |
  cc -Wall -Wextra -Werror -fsyntax-only -x c - || fail "the installed headers do not compile"

step "Java program through the installed jar and JNI library"
jar=/usr/share/java/kelresource.jar
mkdir java-classes java-volume
javac --release 17 -Xlint:all -Werror -cp "$jar" -d java-classes "$tests_dir/java/InstalledRoundTrip.java" ||
  fail "the Java program does not compile against $jar"
"$source_dir/KelResource/tests/run_jvm_checked.sh" --expect 1 OK -- \
  java -Xcheck:jni -cp "$jar:java-classes" InstalledRoundTrip "$engine_dir/libKelResourceJni.so" java-volume ||
  fail "the Java program's round trip"

step "tools"
[ "$(kelvol --version)" = "$version" ] || fail "kelvol --version does not print $version"
[ "$(kelfs --version)" = "kelfs $version" ] || fail "kelfs --version does not print kelfs $version"

step "manual pages"
for page in 1:kelvol 1:kelfs 5:kel-volume 5:kel-det; do
  section=${page%%:*} name=${page#*:}
  found=$(man -w "$section" "$name") || fail "man -w $section $name finds no page"
  echo "$found"
  [ "$found" = "/usr/share/man/man$section/$name.$section.gz" ] || fail "man -w $section $name finds $found"
done

step "removing"
dpkg -r "$package" >"$work/dpkg-remove.log" 2>&1 || { cat "$work/dpkg-remove.log"; fail "dpkg -r failed"; }
left=()
for path in "${package_files[@]}" /opt/kel /usr/include/kel /usr/lib/x86_64-linux-gnu/cmake/KelTio \
            /usr/share/doc/$package; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || left+=("$path")
done
((${#left[@]} == 0)) || fail "left after dpkg -r: ${left[*]}"
echo "package test passed: $deb"
