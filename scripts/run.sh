#!/usr/bin/env bash
# Builds Postern and starts the tray app, postern. Its settings are edited in
# the dialog that its tray icon opens. Arguments go to postern (Qt options).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build app
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPOSTERN_BUILD_TESTS=OFF >/dev/null
cmake --build build/release
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no desktop session here; without one, run the proxy headless:" >&2
    echo "        build/release/daemon/posternd --host NAME --local-port N" >&2
    exit 1
fi
exec build/release/app/postern "$@"
