#!/usr/bin/env bash
# The benchmark: builds the measurement programs (Release, build-bench/) and
# runs bench/run.py, which prints the table; set-up (--tests) installs Postfix's
# smtp-sink and smtp-source. Arguments go on to run.py, e.g.
#   bash bench/run.sh --rounds 7 --before /path/to/older/bench/programs
# Not part of the tests or CI: it needs two processors for itself to mean much.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --tests >/dev/null
for tool in taskset perf; do
    command -v "$tool" >/dev/null || echo "note: $tool is missing; install util-linux / linux-perf for the full table" >&2
done

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTROW_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target component window bare -j"$(nproc)" >/dev/null
python3 bench/run.py "$build" "$@"
