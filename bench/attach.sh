#!/usr/bin/env bash
# A run with a 10 MB attachment to 200 recipients against Python's smtplib
# (bench/attach.py); builds build-bench/ (Release). Arguments go on to
# attach.py, e.g. bash bench/attach.sh --rounds 3. Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --tests >/dev/null
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTROW_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target attach_run -j2 >/dev/null
python3 bench/attach.py "$build" "$@"
