#!/usr/bin/env bash
# The server under load: ./run load [SECONDS [PILOTS [RATE]]] (defaults 60, 200, 30).
#   tests/load/run_load.sh BUILD [SECONDS [PILOTS [RATE [CHATTERS [MAX_LOSS]]]]]
# Starts BUILD's skytether-server on 127.0.0.1 (a free port), runs load-check against it for
# the given time, prints its figures and the server's own drop counts, and stops the server.
# CHATTERS more connections chat at their allowance meanwhile; with MAX_LOSS (percent) given,
# losing more of the pilots' reports than that fails the run.
# BUILD may be build-asan: the server's sanitizer reports then fail the run.
# Bounded: the check ends by itself; timeouts stop both if anything hangs.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
pilots=${3:-200}
rate=${4:-30}
chatters=${5:-0}
max_loss=${6:--1}
log=$(mktemp /tmp/skytether-load-XXXXXX.log)

"$build/server/skytether-server" --listen 127.0.0.1 --port 0 2>"$log" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q "listening on" "$log" && break
  sleep 0.1
done
port=$(grep -o 'listening on [0-9.]*:[0-9]*' "$log" | grep -o '[0-9]*$') || { cat "$log"; exit 1; }
echo "== server pid $server on 127.0.0.1:$port; $pilots pilots at $rate Hz for $seconds s, $chatters chatting"

status=0
timeout $((seconds + 60)) "$build/tests/load/load-check" --port "$port" --server-pid "$server" \
  --pilots "$pilots" --rate "$rate" --seconds "$seconds" --warmup 5 --chatters "$chatters" \
  --max-loss "$max_loss" || status=$?

echo "== what the server dropped (its own counts)"
grep -E 'dropped|cut' "$log" | tail -n 5 || echo "nothing"
kill -TERM "$server"
server_status=0
wait "$server" || server_status=$?
trap - EXIT
# In a sanitizer build an error or a leak report makes the exit status non-zero.
echo "== server exit status after SIGTERM: $server_status"
[ "$server_status" -eq 0 ] || { grep -E 'ERROR|SUMMARY|runtime error' "$log" | head -n 5; status=1; }
rm -f "$log"
exit "$status"
