#!/bin/sh
# Runs pvr-launch on the example job in a scratch directory of its own, with
# its own TEMP, shows what the run did, and fails if it did not do its job.
# Usage: examples/run-example.sh [PATH-TO-pvr-launch]
# Without a path, in a source tree it installs what building needs, builds
# the launcher when it is missing or stale, and runs that; installed, it
# runs the pvr-launch on PATH.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -gt 0 ]; then
  launcher=$(realpath "$1")
elif [ ! -x "$here/../tools/install-deps.sh" ]; then
  launcher=$(command -v pvr-launch) ||
    { echo "run-example: no pvr-launch on PATH" >&2; exit 1; }
else
  (
    cd "$here/.."
    tools/install-deps.sh build
    [ -f build/default/CMakeCache.txt ] || cmake --preset default >/dev/null
    cmake --build --preset default --target pvr-launch >/dev/null
  )
  launcher=$here/../build/default/pvr-launch
fi
scratch=$(mktemp -d)
cd "$scratch"
mkdir recordings
cp "$here/evening-news.xml" .
echo "stale" > "recordings/Evening News.ts"
echo "Before: recordings/ holds a stale 'Evening News.ts'"

start=$(date +%s.%N)
status=0
TEMP=$scratch "$launcher" evening-news.xml || status=$?
end=$(date +%s.%N)
echo "pvr-launch ended with status $status after" \
  "$(awk "BEGIN { printf \"%.2f\", $end - $start }") s (a pause follows the deletion)"
[ "$status" -eq 0 ] || exit 1
if [ -e "recordings/Evening News.ts" ]; then
  echo "The stale target is still there!"
  exit 1
fi
echo "Stale target deleted."
echo "Run log $scratch/~QZ-PVR-Log.txt:"
cat "$scratch/~QZ-PVR-Log.txt"
echo "The recorder runs on its own; waiting for its end..."
for _ in $(seq 40); do
  grep -qs -- '--- ended' "$scratch"/~QZ-PVR-Evening*.txt && break
  sleep 0.5
done
echo "recordings/Evening News.ts now holds: $(cat "recordings/Evening News.ts")"
echo "Its output and end, in $(ls "$scratch"/~QZ-PVR-Evening*.txt):"
cat "$scratch"/~QZ-PVR-Evening*.txt
grep -q -- '^--- ended .* with status 0; a file of 9 bytes at the target ---$' \
  "$scratch"/~QZ-PVR-Evening*.txt
rm -rf "$scratch"
