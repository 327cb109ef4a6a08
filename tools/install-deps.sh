#!/bin/sh
# Installs the Debian packages that building and testing pvr-launch need,
# only those missing: on a prepared machine it does nothing and needs no root.
# Usage: tools/install-deps.sh [build|all]   (default: all)
#   build: what building the launcher and its tests needs (the default
#          preset builds both), and what those tests run: man-db and
#          groff-base for the man pages' test
#   all:   also the sanitizer, Windows (MinGW-w64, Wine, wixl for the MSI),
#          ARM (cross compilers, qemu-user), fuzzing and packaging
#          (lintian, debhelper) tools that the test command uses
set -eu
packages="cmake g++ make python3 libgtest-dev man-db groff-base"
if [ "${1:-all}" = all ]; then
  packages="$packages googletest clang-format clang libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix wine wine64 wixl unzip lintian debhelper
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static
    binfmt-support"
fi
# ARM programs start like native ones once qemu is registered with the
# kernel: the ARM tests start the launcher, and it the recorder.
binfmt=/proc/sys/fs/binfmt_misc
register_qemu() {
  [ "${1:-all}" = all ] && [ ! -e $binfmt/qemu-aarch64 ] || return 0
  mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt
  for format in qemu-aarch64 qemu-arm; do
    update-binfmts --import $format 2>/dev/null || true
    update-binfmts --enable $format
  done
}
missing=
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
    grep -q 'ok installed' || missing="$missing $package"
done
if [ -z "$missing" ] && { [ "${1:-all}" != all ] || [ -e $binfmt/qemu-aarch64 ]; }; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing:$missing (or qemu's registration);" \
    "run this command with sudo" >&2
  exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
[ -z "$missing" ] || apt-get update -qq
if [ -n "$missing" ]; then
  # shellcheck disable=SC2086
  apt-get install -y -qq $missing >/dev/null
fi
register_qemu "${1:-all}"
