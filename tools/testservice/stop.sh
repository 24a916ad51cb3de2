#!/usr/bin/env bash
# Stops the test service that start.sh started for DIR (only that process).
#   stop.sh DIR
set -uo pipefail
dir=${1:?usage: stop.sh DIR}
pidfile=$dir/service.pid
[ -f "$pidfile" ] || exit 0
pid=$(tr -dc 0-9 <"$pidfile")
rm -f "$pidfile"
[ -n "$pid" ] || exit 0
# Only a process that still runs our service script is ours to stop.
if grep -qs "testservice/service.py" "/proc/$pid/cmdline"; then
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || exit 0; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
fi
exit 0
