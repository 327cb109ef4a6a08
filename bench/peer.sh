#!/bin/sh
# The same job as pvr-launch, written as a user might with the usual tools:
# read the job, delete a stale target, log the record, start the recorder.
job=$1
case $(printf '%s' "$job" | tr 'A-Z' 'a-z') in *.xml*) ;; *) exit 0 ;; esac
[ -f "$job" ] || exit 0

data=$(sed 's/^ *//; s/ *$//' "$job" | tr -d '\r\n')
value() {
  printf '%s' "$data" | grep -io "<$1>[^<]*</$1>" | head -n 1 |
    sed 's/<[^>]*>//g; s/^ *//; s/ *$//'
}
target="$(value pvr-work-dir)$(value pvr-show-file-name)$(value pvr-show-file-ext)"
while [ -n "$target" ] && [ -f "$target" ]; do
  rm -f "$target" || exit 1
  sleep 2
done

command=$(printf '%s' "$data" | grep -o '<code>.*</code>' | head -n 1 |
  sed 's:^<code>::; s:</code>.*$::; s:\\":":g')
log="${TEMP:-${TMPDIR:-/tmp}}/~QZ-PVR-Log.txt"
printf '\n--- %s.exe at %s ---\n  Video File: %s\n     Command: %s\n' \
  peer "$(date +%H:%M:%S)" "$target" "$command" >>"$log" || exit 1
setsid sh -c "$command" </dev/null &
