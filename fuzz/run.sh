#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan) and runs each for
# a bounded time, keeping what it finds interesting in build-fuzz/corpus.
# Usage: bash fuzz/run.sh [SECONDS-PER-TARGET] [TARGET...]   (default 60, all)
# A crash or a broken check stops with the input saved as build-fuzz/crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(decoders header_list code_pages string_list assemble session lists workbooks)

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DVELTROW_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/#/fuzz_}" -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
total=0
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$t" ] && seeds=("fuzz/seeds/$t")
  log="$build/$t.log"
  # Replies of up to 4 KiB reach every state of a session; the pure
  # functions get room for long lines.
  max_len=16384
  [ "$t" = session ] && max_len=4096
  if ! "$build/fuzz/fuzz_$t" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -max_len="$max_len" \
      -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/crash-$t-" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz_$t: FAILED (log $log)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  total=$((total + ${runs:-0}))
  echo "fuzz_$t: ${runs:-0} inputs in ${seconds} s, nothing found"
done
echo "fuzz: $total inputs over ${#targets[@]} targets"
