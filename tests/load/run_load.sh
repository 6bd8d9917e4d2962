#!/usr/bin/env bash
# The server under load: ./run load [SECONDS [PILOTS [RATE]]] (defaults 60, 200, 30).
#   tests/load/run_load.sh BUILD [SECONDS [PILOTS [RATE [CHATTERS [MAX_LOSS]]]]]
# Starts BUILD's skytether-server on 127.0.0.1 (a free port), runs load-check against it for
# the given time, prints its figures and the server's own drop counts, and stops the server.
# CHATTERS more connections chat at their allowance meanwhile; with MAX_LOSS (percent) given,
# losing more of the pilots' reports than that fails the run.
# LOAD_NODES=N runs N cluster nodes instead, sharing their pilots through a redis-server of the
# run's own (on ports of their own; with LOAD_SAME_ADDRESS=1 all on one address and port, steered
# by source address, which needs root for a private BPF file system), and adds Redis's figures.
# BUILD may be build-asan: the server's sanitizer reports then fail the run.
# Bounded: the check ends by itself; timeouts stop both if anything hangs.
set -euo pipefail
nodes=${LOAD_NODES:-1}
same=${LOAD_SAME_ADDRESS:-0}
if [ "$nodes" -gt 1 ] && [ "$same" = 1 ] && [ -z "${LOAD_PRIVATE_MOUNTS:-}" ]; then
  LOAD_PRIVATE_MOUNTS=1 exec unshare -m --propagation private "$0" "$@"
fi
build=$(cd "$1" && pwd)
seconds=${2:-60}
pilots=${3:-200}
rate=${4:-30}
chatters=${5:-0}
max_loss=${6:--1}
work=$(mktemp -d /tmp/skytether-load-XXXXXX)
pids=()
redis=
cleanup() {
  for p in "${pids[@]}" $redis; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  mountpoint -q "$work/bpf" 2>/dev/null && umount "$work/bpf"
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_listening() {  # LOG: the port the server listens on
  for _ in $(seq 100); do
    grep -q "listening on" "$1" && break
    sleep 0.1
  done
  grep -o 'listening on [0-9.]*:[0-9]*' "$1" | grep -o '[0-9]*$' || { cat "$1" >&2; exit 1; }
}

cluster_args=()
if [ "$nodes" -gt 1 ]; then
  redis_port=$(free_port)
  redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" \
    --logfile "$work/redis.log" &
  redis=$!
  for _ in $(seq 100); do redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break; sleep 0.1; done
  if [ "$same" = 1 ]; then
    mkdir "$work/bpf" && mount -t bpf bpf "$work/bpf"
  fi
fi

ports=()
for ((k = 0; k < nodes; k++)); do
  args=(--listen 127.0.0.1 --port 0)
  if [ "$nodes" -gt 1 ]; then
    args+=(--cluster "127.0.0.1:$redis_port" --node-name "node$k")
    if [ "$same" = 1 ]; then
      [ "$k" -eq 0 ] || args[3]=${ports[0]}
      args+=(--reuseport "$k/$nodes" --bpf-dir "$work/bpf/group")
    fi
  fi
  "$build/server/skytether-server" "${args[@]}" 2>"$work/node$k.log" &
  pids+=($!)
  ports+=("$(wait_listening "$work/node$k.log")")
done
if [ "$nodes" -gt 1 ]; then
  for ((k = 0; k < nodes; k++)); do
    for _ in $(seq 100); do
      [ "$(grep -c ' joined' "$work/node$k.log")" -ge $((nodes - 1)) ] && break
      sleep 0.1
    done
  done
  [ "$same" = 1 ] && where="one address, 127.0.0.1:${ports[0]}" || where="ports ${ports[*]}"
  echo "== $nodes cluster nodes (pids ${pids[*]}) on $where, Redis pid $redis on port $redis_port"
else
  echo "== server pid ${pids[0]} on 127.0.0.1:${ports[0]}"
fi
echo "== $pilots pilots at $rate Hz for $seconds s, $chatters chatting"

# Counters at the start and the end of the run: the nodes' own (kill -USR1) and Redis's.
counters() {
  for p in "${pids[@]}"; do kill -USR1 "$p"; done
  [ -z "$redis" ] || redis-cli -p "$redis_port" info stats | tr -d '\r' | grep '^total_commands_processed' \
    >>"$work/redis-commands"
}
sum_counter() {  # WORDS: the number after WORDS in the last two counters lines, their difference summed over nodes
  local total=0 k
  for ((k = 0; k < nodes; k++)); do
    total=$((total + $(grep 'cluster counters' "$work/node$k.log" | tail -n 2 | sed -n "s/.*$1 \([0-9]*\).*/\1/p" |
      awk 'NR == 1 { a = $1 } NR == 2 { print $1 - a }')))
  done
  echo "$total"
}
[ "$nodes" -le 1 ] || { counters; sleep 0.2; }
started=$(date +%s.%N)

status=0
pid_list=$(IFS=,; echo "${pids[*]}")
port_list=$(IFS=,; echo "${ports[*]}")
[ "$same" = 1 ] && port_list=${ports[0]}
timeout $((seconds + 60)) "$build/tests/load/load-check" --port "$port_list" --server-pid "$pid_list" \
  --pilots "$pilots" --rate "$rate" --seconds "$seconds" --warmup 5 --chatters "$chatters" \
  --max-loss "$max_loss" --nodes "$nodes" ${redis:+--redis-pid "$redis"} || status=$?

if [ "$nodes" -gt 1 ]; then
  counters
  sleep 0.3
  elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
  commands=$(awk -F: 'NR == 1 { a = $2 } NR == 2 { print $2 - a }' "$work/redis-commands")
  rate_of() { awk -v n="$1" -v t="$elapsed" 'BEGIN { printf "%.0f", n / t }'; }
  echo "== Redis over the whole run ($elapsed s, warm-up included)"
  echo "commands processed       $(rate_of "$commands")/s"
  echo "publishes by the nodes   $(rate_of "$(sum_counter publishes)")/s" \
    "(positions $(rate_of "$(sum_counter 'positions out')")/s)"
  echo "messages to the nodes    $(rate_of "$(sum_counter messages)")/s" \
    "(positions $(rate_of "$(sum_counter 'positions out [0-9]* in')")/s)"
  echo "publishes dropped        $(sum_counter dropped)"
fi

echo "== what the servers dropped (their own counts)"
grep -hE 'dropped [0-9]+ x|cut' "$work"/node*.log | tail -n 5 || echo "nothing"
for ((k = 0; k < nodes; k++)); do
  kill -TERM "${pids[$k]}"
  node_status=0
  wait "${pids[$k]}" || node_status=$?
  # In a sanitizer build an error or a leak report makes the exit status non-zero.
  echo "== server $k exit status after SIGTERM: $node_status"
  [ "$node_status" -eq 0 ] || { grep -E 'ERROR|SUMMARY|runtime error' "$work/node$k.log" | head -n 5; status=1; }
done
pids=()
exit "$status"
