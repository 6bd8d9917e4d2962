#!/usr/bin/env bash
# Runs every benchmark of a build folder and writes bench/RESULTS.md, bench/relay.png and
# bench/smooth.png.
#   bench/run_all.sh BUILD_DIR
# Settings (environment):
#   BENCH_REPETITIONS      repetitions of each Google Benchmark figure (default 9; medians reported)
#   FRAMES_REPETITIONS     runs of the 60 fps test (default 3)
#   RELAY_PILOTS           pilot counts for the relay (default "20 100 200 300 400 500 600 800 1000")
#   RELAY_REPETITIONS      runs per pilot count (default 3)
#   RELAY_SECONDS          measured seconds per relay run (default 10)
#   CLUSTER_PILOTS         pilot counts for one node against two on one address
#                          (default "200 300 400 500 600"; needs root and redis-server; "" skips)
#   RATES_WORLDS           worlds for the relay rates off and on side by side (default "grid spread")
#   RATES_SENDERS          reports a second per sender for them (default "30 60 120")
#   RATES_PILOTS           pilot counts for them (default "50 100 200 300 400 600 800 1000 1200 1500 2000";
#                          a run that loses nothing but misses p99 <= 5 ms is run once more; a setting
#                          stops growing after two counts in a row with loss; "" skips)
#   SERVER_NICE            niceness of the relay runs' servers (default -20: other users of a shared
#                          machine do not take the server's core)
#   CLIENT_NICE            niceness of the relay runs' load client (default -10)
#   BASELINE_PLUGIN        another plugin file to measure beside this build's (before/after)
#   BASELINE_SERVER        another server executable to run the relay against as well
#   FLOAT_TEXT_CHECK=1     also check every float's text and reading (about half an hour)
#   SMOOTH_FPS             the watching hosts' frame rates for the smooth-traffic cases (default "30 60 90 120")
#   SMOOTH_SECONDS         seconds measured per smooth-traffic case (default 15; "0" skips them)
#   RELAY_ONLY=1           run the relay parts only, keeping the plugin's figures of the last full run
#   SMOOTH_ONLY=1          run the smooth-traffic cases and the placement's cost only, and replace that
#                          section of bench/RESULTS.md
set -euo pipefail
BUILD=$(cd "${1:?usage: run_all.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=$BUILD/bench/results
REPS=${BENCH_REPETITIONS:-9}
FRAMES_REPS=${FRAMES_REPETITIONS:-3}
PILOTS=${RELAY_PILOTS:-"20 100 200 300 400 500 600 800 1000"}
RELAY_REPS=${RELAY_REPETITIONS:-3}
RELAY_SECONDS=${RELAY_SECONDS:-10}
CLUSTER_PILOTS=${CLUSTER_PILOTS-"200 300 400 500 600"}
RATES_WORLDS=${RATES_WORLDS:-"grid spread"}
RATES_SENDERS=${RATES_SENDERS:-"30 60 120"}
RATES_PILOTS=${RATES_PILOTS-"50 100 200 300 400 600 800 1000 1200 1500 2000"}
export RELAY_BENCH_SERVER_NICE=${SERVER_NICE:--20} RELAY_BENCH_CLIENT_NICE=${CLIENT_NICE:--10}
SMOOTH_FPS=${SMOOTH_FPS:-"30 60 90 120"}
SMOOTH_SECONDS=${SMOOTH_SECONDS:-15}

COMMANDS=$OUT/commands.txt
if [ -n "${SMOOTH_ONLY:-}" ]; then
  rm -rf "$OUT"
  mkdir -p "$OUT/callgrind"
  : >"$COMMANDS"
elif [ -n "${RELAY_ONLY:-}" ]; then
  # The plugin's figures of an earlier run stay; the relay's are taken again.
  rm -f "$OUT"/relay_*.json "$OUT"/cluster_relay_*.json "$OUT"/rates_*.json
  sed -i '/relay_bench/d' "$COMMANDS"
else
  rm -rf "$OUT"
  mkdir -p "$OUT/callgrind"
  : >"$COMMANDS"
fi
run() {  # run CMD...: logs the command, then runs it
  echo "$*" >>"$COMMANDS"
  "$@"
}

[ -n "${RELAY_ONLY:-}" ] || {
  echo "{\"date\": \"$(date -u +%Y-%m-%dT%H:%M:%SZ)\", \"commit\": \"$(git -C "$HERE" rev-parse --short HEAD 2>/dev/null || echo unknown)\","
  echo " \"cpu\": \"$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')\", \"cores\": $(nproc),"
  echo " \"kernel\": \"$(uname -r)\", \"load_at_start\": \"$(cut -d' ' -f1-3 /proc/loadavg)\","
  echo " \"baseline_plugin\": \"${BASELINE_PLUGIN:-}\", \"baseline_server\": \"${BASELINE_SERVER:-}\"}"
} >"$OUT/machine.json"
echo "{\"date\": \"$(date -u +%Y-%m-%dT%H:%M:%SZ)\", \"load_at_start\": \"$(cut -d' ' -f1-3 /proc/loadavg)\"}" >"$OUT/relay_machine.json"

GB=(--benchmark_repetitions="$REPS" --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2
  --benchmark_out_format=json)
# Debian's interpreter, where python3-matplotlib is installed (another python3 may come first on PATH).
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3

whole_plugin_frames() {  # the whole plugin at 60 fps, with smoothing on, off and before
  echo "== whole plugin at 60 fps"
  for i in $(seq "$FRAMES_REPS"); do
    run "$BUILD/bench/plugin_bench" --frames 10 "$OUT/frames_$i.json"
    # The same build with smoothing off: the remote aircraft placed by the receive cycle, as before.
    run "$BUILD/bench/plugin_bench" --frames 10 "$OUT/frames_off_$i.json" --smooth-off
    if [ -n "${BASELINE_PLUGIN:-}" ]; then
      SKYTETHER_BENCH_PLUGIN=$BASELINE_PLUGIN run "$BUILD/bench/plugin_bench" --frames 10 "$OUT/frames_baseline_$i.json"
    fi
  done
}

plugin_instructions() {  # callgrind instruction counts of the plugin's paths
  echo "== callgrind instruction counts"
  run valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$OUT/callgrind/plugin" \
    "$BUILD/bench/plugin_bench" --callgrind 2>"$OUT/callgrind/plugin.log"
  run valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$OUT/callgrind/plugin_off" \
    "$BUILD/bench/plugin_bench" --callgrind --smooth-off 2>"$OUT/callgrind/plugin_off.log"
  if [ -n "${BASELINE_PLUGIN:-}" ]; then
    SKYTETHER_BENCH_PLUGIN=$BASELINE_PLUGIN run valgrind --tool=callgrind --collect-atstart=no \
      --callgrind-out-file="$OUT/callgrind/plugin_baseline" "$BUILD/bench/plugin_bench" --callgrind \
      2>"$OUT/callgrind/plugin_baseline.log"
  fi
}

smooth_cases() {  # every smooth-traffic case, the baseline and this build one right after the other
  echo "== smooth traffic: one pilot's scripted paths, eight hosts watching every frame, through the real server"
  local cmd=("$PYTHON" "$HERE/smooth.py" "$BUILD" "$OUT" --label after --plugin "$BUILD/Skytether/lin_x64/Skytether.xpl"
    --fps "$(echo $SMOOTH_FPS | tr ' ' ,)" --seconds "$SMOOTH_SECONDS")
  [ -z "${BASELINE_PLUGIN:-}" ] || cmd+=(--before "$BASELINE_PLUGIN")
  # The hosts keep real time: a session of their own (its own autogroup) and, where allowed, the
  # FIFO class, so that other work on a shared machine does not hold their frames back.
  if chrt -f 10 true 2>/dev/null; then cmd=(chrt -f 10 "${cmd[@]}"); fi
  echo "${cmd[*]}" >>"$COMMANDS"
  # Port 49556 is the plugin's own: a network namespace of its own where one can be had.
  if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    setsid -w unshare -n bash -c 'ip link set lo up; exec "$@"' smooth "${cmd[@]}"
  else
    setsid -w "${cmd[@]}"
  fi
}

if [ -n "${SMOOTH_ONLY:-}" ]; then
  echo "== the placement of 19 moving aircraft"
  run "$BUILD/bench/plugin_bench" "${GB[@]}" --benchmark_filter='PlaceTraffic|PlaceWrites' \
    --benchmark_out="$OUT/plugin.json"
  whole_plugin_frames
  plugin_instructions
  smooth_cases
  sed -i "s/}\$/, \"load_at_end\": \"$(cut -d' ' -f1-3 /proc/loadavg)\"}/" "$OUT/machine.json"
  echo "== report"
  run "$PYTHON" "$HERE/make_results.py" --smooth-only "$OUT" "$HERE/RESULTS.md"
  echo "wrote the smooth-traffic section of $HERE/RESULTS.md and $HERE/smooth.png"
  exit 0
fi

if [ -z "${RELAY_ONLY:-}" ]; then
  echo "== plugin: broadcast and packet cycle beside raw socket calls"
  run "$BUILD/bench/plugin_bench" "${GB[@]}" --benchmark_out="$OUT/plugin.json"
  if [ -n "${BASELINE_PLUGIN:-}" ]; then
    echo "== the same for $BASELINE_PLUGIN"
    SKYTETHER_BENCH_PLUGIN=$BASELINE_PLUGIN run "$BUILD/bench/plugin_bench" "${GB[@]}" --benchmark_out="$OUT/plugin_baseline.json"
  fi

  echo "== text of one line and one report"
  run "$BUILD/bench/text_bench" "${GB[@]}" --benchmark_out="$OUT/text.json"
  echo "== registry path per position"
  run "$BUILD/bench/server_bench" "${GB[@]}" --benchmark_out="$OUT/server.json"

  whole_plugin_frames

  echo "== system calls of the packet cycle"
  mkdir -p "$OUT/syscalls"
  run strace -f -qq -o "$OUT/syscalls/plugin.txt" "$BUILD/bench/plugin_bench" --syscalls
  if [ -n "${BASELINE_PLUGIN:-}" ]; then
    SKYTETHER_BENCH_PLUGIN=$BASELINE_PLUGIN run strace -f -qq -o "$OUT/syscalls/plugin_baseline.txt" \
      "$BUILD/bench/plugin_bench" --syscalls
  fi

  plugin_instructions
  run valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$OUT/callgrind/server" \
    "$BUILD/bench/server_bench" --callgrind 2>"$OUT/callgrind/server.log" >/dev/null
fi

echo "== server relay"
# Repetitions outside, pilot counts inside: a busy spell of the machine spreads over all counts.
for r in $(seq "$RELAY_REPS"); do
  for n in $PILOTS; do
    run "$BUILD/bench/relay_bench" --server "$BUILD/server/skytether-server" --pilots "$n" --relay-rates off \
      --seconds "$RELAY_SECONDS" --warmup 4 --out "$OUT/relay_${n}_$r.json"
    if [ -n "${BASELINE_SERVER:-}" ]; then
      run "$BUILD/bench/relay_bench" --server "$BASELINE_SERVER" --pilots "$n" \
        --seconds "$RELAY_SECONDS" --warmup 4 --out "$OUT/relay_baseline_${n}_$r.json"
    fi
  done
done

if [ -n "$CLUSTER_PILOTS" ]; then
  echo "== server relay: one node against two nodes on one address"
  for r in $(seq "$RELAY_REPS"); do
    for n in $CLUSTER_PILOTS; do
      for nodes in 1 2; do
        run "$BUILD/bench/relay_bench" --server "$BUILD/server/skytether-server" --pilots "$n" --nodes "$nodes" \
          --relay-rates off --seconds "$RELAY_SECONDS" --warmup 4 --out "$OUT/cluster_relay_${nodes}_${n}_$r.json"
      done
    done
  done
fi

if [ -n "$RATES_PILOTS" ]; then
  echo "== server relay: rates by distance off and on, side by side"
  verdict() {  # verdict FILE: held (no loss, p99 <= 5 ms), slow (no loss) or lost
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))
ok = r["reports_lost"] == 0 and r["counted_loss_percent"] == 0
print("held" if ok and r["latency_p99_ms"] <= 5 else "slow" if ok else "lost")' "$1"
  }
  for world in $RATES_WORLDS; do
    for hz in $RATES_SENDERS; do
      declare -A missed=([off]=0 [on]=0)
      for n in $RATES_PILOTS; do
        for mode in off on; do
          [ "${missed[$mode]}" -ge 2 ] && continue
          for try in 1 2; do
            file="$OUT/rates_${world}_${hz}_${n}_${mode}_$try.json"
            run "$BUILD/bench/relay_bench" --server "$BUILD/server/skytether-server" --pilots "$n" --rate "$hz" \
              --world "$world" --relay-rates "$mode" --seconds "$RELAY_SECONDS" --warmup 4 --out "$file"
            result=$(verdict "$file")
            [ "$result" = slow ] || break
          done
          if [ "$result" = lost ]; then missed[$mode]=$((missed[$mode] + 1)); else missed[$mode]=0; fi
        done
      done
    done
  done
fi

if [ -z "${RELAY_ONLY:-}" ] && [ "$SMOOTH_SECONDS" != 0 ]; then
  smooth_cases
fi

sed -i "s/}\$/, \"load_at_end\": \"$(cut -d' ' -f1-3 /proc/loadavg)\"}/" "$OUT/relay_machine.json"
[ -n "${RELAY_ONLY:-}" ] || sed -i "s/}\$/, \"load_at_end\": \"$(cut -d' ' -f1-3 /proc/loadavg)\"}/" "$OUT/machine.json"
if [ "${FLOAT_TEXT_CHECK:-0}" = 1 ]; then
  echo "== every float through the number text routines"
  run "$BUILD/bench/float_text_check" | tee "$OUT/float_text_check.txt"
fi

echo "== report"
run "$PYTHON" "$HERE/make_results.py" "$OUT" "$HERE/RESULTS.md" "$HERE/relay.png"
echo "wrote $HERE/RESULTS.md and $HERE/relay.png"
