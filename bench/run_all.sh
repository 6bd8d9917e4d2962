#!/usr/bin/env bash
# Runs every benchmark of a build folder and writes bench/RESULTS.md, bench/relay.png and
# bench/smooth.png.
#   bench/run_all.sh BUILD_DIR
# Settings (environment):
#   BENCH_REPETITIONS      repetitions of each Google Benchmark figure (default 9; medians reported)
#   FRAMES_REPETITIONS     runs of the 60 fps test (default 3)
#   RELAY_SECONDS          measured seconds per relay run, after 4 s of warm-up (default 10)
#   RULES_SENDERS          reports a second per sender for the rules side by side (default "60 120";
#                          "" skips them)
#   RULES_PILOTS_off, RULES_PILOTS_steps, RULES_PILOTS_changes
#                          pilot counts for each rule (defaults below); a rule stops growing after
#                          two counts in a row that were not held (loss, or p99 over 5 ms)
#   SEGMENT_PILOTS         pilots for segmented sends on against off (default 1500; "" skips)
#   NODES_PILOTS           pilots for one node against two on one core (default 800; "" skips;
#                          needs root and redis-server)
#   NODES_FULL_PILOTS      pilots for two nodes filling their core (default "1200 1600")
#   BASELINE_SERVER        another server binary (an earlier build), also run as two nodes beside each
#                          count of NODES_PILOTS (before/after)
#   NODES_ONLY=1           run one node against two only, and replace that section of bench/RESULTS.md
#   DISPLAY_RULES          relay rules whose display error at the receiver is measured (bench/display.py;
#                          default "off steps changes"; "" skips)
#   DISPLAY_SECONDS        seconds measured per relay rule there (default 10)
#   BASELINE_PLUGIN        another plugin file to measure beside this build's (before/after)
#   BASELINE_SERVER        with BASELINE_PLUGIN, another server program: the display error by relay
#                          rule is measured with both beside this build's
#   FLOAT_TEXT_CHECK=1     also check every float's text and reading (about half an hour)
#   SMOOTH_FPS             the watching hosts' frame rates for the smooth-traffic cases (default "30 60 90 120")
#   SMOOTH_SECONDS         seconds measured per smooth-traffic case (default 15; "0" skips them)
#   RELAY_ONLY=1           run the relay parts only, keeping the plugin's figures of the last full run
#                          (of this build folder, or those already in bench/RESULTS.md)
#   SMOOTH_ONLY=1          run the smooth-traffic cases and the placement's cost only, and replace that
#                          section of bench/RESULTS.md
set -euo pipefail
BUILD=$(cd "${1:?usage: run_all.sh BUILD_DIR}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=$BUILD/bench/results
REPS=${BENCH_REPETITIONS:-9}
FRAMES_REPS=${FRAMES_REPETITIONS:-3}
RELAY_SECONDS=${RELAY_SECONDS:-10}
RULES_SENDERS=${RULES_SENDERS-"60 120"}
RULES_PILOTS_off=${RULES_PILOTS_off:-"100 200 300 400 500 600"}
RULES_PILOTS_steps=${RULES_PILOTS_steps:-"200 400 600 800 1000 1200 1500"}
RULES_PILOTS_changes=${RULES_PILOTS_changes:-"500 1000 1500 2000 2500 3000"}
SEGMENT_PILOTS=${SEGMENT_PILOTS-1500}
NODES_PILOTS=${NODES_PILOTS-800}
NODES_FULL_PILOTS=${NODES_FULL_PILOTS-"1200 1600"}
DISPLAY_RULES=${DISPLAY_RULES-"off steps changes"}
SMOOTH_FPS=${SMOOTH_FPS:-"30 60 90 120"}
SMOOTH_SECONDS=${SMOOTH_SECONDS:-15}
DISPLAY_SECONDS=${DISPLAY_SECONDS:-10}

COMMANDS=$OUT/commands.txt
if [ -n "${SMOOTH_ONLY:-}" ]; then
  rm -rf "$OUT"
  mkdir -p "$OUT/callgrind"
  : >"$COMMANDS"
elif [ -n "${NODES_ONLY:-}" ]; then
  mkdir -p "$OUT"
  rm -f "$OUT"/nodes_*.json
  touch "$COMMANDS"
  sed -i '/--nodes/d' "$COMMANDS"
elif [ -n "${RELAY_ONLY:-}" ]; then
  # The plugin's figures of an earlier run stay; the relay's are taken again.
  rm -rf "$OUT"/rules_*.json "$OUT"/segment_*.json "$OUT"/nodes_*.json "$OUT"/display "$OUT"/display_*
  sed -i '/relay_bench\|--relay-rates/d' "$COMMANDS"
else
  rm -rf "$OUT"
  mkdir -p "$OUT/callgrind"
  : >"$COMMANDS"
fi
# hosts_in_real_time CMD...: logs the command and runs it with the hosts keeping real time: a session
# of their own (its own autogroup) and, where allowed, the FIFO class, so that other work on a shared
# machine does not hold their frames back; port 49556 is the plugin's own, so in a network namespace
# of its own where one can be had.
hosts_in_real_time() {
  local cmd=("$@")
  if chrt -f 10 true 2>/dev/null; then cmd=(chrt -f 10 "${cmd[@]}"); fi
  echo "${cmd[*]}" >>"$COMMANDS"
  if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    setsid -w unshare -n bash -c 'ip link set lo up; exec "$@"' smooth "${cmd[@]}"
  else
    setsid -w "${cmd[@]}"
  fi
}
run() {  # run CMD...: logs the command, then runs it
  echo "$*" >>"$COMMANDS"
  "$@"
}

# The relay runs: relay_bench puts the server and itself each in a session of its own (so each is a
# scheduling group of its own), in the real-time FIFO class, pinned to CPUs 0 and 1; every figure
# is taken after the warm-up.
RELAY=("$BUILD/bench/relay_bench" --server "$BUILD/server/skytether-server" --seconds "$RELAY_SECONDS" --warmup 4)
nodes_runs() {
  echo "== server relay: one node against two nodes on one address, on the same core"
  # Every server on CPU 0 (and Redis with them), the client on CPU 1: CPU per position, one
  # node against two (and two of the baseline's), at the same load; then two nodes at counts that
  # fill their core.
  for n in $NODES_PILOTS; do
    for nodes in 1 2; do
      run "${RELAY[@]}" --pilots "$n" --rate 60 --relay-rates changes --nodes "$nodes" --server-cpus 0,0 \
        --out "$OUT/nodes_${nodes}_${n}.json"
      if [ "$nodes" = 1 ] && [ -n "${BASELINE_SERVER:-}" ]; then
        run "${RELAY[0]}" --server "$BASELINE_SERVER" "${RELAY[@]:3}" --pilots "$n" --rate 60 --relay-rates changes --nodes 2 \
          --server-cpus 0,0 --out "$OUT/nodes_before_${n}.json"
      fi
    done
  done
  for n in $NODES_FULL_PILOTS; do
    run "${RELAY[@]}" --pilots "$n" --rate 60 --relay-rates changes --nodes 2 --server-cpus 0,0 \
      --out "$OUT/nodes_full_${n}.json"
  done
}

if [ -n "${NODES_ONLY:-}" ]; then
  echo "{\"date\": \"$(date -u +%Y-%m-%dT%H:%M:%SZ)\", \"commit\": \"$(git -C "$HERE" rev-parse --short HEAD 2>/dev/null || echo unknown)\", \"load_at_start\": \"$(cut -d' ' -f1-3 /proc/loadavg)\", \"baseline_server\": \"${BASELINE_SERVER:-}\"}" >"$OUT/nodes_machine.json"
  nodes_runs
  sed -i "s/}\$/, \"load_at_end\": \"$(cut -d' ' -f1-3 /proc/loadavg)\"}/" "$OUT/nodes_machine.json"
  run /usr/bin/python3 "$HERE/make_results.py" --nodes-only "$OUT" "$HERE/RESULTS.md"
  echo "wrote the nodes section of $HERE/RESULTS.md"
  exit 0
fi


[ -n "${RELAY_ONLY:-}" ] || {
  echo "{\"date\": \"$(date -u +%Y-%m-%dT%H:%M:%SZ)\", \"commit\": \"$(git -C "$HERE" rev-parse --short HEAD 2>/dev/null || echo unknown)\","
  echo " \"cpu\": \"$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')\", \"cores\": $(nproc),"
  echo " \"kernel\": \"$(uname -r)\", \"load_at_start\": \"$(cut -d' ' -f1-3 /proc/loadavg)\","
  echo " \"baseline_plugin\": \"${BASELINE_PLUGIN:-}\", \"baseline_server\": \"${BASELINE_SERVER:-}\"}"
} >"$OUT/machine.json"
echo "{\"date\": \"$(date -u +%Y-%m-%dT%H:%M:%SZ)\", \"commit\": \"$(git -C "$HERE" rev-parse --short HEAD 2>/dev/null || echo unknown)\", \"load_at_start\": \"$(cut -d' ' -f1-3 /proc/loadavg)\"}" >"$OUT/relay_machine.json"

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
  hosts_in_real_time "${cmd[@]}"
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

held() {  # held FILE: yes when the run lost nothing and kept p99 within 5 ms
  python3 -c 'import json,sys; print("yes" if json.load(open(sys.argv[1]))["held"] else "no")' "$1"
}

if [ -n "$RULES_SENDERS" ]; then
  echo "== server relay: the rules off, by steps and by changes, side by side, in the crowded world"
  # A rule's pilot counts grow until two counts in a row are not held.
  for hz in $RULES_SENDERS; do
    for mode in off steps changes; do
      var=RULES_PILOTS_${mode}
      missed=0
      for n in ${!var}; do
        [ "$missed" -ge 2 ] && break
        file="$OUT/rules_${hz}_${mode}_${n}.json"
        run "${RELAY[@]}" --pilots "$n" --rate "$hz" --relay-rates "$mode" --out "$file"
        if [ "$(held "$file")" = yes ]; then missed=0; else missed=$((missed + 1)); fi
      done
    done
  done
fi

if [ -n "$SEGMENT_PILOTS" ]; then
  echo "== server relay: segmented sends on and off, interleaved"
  for try in 1 2; do
    for seg in on off; do
      run "${RELAY[@]}" --pilots "$SEGMENT_PILOTS" --rate 60 --relay-rates changes --server-arg --udp-segment \
        --server-arg "$seg" --out "$OUT/segment_${seg}_$try.json"
    done
  done
fi

[ -z "$NODES_PILOTS" ] || nodes_runs

display() {  # display OUTDIR ARGS...: one display.py run, its hosts kept in real time as in the smooth cases
  local out=$1
  shift
  local cmd=(/usr/bin/python3 "$HERE/display.py" "$BUILD" "$out" --taxi --fps 60 --seconds "$DISPLAY_SECONDS" "$@")
  hosts_in_real_time "${cmd[@]}"
}

if [ -n "$DISPLAY_RULES" ]; then
  echo "== display error at the receiver by relay rule: the smooth-traffic pilots, and one taxiing"
  mkdir -p "$OUT/display" "$OUT/display_nosmooth"
  for rule in $DISPLAY_RULES; do
    display "$OUT/display" --label "$rule" --relay-rates "$rule"
    # The same with the server and plugin to compare against, right after.
    if [ -n "${BASELINE_SERVER:-}" ] && [ -n "${BASELINE_PLUGIN:-}" ]; then
      display "$OUT/display_before" --label "$rule" --relay-rates "$rule" --server "$BASELINE_SERVER" \
        --plugin "$BASELINE_PLUGIN"
    fi
  done
  # A watcher with smoothing off shows each report as it comes: what each rule leaves it.
  for rule in $DISPLAY_RULES; do
    display "$OUT/display_nosmooth" --label "$rule" --relay-rates "$rule" --links clean --smooth 0
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
# Debian's interpreter, where python3-matplotlib is installed (another python3 may come first on PATH).
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3
if [ -n "${RELAY_ONLY:-}" ] && [ ! -f "$OUT/plugin.json" ]; then
  # No full run in this build folder: the relay sections go in place of those of bench/RESULTS.md.
  run "$PYTHON" "$HERE/make_results.py" --relay-only "$OUT" "$HERE/RESULTS.md" "$HERE/relay.png"
else
  run "$PYTHON" "$HERE/make_results.py" "$OUT" "$HERE/RESULTS.md" "$HERE/relay.png"
fi
echo "wrote $HERE/RESULTS.md and $HERE/relay.png"
