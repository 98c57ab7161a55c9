#!/usr/bin/env bash
# Builds Postern and runs every test.
# Usage: scripts/test.sh [--sanitize]   (--sanitize: AddressSanitizer and UBSan build)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/test
cmake_args=(-DPOSTERN_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
    build_dir=build/sanitize
    cmake_args+=(-DPOSTERN_SANITIZE=ON)
fi

scripts/install-deps.sh build app test
cmake -S . -B "$build_dir" -G Ninja "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure --timeout 600 -j2
