#!/bin/sh
# Checks a release as a distribution and a Windows admin take it, after the
# test command has built and packaged build/default and build/windows in a
# git checkout:
# - the source release holds the tracked files and its date; built from it
#   elsewhere (fresh file times, no SOURCE_DATE_EPOCH, a path holding "+",
#   umask 002, a far time zone, an ordinary account when run as root) it
#   gives the same .deb, .zip and source release, and so does
#   package_source from a build folder of another name;
# - in a path holding "[" the distribution's test workflow passes, the
#   source release is the same and cpack refuses binary packages plainly;
# - a plain install holds none of Debian's own files; packages made under
#   umask 077 and 027 are the same bytes;
# - a checkout owned by another user stops the build with git's reason
#   until it is declared safe, and uncommitted changes stop package_source;
# - debian/ builds the release with dpkg-buildpackage, tests passing, a
#   -dbgsym package, nothing for lintian to say, and with nocheck, no GTest;
# - the MSI installs under Wine, runs the example job, registers the event
#   log's source and leaves nothing behind when removed;
# - every SHA256SUMS matches its packages.
set -eu
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(pvr-launch VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
release=build/default/pvr-launch-$version.tar.xz
deb=$(ls build/default/pvr-launch_*.deb)
zip=build/windows/pvr-launch-$version-windows-x86_64.zip
scratch=$(mktemp -d)
if [ "$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')" -gt 4000000 ] 2>/dev/null; then
  rmdir "$scratch" && scratch=$(mktemp -d -p /dev/shm)
fi
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
as_user=
if [ "$(id -u)" -eq 0 ]; then
  as_user="setpriv --reuid=nobody --regid=nogroup --clear-groups"
fi
user_owns() { [ -z "$as_user" ] || chown -R nobody:nogroup "$@"; }
same() { cmp "$1" "$2" || { sha256sum "$1" "$2" >&2; exit 1; }; }

cmake --build build/default --target package_source >/dev/null
tar -tJf "$release" | sed -n 's|^[^/]*/||; /[^/]$/p' | sort > "$scratch/listing"
{ git ls-files; echo release-date; } | sort | diff - "$scratch/listing"

mkdir "$scratch/release+1"
tar --touch -xJf "$release" -C "$scratch/release+1"
cp -r "$scratch/release+1" "$scratch/tree[1]"
user_owns "$scratch/release+1" "$scratch/tree[1]"
(cd "$scratch/release+1/pvr-launch-$version" && $as_user env -u SOURCE_DATE_EPOCH \
  TZ=Pacific/Auckland HOME="$PWD" sh -c '
  umask 002 &&
  cmake --workflow --preset default &&
  cmake --preset windows -DBUILD_TESTING=OFF >/dev/null &&
  cmake --build --preset windows >/dev/null && cpack --preset windows >/dev/null &&
  cmake --build build/default --target package_source >/dev/null &&
  cmake -S . -B obj-x86_64-linux-gnu -DBUILD_TESTING=OFF >/dev/null &&
  cmake --build obj-x86_64-linux-gnu --target package_source >/dev/null')
there=$scratch/release+1/pvr-launch-$version
for artifact in "$deb" "$zip" "$release"; do
  same "$artifact" "$there/$artifact"
done
same "$release" "$there/obj-x86_64-linux-gnu/${release##*/}"
same build/default/SHA256SUMS "$there/build/default/SHA256SUMS"

(cd "$scratch/tree[1]/pvr-launch-$version" && $as_user env HOME="$PWD" sh -c '
  cmake --workflow --preset distribution &&
  cmake --build build/distribution --target package_source >/dev/null &&
  ! cpack --config build/distribution/CPackConfig.cmake >/dev/null 2>&1')
same "$release" "$scratch/tree[1]/pvr-launch-$version/build/distribution/${release##*/}"

cmake --install build/default --prefix "$scratch/plain" >/dev/null
if find "$scratch/plain" -name copyright -o -name 'changelog*' -o -name lintian |
  grep .; then
  echo "a plain install holds Debian's own files" >&2
  exit 1
fi

for mask in 077 027; do
  (umask $mask && cpack --config build/default/CPackConfig.cmake \
    -B "$scratch/umask$mask" >/dev/null)
  same "$deb" "$scratch/umask$mask/${deb##*/}"
done

if [ -n "$as_user" ]; then
  checkout=$scratch/checkout
  git clone -q . "$checkout"
  chown -R nobody:nogroup "$checkout"
  if cmake -S "$checkout" -B "$checkout/build" >"$scratch/said" 2>&1; then
    echo "a checkout git refuses was built" >&2
    exit 1
  fi
  grep -q "git config --global --add safe.directory" "$scratch/said"
  export GIT_CONFIG_COUNT=1 GIT_CONFIG_KEY_0=safe.directory \
    GIT_CONFIG_VALUE_0="$checkout"
  env -u SOURCE_DATE_EPOCH cmake -S "$checkout" -B "$checkout/build" \
    -DBUILD_TESTING=OFF >/dev/null
  grep -q "SOURCE_DATE_EPOCH} $(git log -1 --format=%ct))" \
    "$checkout/build/CPackProject.cmake"
  echo >> "$checkout/README.md"
  if cmake --build "$checkout/build" --target package_source \
    >"$scratch/said" 2>&1; then
    echo "a release was made of uncommitted changes" >&2
    exit 1
  fi
  grep -q "M README.md" "$scratch/said"
  unset GIT_CONFIG_COUNT GIT_CONFIG_KEY_0 GIT_CONFIG_VALUE_0
fi

debian=$scratch/debian
mkdir "$debian"
cp "$release" "$debian/pvr-launch_$version.orig.tar.xz"
tar -xJf "$release" -C "$debian"
user_owns "$debian"
(cd "$debian/pvr-launch-$version" && $as_user env HOME="$PWD" \
  DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc \
  >"$debian/build.log" 2>&1) || { tail -n 50 "$debian/build.log" >&2; exit 1; }
grep -q "100% tests passed" "$debian/build.log"
test -f "$debian/pvr-launch-dbgsym_$version-1_$(dpkg --print-architecture).deb"
said=$(lintian "$debian"/pvr-launch_*.changes 2>&1 |
  grep -v '^running with root privileges' || true)
[ -z "$said" ] || { echo "lintian on the debhelper build: $said" >&2; exit 1; }
(cd "$debian/pvr-launch-$version" && $as_user env HOME="$PWD" \
  DEB_BUILD_PROFILES=nocheck DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
  dpkg-buildpackage -us -uc -b >"$debian/build.log" 2>&1) ||
  { tail -n 50 "$debian/build.log" >&2; exit 1; }
if grep -q GTest "$debian/pvr-launch-$version"/obj-*/CMakeCache.txt; then
  echo "the nocheck build looked for GTest" >&2
  exit 1
fi

export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all
programs="$WINEPREFIX/drive_c/Program Files/pvr-launch"
key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\pvr-launch'
test ! -e "$programs"
wine msiexec /i "build/windows/pvr-launch-$version-windows-x86_64.msi" /qn
test -f "$programs/pvr-launch-check.exe" && test -f "$programs/examples/evening-news-windows.xml"
wine reg query "$key" /v EventMessageFile | grep -q 'C:\\Program Files\\pvr-launch\\pvr-launch.exe'
# The example job, its recordings' folder here and its recorder the
# installed checker (which ends at once on the recorder's arguments).
job=$scratch/windows
mkdir "$job"
echo stale > "$job/Evening News.ts"
folder="Z:$(echo "$job" | tr / '\\')"
sed -e "s|D:\\\\Recordings|$(printf %s "$folder" | sed 's/\\/\\\\/g')|g" \
  -e 's|Recorder\\rec.exe|pvr-launch\\pvr-launch-check.exe|' \
  "$programs/examples/evening-news-windows.xml" > "$job/job.xml"
wine "$programs/pvr-launch.exe" "$folder\\job.xml"
# The stale target deleted, not left under another name; the record last
# in the log (Wine gives programs its own TEMP).
[ "$(ls "$job")" = job.xml ]
temp=$(winepath -u "$(wine cmd /c echo %TEMP% | tr -d '\r')")
tail -n 4 "$temp/~QZ-PVR-Log.txt" | grep -q "pvr-launch-check.exe\" --out"
wine msiexec /x "build/windows/pvr-launch-$version-windows-x86_64.msi" /qn
wineserver -w
test ! -e "$programs"
if wine reg query "$key" >/dev/null 2>&1 ||
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
  grep -q pvr-launch; then
  echo "the MSI left its registry entries behind" >&2
  exit 1
fi

for build in default windows arm64 armhf; do
  (cd build/$build && sha256sum --quiet -c SHA256SUMS)
done
grep -q "\.tar\.xz$" build/default/SHA256SUMS
grep -q "\.msi$" build/windows/SHA256SUMS
