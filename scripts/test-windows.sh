#!/usr/bin/env bash
# Builds the Windows module and its tests for each architecture named (i686, x86_64; both by
# default) with mingw-w64, and runs the tests under Wine in a prefix of that architecture.
# A suite that this host cannot run is skipped with one line saying which and why. With
# REQUIRE_WIN32=1 (CI) a skip for a missing package fails, since `make deps` installs them all, and
# so does a run in which no suite could run; a kernel that cannot run 32-bit code is no fault.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
[ $# -gt 0 ] || set -- i686 x86_64

# Whether the kernel runs i386 code, found by running some: a static i386 program of 93 bytes
# that needs no i386 library and calls exit(42). A kernel without 32-bit emulation refuses to
# execute it, whatever its configuration says.
kernel_runs_i386() {
    local probe status=0
    probe=$(mktemp)
    {
        # ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054, one program header.
        printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        printf '\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
        printf '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
        # The one segment: the whole file, loaded at 0x08048000, readable and executable.
        printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
        printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
        # xor ebx,ebx; mov bl,42; xor eax,eax; inc eax (exit); int 0x80
        printf '\x31\xdb\xb3\x2a\x31\xc0\x40\xcd\x80'
    } >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 42 ]
}

ran=0
failed=0
missing=()

# Why the suite of architecture $1 cannot run here, if it cannot: "package: ..." for something
# that `make deps` installs, "kernel: ..." for the host itself.
cannot_run() {
    local compiler=$1-w64-mingw32-g++-posix loader package
    case $1 in
        i686) loader=/usr/lib/wine/wine package=wine32:i386 ;;
        x86_64) loader=/usr/lib/wine/wine64 package=wine64 ;;
    esac
    if ! command -v "$compiler" >/dev/null; then
        echo "package: $compiler is not installed"
    elif [ ! -x "$loader" ]; then
        echo "package: the Wine loader $loader is not installed ($package)"
    elif ! command -v python3 >/dev/null; then
        echo "package: python3 is not installed"
    elif [ "$1" = i686 ] && ! kernel_runs_i386; then
        echo "kernel: this kernel cannot run 32-bit (i386) programs"
    fi
}

for arch in "$@"; do
    case $arch in
        i686) build=${WIN_BUILD:-build-win32} ;;
        x86_64) build=${WIN64_BUILD:-build-win64} ;;
        *) echo "unknown architecture $arch (i686 or x86_64)" >&2; exit 2 ;;
    esac
    reason=$(cannot_run "$arch")
    if [ -n "$reason" ]; then
        echo "Windows $arch suite skipped: ${reason#*: }"
        [ "${reason%%:*}" = package ] && missing+=("$arch")
        continue
    fi
    ran=$((ran + 1))
    # Configured every time: the Wine runner names the loaders found then, and a tree configured
    # before Wine was installed must find them now. The tests are asked for, since `make package`
    # configures the same tree without them; a new tree is made with Ninja where it is installed.
    generator=()
    [ -f "$build/CMakeCache.txt" ] || ! command -v ninja >/dev/null || generator=(-G Ninja)
    cmake -S . -B "$build" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
    status=0
    cmake --build "$build" -j"$jobs" || status=$?
    [ "$status" -ne 0 ] || ctest --test-dir "$build" --output-on-failure || status=$?
    # Leave no Wine server behind.
    WINEPREFIX="$PWD/$build/wineprefix" wineserver -k 2>/dev/null || true
    [ "$status" -eq 0 ] || failed=1
done

if [ "${REQUIRE_WIN32:-0}" = 1 ]; then
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Windows suites required (REQUIRE_WIN32=1), but a package is missing for:" \
            "${missing[*]} (see above)" >&2
        exit 1
    fi
    if [ "$ran" -eq 0 ]; then
        echo "Windows suites required (REQUIRE_WIN32=1), but none could run on this host" >&2
        exit 1
    fi
fi
exit $failed
