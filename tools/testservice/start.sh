#!/usr/bin/env bash
# Starts the local test service in the background and prints its base URL.
#   start.sh DIR [MAX_SECONDS] [PORT]
# PORT 0 (the default) picks a free port; the program's loopback build uses a fixed one.
# DIR receives service.pid, service.port, requests.jsonl and service.log.
# Use: export LUMORA_TEST_SERVICE=$(tools/testservice/start.sh build/testservice)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:?usage: start.sh DIR [MAX_SECONDS]}
max_seconds=${2:-5400}
port=${3:-0}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# A service this folder started before is stopped first.
"$here/stop.sh" "$dir" >/dev/null 2>&1 || true
rm -f "$dir/service.port"
python3 "$here/service.py" --port "$port" --port-file "$dir/service.port" --log "$dir/requests.jsonl" \
  --max-seconds "$max_seconds" >"$dir/service.log" 2>&1 </dev/null &
echo $! >"$dir/service.pid"
for _ in $(seq 100); do
  [ -s "$dir/service.port" ] && break
  kill -0 "$(cat "$dir/service.pid")" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$dir/service.port" ]; then
  echo "test service did not start; see $dir/service.log" >&2
  exit 1
fi
echo "http://127.0.0.1:$(tr -dc 0-9 <"$dir/service.port")"
