#!/bin/sh
# Runs pvr-launch on the example job in a scratch directory of its own, with
# its own TEMP, and shows what the run did.
# Usage: examples/run-example.sh [PATH-TO-pvr-launch]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
launcher=$(realpath "${1:-$here/../build/default/pvr-launch}")
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
[ -e "recordings/Evening News.ts" ] && echo "Stale target still there!" ||
  echo "Stale target deleted."
echo "Run log $scratch/~QZ-PVR-Log.txt:"
cat "$scratch/~QZ-PVR-Log.txt"
echo "The recorder runs on its own; waiting for it..."
sleep 3
echo "recordings/Evening News.ts now holds: $(cat "recordings/Evening News.ts")"
echo "(scratch directory: $scratch)"
