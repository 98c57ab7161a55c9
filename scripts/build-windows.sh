#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 into build/windows: static
# executables, no DLL beside them. Makes the build folder's own wine prefix once,
# for the tests (scripts/test-windows.sh) and for listing them while building.
# Usage: scripts/build-windows.sh [CMAKE_ARG...]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/windows
scripts/install-deps.sh windows
# The toolchain is read by the first configuration only; later ones would warn
# that it went unused.
toolchain=()
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
fi
cmake -S . -B "$build_dir" -G Ninja "${toolchain[@]}" -DPOSTERN_WERROR=ON "$@" >/dev/null
# A fresh prefix takes 10-15 s, so it is made once per build folder.
mkdir -p "$build_dir"
prefix=$(pwd)/$build_dir/wineprefix
if [ ! -f "$prefix/system.reg" ]; then
    echo "build-windows: making the wine prefix $prefix"
    WINEPREFIX=$prefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1
    WINEPREFIX=$prefix wineserver -w
fi
# The test programs list their tests under wine as they are built.
cmake --build "$build_dir" -j2

# Only Windows' own DLLs may be imported: the C++ runtime is linked in.
for exe in "$build_dir"/*/*.exe; do
    case "$exe" in */tests/*) continue ;; esac
    if x86_64-w64-mingw32-objdump -p "$exe" | grep -i "DLL Name" |
            grep -iE "libstdc|libgcc|libwinpthread|mingw"; then
        echo "build-windows: $exe needs a DLL of the compiler's" >&2
        exit 1
    fi
done

