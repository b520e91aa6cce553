#!/usr/bin/env bash
# Makes sure the build's dependencies are installed; a quick no-op when they are.
# Native build: compiler, CMake, GoogleTest, CLI11 and nlohmann-json (header-only, for the
# tools), localedef and the locale sources from which a test builds a decimal-comma locale, Google
# Benchmark (for `make bench`), clang and its runtime libraries for the libFuzzer targets, and
# valgrind for the leak check of the end-to-end run (those three tests report a missing tool as a
# skip, and under CI as a failure: tests/scripts/require_tool.sh). Windows build: the i686
# mingw-w64 toolchain, Wine, and python3 for the instrument that the serial port tests talk to
# under Wine.
# Installs with apt as root directly, else through sudo; otherwise prints the command and stops.
set -euo pipefail

native_packages=(g++ cmake make libgtest-dev googletest libcli11-dev nlohmann-json3-dev libc-bin
    locales libbenchmark-dev clang libclang-rt-14-dev valgrind)
win32_packages=(g++-mingw-w64-i686 wine wine32:i386 python3)

missing_packages() {
    local p
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || echo "$p"
    done
}

mapfile -t missing_native < <(missing_packages "${native_packages[@]}")
mapfile -t missing_win32 < <(missing_packages "${win32_packages[@]}")
if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null &&
    command -v python3 >/dev/null; then
    missing_win32=()
fi
[ ${#missing_native[@]} -eq 0 ] && [ ${#missing_win32[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    as_root=(sudo)
else
    echo "deps: missing ${missing_native[*]} ${missing_win32[*]}; install them as root with:" >&2
    echo "  dpkg --add-architecture i386 && apt-get update && apt-get install -y --no-install-recommends ${missing_native[*]} ${missing_win32[*]}" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
echo "deps: installing ${missing_native[*]} ${missing_win32[*]}" >&2
if [ ${#missing_win32[@]} -gt 0 ]; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -qq
if [ ${#missing_native[@]} -gt 0 ]; then
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing_native[@]}" >&2
fi
if [ ${#missing_win32[@]} -gt 0 ]; then
    # The Windows suite is optional unless REQUIRE_WIN32=1: a failed install is reported by it.
    if ! "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing_win32[@]}" >&2; then
        echo "deps: the Windows toolchain or Wine could not be installed" >&2
        [ "${REQUIRE_WIN32:-0}" = 1 ] && exit 1
    fi
fi
exit 0
