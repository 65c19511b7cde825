#!/usr/bin/env bash
# Reading a 100,000-row list (CSV and Excel) against its goals: builds
# list_table (Release, build-bench/) and runs bench/lists.py, which makes the
# lists and prints the table. Arguments go on to lists.py (--rows, --rounds).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --tests >/dev/null
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTROW_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target list_table -j"$(nproc)" >/dev/null
/usr/bin/python3 bench/lists.py "$build" "$@"
