#!/usr/bin/env bash
# Builds the 32-bit Windows module and its tests with mingw-w64 and runs the tests under Wine.
# Without the toolchain or Wine it says so in one line and skips, unless REQUIRE_WIN32=1.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${WIN_BUILD:-build-win32}
jobs=${JOBS:-2}

skip() {
    if [ "${REQUIRE_WIN32:-0}" = 1 ]; then
        echo "Windows suite required (REQUIRE_WIN32=1) but $1" >&2
        exit 1
    fi
    echo "Windows suite skipped: $1"
    exit 0
}
command -v i686-w64-mingw32-g++-posix >/dev/null || skip "i686-w64-mingw32-g++-posix is not installed"
command -v wine >/dev/null || skip "wine is not installed"

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$jobs"
status=0
ctest --test-dir "$build" --output-on-failure || status=$?
# Leave no Wine server behind.
WINEPREFIX="$PWD/$build/wineprefix" wineserver -k 2>/dev/null || true
exit $status
