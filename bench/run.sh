#!/usr/bin/env bash
# The benchmark: builds the measurement programs (Release, build-bench/),
# installs Postfix's smtp-sink and smtp-source when missing, and runs
# bench/run.py, which prints the table. Arguments go on to run.py, e.g.
#   bash bench/run.sh --rounds 7 --before /path/to/older/bench/programs
# Not part of the tests or CI: it needs two processors for itself to mean much.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >/dev/null
if ! command -v smtp-sink >/dev/null || ! command -v smtp-source >/dev/null; then
    # "No configuration": the package installs its programs and starts no mail system.
    echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends postfix >/dev/null
fi
for tool in taskset perf; do
    command -v "$tool" >/dev/null || echo "note: $tool is missing; install util-linux / linux-perf for the full table" >&2
done

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTROW_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target component window bare -j"$(nproc)" >/dev/null
python3 bench/run.py "$build" "$@"
