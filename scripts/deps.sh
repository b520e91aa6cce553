#!/usr/bin/env bash
# Makes sure the build's dependencies are installed; a quick no-op when they are.
# Usage: deps.sh build | service | all
#   build: what the module, qm4720ctl and qm4720sim need (`make build`, `make demo`): compiler,
#     CMake, Ninja and ccache (the build's generator and cache), GoogleTest (the configuration sets
#     up the tests), CLI11 and nlohmann-json (header-only, for the tools), gensio (the bridge to a
#     serial device server of qm4720ctl and qm4720d: tcp:// and rfc2217:// ports).
#   service: that, and what qm4720d and the Python binding need (`make service`, `make python`):
#     libmodbus (qm4720d's Modbus TCP server), toml++, SQLite, libsystemd and pkg-config (qm4720d
#     and qm4720ctl history), cpp-httplib (qm4720d's web page, JSON interface and metrics),
#     Chart.js (the page's trend chart, served by qm4720d from Debian's copy), libmosquitto
#     (qm4720d's MQTT publisher), protobuf-c and its compiler protoc-c (the publisher's Sparkplug B
#     payload, made at build time from service/mqtt/sparkplug_b.proto), OpenSSL (qm4720d's TLS and its check of certificate files),
#     pybind11 and the headers of Debian's python3 (the binding).
#   all: that, and for the tests, the bench and the Windows builds: localedef and the locale
#     sources from which a test builds a decimal-comma locale, Google Benchmark, clang and its
#     runtime libraries for the libFuzzer targets, valgrind for the leak check of the end-to-end
#     run, the i686 and x86_64 mingw-w64 toolchains, the GoogleTest sources they build, Wine with
#     both loaders, python3 for the instruments that the Windows tests talk to, mbpoll and
#     pymodbus (with serial-asyncio, which its client module imports) as the Modbus clients of
#     qm4720d's tests, pytest for the Python binding's tests, python3-venv and python3-wheel-whl for its
#     `pip install` into a virtual environment, systemd for systemd-analyze, which
#     checks qm4720d's unit file, the mosquitto broker and its clients, headless Chromium (with
#     python3-websocket to drive it, and a CJK font for the driver's messages in its screenshots)
#     and the Prometheus client library's parser for qm4720d's MQTT, page and metrics tests, groff and
#     man-db for the man pages' check, openssl and curl for the TLS tests' certificates and client,
#     python3-venv and python3-wheel-whl for the binding's pip install in a virtual environment,
#     and dpkg-dev, debhelper, dh-python and lintian to build the Debian packages (`make package`)
#     and check them, the Prometheus server and its promtool, which scrapes qm4720d in a test
#     and checks docs/prometheus/'s configuration and rules, ser2net, the serial device server in
#     front of the simulator in the tests of tcp:// and rfc2217:// lines, and node with npm for the
#     Sparkplug B host of qm4720d's tests, whose pinned packages
#     (service/tests/sparkplug_host/package-lock.json) npm installs into build/sparkplug_host
#     (Debian's npm only when npm is not on PATH: a node built elsewhere ships its own, which
#     Debian's conflicts with). The tests that need localedef, valgrind, clang++, mbpoll, pymodbus,
#     pytest, systemd-analyze, mosquitto, chromium, groff, ser2net, pkg-config,
#     dpkg-buildpackage, dh, lintian, prometheus or promtool report a missing one as a skip, and
#     under CI as a failure (tests/scripts/require_tool.sh).
# Installs with apt as root directly, else through sudo; otherwise prints the command and stops.
set -euo pipefail

build_packages=(g++ cmake make ninja-build ccache libgtest-dev libcli11-dev nlohmann-json3-dev
    libgensio-dev)
service_packages=(pkg-config libmodbus-dev libtomlplusplus-dev libsqlite3-dev libsystemd-dev
    pybind11-dev python3-pybind11 python3-dev libcpp-httplib-dev libjs-chart.js libmosquitto-dev
    libssl-dev libprotobuf-c-dev protobuf-c-compiler)
test_packages=(libc-bin locales libbenchmark-dev clang libclang-rt-14-dev valgrind python3 mbpoll
    python3-pymodbus python3-serial-asyncio python3-pytest systemd groff-base man-db dpkg-dev
    mosquitto mosquitto-clients chromium python3-prometheus-client python3-websocket
    fonts-wqy-microhei openssl curl python3-venv python3-wheel-whl debhelper dh-python lintian
    prometheus nodejs ser2net)
command -v npm >/dev/null 2>&1 || test_packages+=(npm)
windows_packages=(googletest g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64
    wine32:i386)

case ${1:-all} in
    build) wanted=("${build_packages[@]}") ;;
    service) wanted=("${build_packages[@]}" "${service_packages[@]}") ;;
    all) wanted=("${build_packages[@]}" "${service_packages[@]}" "${test_packages[@]}") ;;
    *) echo "usage: $0 build|service|all" >&2; exit 2 ;;
esac

missing_packages() {
    local p
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || echo "$p"
    done
}

# The Sparkplug B host's packages from the npm registry, as locked; again only when the lock changed.
node_packages() {
    [ "${1:-all}" = all ] || return 0
    local repo here
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    here=$repo/build/sparkplug_host
    if ! cmp -s "$repo/service/tests/sparkplug_host/package-lock.json" \
        "$here/package-lock.json" || [ ! -d "$here/node_modules" ]; then
        mkdir -p "$here"
        cp "$repo/service/tests/sparkplug_host/package.json" \
            "$repo/service/tests/sparkplug_host/package-lock.json" "$here/"
        echo "deps: npm ci in $here" >&2
        npm ci --prefix "$here" --no-audit --no-fund --ignore-scripts >&2
    fi
}

mapfile -t missing < <(missing_packages "${wanted[@]}")
missing_windows=()
[ "${1:-all}" = all ] && mapfile -t missing_windows < <(missing_packages "${windows_packages[@]}")
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_windows[@]} -eq 0 ]; then
    node_packages "${1:-all}"
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    as_root=(sudo)
else
    echo "deps: missing ${missing[*]} ${missing_windows[*]}; install them as root with:" >&2
    echo "  dpkg --add-architecture i386 && apt-get update && apt-get install -y --no-install-recommends ${missing[*]} ${missing_windows[*]}" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
echo "deps: installing ${missing[*]} ${missing_windows[*]}" >&2
if [ ${#missing_windows[@]} -gt 0 ]; then
    # wine32 is an i386 package; the kernel need not run i386 code to install it.
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
if [ ${#missing_windows[@]} -gt 0 ]; then
    # The Windows suites are optional unless REQUIRE_WIN32=1: they report a failed install.
    if ! "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing_windows[@]}" >&2; then
        echo "deps: the Windows toolchains or Wine could not be installed" >&2
        [ "${REQUIRE_WIN32:-0}" = 1 ] && exit 1
    fi
fi
node_packages "${1:-all}"
exit 0
