#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project.
set -euo pipefail

# The build: compilers, CMake, JDK 17 (jars, JNI headers), CLI11 (kelvol, kelfs), nlohmann-json
# (kelvol), libfuse3 through pkg-config (kelfs). The tests: GoogleTest, Python with numpy
# (kelfs mounts), losetup (loop devices), rsvg-convert (kelvol's pictures), fuse3.
packages=(cmake g++ make libgtest-dev openjdk-17-jdk-headless
          python3 util-linux libcli11-dev nlohmann-json3-dev librsvg2-bin
          libfuse3-dev fuse3 pkg-config python3-numpy
          dpkg-dev file lintian man-db  # the Debian package: CPack's shlibdeps, checks
          scdoc python3-cram)             # manual pages; the documentation's sessions run as tests
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
