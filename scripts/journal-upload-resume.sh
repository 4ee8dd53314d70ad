#!/bin/sh
# Starts systemd-journal-upload where it stopped, for a unit's ExecStart:
#
#   ExecStart=/usr/local/lib/corvane/journal-upload-resume.sh --url=http://central:19532
#
# Restarted with --save-state alone, the upload of systemd 252 ships the entry at its saved
# cursor a second time. Started at the entry after that one, it ships each entry once.
# With nothing logged since (on a systemd host the start of the unit itself is logged
# first), the upload is left to its state. Arguments go to the upload.
set -eu
state=${JOURNAL_UPLOAD_STATE:-/var/lib/systemd/journal-upload/state}
last=$(sed -n 's/^LAST_CURSOR=//p' "$state" 2>/dev/null || true)
next=
if [ -n "$last" ]; then
    next=$(journalctl --after-cursor="$last" -o json --output-fields=__CURSOR -q 2>/dev/null |
        head -n 1 | sed -n 's/.*"__CURSOR":"\([^"]*\)".*/\1/p')
fi
exec /lib/systemd/systemd-journal-upload --save-state="$state" ${next:+--cursor="$next"} "$@"
