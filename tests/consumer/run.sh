#!/usr/bin/env bash
# Builds the consumer project against the installed copy at PREFIX through find_package, and the C
# example (the C face) through pkg-config, and runs them against the simulator, with the module
# the package names; then the installed qm4720ctl, which has to find the installed module by its own place.
#   run.sh PREFIX WORK SOURCE_DIR C_COMPILER
set -eu
prefix=$1 work=$2 source=$3 cc=$4
sim=$prefix/bin/qm4720sim
# with_sim EXPECTED COMMAND...: COMMAND against station 1 held still with PV at 42.5, its output
# holding EXPECTED; {port} in COMMAND is the simulator's device.
with_sim() {
    local expected=$1
    shift
    /usr/bin/python3 "$source/tests/scripts/with_simulator.py" --expect "$expected" \
        "$sim" --station 1 --frozen --set 1:PV=42.5 -- "$@"
}
rm -rf "$work" && mkdir -p "$work"

echo "== find_package"
cmake -S "$source/tests/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DEXAMPLE_SOURCE="$source/examples/c/read_pv.c" \
    -DRAW_EXAMPLE_SOURCE="$source/examples/c/raw_interfaces.c" \
    -DCPP_EXAMPLE_SOURCE="$source/examples/cpp/read_pv.cpp" >/dev/null
cmake --build "$work/cmake" >/dev/null
module=$(cat "$work/cmake/module_path.txt")
case $module in "$prefix"/*) ;; *) echo "FAILED: the package names $module"; exit 1 ;; esac
with_sim PV=42.5 "$work/cmake/read_pv" {port} "module=$module"
with_sim PV=42.5 "$work/cmake/raw_interfaces" "$module" {port}
with_sim "PV = 42.5" "$work/cmake/read_pv_cpp" {port} "$module"

echo "== pkg-config"
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name qm4720.pc)")
"$cc" -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags qm4720) \
    "$source/examples/c/read_pv.c" -o "$work/read_pv" $(pkg-config --libs qm4720)
with_sim PV=42.5 "$work/read_pv" {port} "module=$(pkg-config --variable=moduledir qm4720)/qm4720.so"

echo "== installed qm4720ctl"
"$prefix/bin/qm4720ctl" --version | grep -q "^qm4720ctl [0-9]"
with_sim 42.5 "$prefix/bin/qm4720ctl" --format csv read PV --station 1 --port {port}
