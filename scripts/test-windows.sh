#!/usr/bin/env bash
# Builds the Windows programs and runs their tests under wine, in the build
# folder's own prefix: the proxy's tests and posternd.exe in front of Dovecot.
# Usage: scripts/test-windows.sh [CTEST_ARG...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build-windows.sh
export WINEPREFIX=$(pwd)/build/windows/wineprefix WINEDEBUG=-all
# One wineserver for the whole run instead of one per test program. It is
# ended with the run; should that fail, it ends by itself a minute after the
# last program (the delay must be attached: a bare -p keeps it forever).
wineserver -p60 2>/dev/null || true  # or one runs already
# Wine's own background programs start with the first program and would hold
# its output open, so that ctest waited for them: start them here without
# output, and keep them up with an idle program until the tests are done.
build/windows/wine-run.sh cmd.exe /c ver </dev/null >/dev/null 2>&1
build/windows/wine-run.sh ping -n 3600 127.0.0.1 </dev/null >/dev/null 2>&1 &
keeper=$!
# Wine's background programs and the server of this prefix end with the run.
trap 'kill "$keeper" 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
ctest --test-dir build/windows --output-on-failure --timeout 600 -j2 "$@"
