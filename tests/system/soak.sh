#!/usr/bin/env bash
# The full soak: a million datagrams through the release build within 25 minutes.
export CORVANE_SOAK_COUNT=${CORVANE_SOAK_COUNT:-1000000}
export CORVANE_SOAK_SECONDS=${CORVANE_SOAK_SECONDS:-1500} CORVANE_TIMEOUT_S=1800
exec "$(dirname "$0")/run.sh" -s -k soak "$@"
