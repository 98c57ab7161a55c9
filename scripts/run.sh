#!/usr/bin/env bash
# Builds Postern and runs it. Arguments go to posternd.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build app
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTERN_BUILD_TESTS=OFF >/dev/null
cmake --build build/release
exec build/release/daemon/posternd "$@"
