#!/usr/bin/env bash
# The full soak: a million datagrams through the release build within 25 minutes.
export CORVANE_SOAK_COUNT=${CORVANE_SOAK_COUNT:-1000000} CORVANE_TIMEOUT_S=1500
exec "$(dirname "$0")/run.sh" -s -k soak "$@"
