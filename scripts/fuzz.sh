#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
scripts/install-deps.sh build fuzz
cmake -S tests/fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in client_lines_fuzzer server_greeting_fuzzer; do
    corpus=tests/fuzz/corpus/${target%%_*}
    mkdir -p "$work/$target"
    echo "fuzz: $target for ${seconds}s"
    # New inputs go to a scratch folder; the seeds in the repository stay as they are.
    build/fuzz/$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/" "$work/$target" "$corpus" 2>"$work/$target.log" || {
        tail -40 "$work/$target.log"
        for crash in "$work"/crash-* "$work"/leak-* "$work"/timeout-*; do
            [ -e "$crash" ] && { echo "input: $crash"; base64 "$crash"; }
        done
        exit 1
    }
    grep -E "^Done [0-9]+ runs" "$work/$target.log"
done
