#!/bin/sh
# Installs the Debian packages that building and testing pvr-launch need,
# only those missing: on a prepared machine it does nothing and needs no root.
# Usage: tools/install-deps.sh [build|all]   (default: all)
#   build: what building and running the launcher needs
#   all:   also the sanitizer, Windows (MinGW-w64, Wine), fuzzing and
#          packaging tools that the test command uses
set -eu
packages="cmake g++ make python3"
if [ "${1:-all}" = all ]; then
  packages="$packages libgtest-dev googletest clang-format clang
    libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine wine64 man-db
    groff-base unzip lintian"
fi
missing=
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
    grep -q 'ok installed' || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing:$missing; run this command with sudo" >&2
  exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq $missing >/dev/null
