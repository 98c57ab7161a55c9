#!/usr/bin/env bash
# Builds posternd and the load generator for speed and runs the benchmark.
# Arguments go to bench/run.py (--rounds, --seconds, --sessions).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build app bench
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTERN_BUILD_BENCH=ON \
    -DPOSTERN_BUILD_TESTS=OFF -DPOSTERN_BUILD_APP=OFF >/dev/null
cmake --build build/bench --target posternd loadgen
exec python3 bench/run.py --build build/bench "$@"
