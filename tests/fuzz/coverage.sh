#!/usr/bin/env bash
# How much of the code the fuzz corpus reaches: builds the fuzz targets' replay drivers with
# clang's source-based coverage, replays the corpus in tests/fuzz/corpus and, when present, what
# fuzz runs kept in build-fuzz/corpus, and prints llvm-cov's report for the files they drive.
#   tests/fuzz/coverage.sh            (needs clang and llvm: apt-get install clang llvm)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
out="$root/build-cov"
flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B "$out" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$out" -j "$(nproc)" --target fuzz_targets >/dev/null
rm -rf "$out/profiles"
mkdir -p "$out/profiles"
bins=()
for t in wire_match_fuzz prefs_fuzz plugin_stream_fuzz plugin_datagram_fuzz server_codec_fuzz server_lines_fuzz \
         http_request_fuzz; do
  inputs=("$root/tests/fuzz/corpus/$t")
  [ -d "$root/build-fuzz/corpus/$t" ] && inputs+=("$root/build-fuzz/corpus/$t")
  LLVM_PROFILE_FILE="$out/profiles/$t.profraw" "$out/tests/fuzz/$t" "${inputs[@]}" 2>/dev/null | tail -n 1 |
    sed "s/^/$t: /"
  bins+=(-object "$out/tests/fuzz/$t")
done
llvm-profdata merge -sparse "$out"/profiles/*.profraw -o "$out/profiles/all.profdata"
llvm-cov report "${bins[@]:1}" -instr-profile="$out/profiles/all.profdata" \
  src/net/wire.cpp src/net/PacketProcess.cpp src/prefs/prefs_text.cpp src/aircraft/cell.cpp \
  src/aircraft/Placement.cpp server/core/codec.cpp server/core/registry.cpp server/http/request.cpp
