#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each: ./run fuzz SECONDS (BUILD is the fuzz preset's folder).
#   tests/fuzz/run_fuzz.sh BUILD SECONDS [TARGET...]
# Each target first replays every input of its corpus in tests/fuzz/corpus/TARGET (real messages
# and every input that once broke an invariant, whole whatever their length), then fuzzes from
# that corpus (left as it is) and from what earlier runs found (BUILD/corpus/TARGET, kept between
# runs). An input that breaks an invariant is written to BUILD/artifacts/TARGET/; once the fault
# is mended, copy it to tests/fuzz/corpus/TARGET/regress-WHAT so every build replays it.
set -uo pipefail
build=$(cd "$1" && pwd)
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(wire_match_fuzz prefs_fuzz plugin_stream_fuzz plugin_datagram_fuzz
                                     server_codec_fuzz server_lines_fuzz http_request_fuzz)

# Longest input per target: a stream of many reads, a datagram past the receive area.
max_len() {
  case "$1" in
    plugin_stream_fuzz) echo 24000 ;;
    plugin_datagram_fuzz) echo 1600 ;;
    prefs_fuzz) echo 1200 ;;
    *) echo 4096 ;;
  esac
}

passed=0
failed=0
for t in "${targets[@]}"; do
  bin="$build/tests/fuzz/$t"
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts"
  log="$build/fuzz-$t.log"
  if ! "$bin" -timeout=10 -rss_limit_mb=2048 "$here/corpus/$t"/* >"$build/replay-$t.log" 2>&1; then
    failed=$((failed + 1))
    printf '%-22s FAILED  replaying its corpus; log %s\n' "$t" "$build/replay-$t.log"
    grep -E 'invariant broken|ERROR: |SUMMARY: |Running: ' "$build/replay-$t.log" | tail -n 5 | sed 's/^/    /'
    continue
  fi
  "$bin" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$here/corpus/$t" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')
  speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$')
  corpus=$(find "$work" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    printf '%-22s ok      %9s runs  %6s/s  %5s edges  %5s inputs kept  (%ss)\n' "$t" "${runs:-?}" "${speed:-?}" \
      "${cov:-?}" "$corpus" "$seconds"
  else
    failed=$((failed + 1))
    printf '%-22s FAILED  (exit %s); log %s, input in %s\n' "$t" "$rc" "$log" "$artifacts"
    grep -E 'invariant broken|ERROR: |SUMMARY: ' "$log" | head -n 5 | sed 's/^/    /'
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
