#!/bin/sh
# Runs every test the project has, installing what is missing first:
# formatting, the Linux build's tests, the sanitizer build's, the Windows
# .exe's under Wine, the ARM builds' under qemu-user, the Debian packages
# (lintian, then the example run from the unpacked amd64 package), the
# releases (tools/check-release.sh) and the fuzz targets.
set -eu
cd "$(dirname "$0")/.."
tools/install-deps.sh all
# Builds and test runs use every core this machine has.
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
export CMAKE_BUILD_PARALLEL_LEVEL CTEST_PARALLEL_LEVEL
clang-format --dry-run --Werror src/*/*.cc src/*/*.h tests/*.cc \
  tests/fuzz/*.cc bench/*.cc bench/*.c
cmake --workflow --preset default
cmake --workflow --preset sanitize
cmake --workflow --preset windows
cmake --workflow --preset arm64
cmake --workflow --preset armhf

# lintian must have nothing to say; as root it adds a line of its own.
for deb in build/default/pvr-launch_*.deb build/arm64/pvr-launch_*.deb \
  build/armhf/pvr-launch_*.deb; do
  said=$(lintian "$deb" 2>&1 | grep -v '^running with root privileges' || true)
  if [ -n "$said" ]; then
    echo "lintian on $deb:" >&2
    echo "$said" >&2
    exit 1
  fi
done
deb=$(ls build/default/pvr-launch_*.deb)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
test -f "$unpacked/usr/share/man/man1/pvr-launch.1.gz"
test -f "$unpacked/usr/share/man/man1/pvr-launch-check.1.gz"
test -x "$unpacked/usr/bin/pvr-launch-check"
test -f "$unpacked/usr/share/doc/pvr-launch/copyright"
PATH="$unpacked/usr/bin:$PATH" \
  "$unpacked/usr/share/doc/pvr-launch/examples/run-example.sh"
"$unpacked/usr/bin/pvr-launch" --version | grep -qx "pvr-launch [0-9.]*"
if readelf -S "$unpacked/usr/bin/pvr-launch" | grep -q '\.comment'; then
  echo "pvr-launch keeps the toolchain's .comment" >&2
  exit 1
fi
"$unpacked/usr/bin/pvr-launch" --help | grep -qx "Usage: pvr-launch JOBFILE"
"$unpacked/usr/bin/pvr-launch-check" --version | grep -qx "pvr-launch-check [0-9.]*"
dpkg-deb -f "$deb" Built-Using | grep -q '^glibc (= .*), gcc-[0-9]* (= .*)$'
zip=$(ls build/windows/pvr-launch-*-windows-x86_64.zip)
# Everything in one top folder, the text in CRLF lines.
for file in pvr-launch.exe pvr-launch-check.exe LICENSE THIRD-PARTY-NOTICES.txt; do
  unzip -l "$zip" | grep -q " pvr-launch-[0-9.]*/$file\$"
done
unzip -p "$zip" '*/THIRD-PARTY-NOTICES.txt' | grep -q 'winpthreads'
unzip -p "$zip" '*/LICENSE' | head -n 1 | grep -q "$(printf '\r')\$"

# The releases as a distribution and a Windows admin take them: the same
# bytes from any builder, debian/'s build, the MSI under Wine, the sums.
if [ -e .git ]; then
  tools/check-release.sh
fi

# Hardened: position-independent and bound at start where the toolchain has
# static-pie (amd64, arm64; armhf stays static), the project's code built
# with the stack protector, the exe with ASLR and DEP.
for build in default arm64; do
  readelf -h "build/$build/pvr-launch" | grep -q 'Type: *DYN'
  readelf -d "build/$build/pvr-launch" | grep -q 'BIND_NOW'
  nm "build/$build/libpvr-core.a" | grep -q __stack_chk_fail
done
for exe in pvr-launch pvr-launch-check; do
  for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE; do
    objdump -p build/windows/$exe.exe | grep -q "^\s*$flag"
  done
  strings -el build/windows/$exe.exe | grep -qx "$exe.exe"
  strings -a build/windows/$exe.exe | grep -q "assemblyIdentity type=\"win32\" name=\"$exe\""
done

# Each fuzz target runs for about 60 s from the seed corpus.
cmake --workflow --preset fuzz
