#!/usr/bin/env bash
# The examples built against an installed copy of qm4720 as a host developer builds them, with no
# path but what pkg-config and CMake find from the install, and run against the installed
# simulator: the C and C++ examples through find_package (the consumer project in
# tests/consumer/), the C example through pkg-config, the Python example through
# `pip install ./python` in a virtual environment of its own (python_venv.sh); then the installed
# qm4720ctl. The installed qm4720.pc must give absolute, normalised paths.
#   [QM_PYTHON_EXAMPLE=0] installed_examples.sh ROOT PREFIX WORK SOURCE_DIR [C_COMPILER]
# ROOT is where the install was put: / for a machine (or chroot) that has it installed, else the
# DESTDIR or dpkg --root of a copy; PREFIX the prefix it was installed for (/usr for the packages).
# Below / the examples load the installed module by default; in a copy below another root they
# must first fail naming that default, then are given the copy's module.
set -eu
root=${1%/} prefix=$2 work=$3 source=$4 cc=${5:-cc}
. "$source/tests/install/install_root.sh"
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd)
check_pc_file

echo "== find_package: C (the C face and the raw interfaces) and C++"
cmake -S "$source/tests/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$base" \
    -DCMAKE_C_COMPILER="$cc" -DEXAMPLE_SOURCE="$source/examples/c/read_pv.c" \
    -DRAW_EXAMPLE_SOURCE="$source/examples/c/raw_interfaces.c" \
    -DCPP_EXAMPLE_SOURCE="$source/examples/cpp/read_pv.cpp" >/dev/null
cmake --build "$work/cmake" >/dev/null
[ "$(cat "$work/cmake/module_path.txt")" -ef "$module" ] ||
    fail "the CMake package names $(cat "$work/cmake/module_path.txt"), not $module"
run PV=42.5 9600,8N1 "9600,8N1,module=$module" "$work/cmake/read_pv" {port}
run "PV = 42.5" "" "$module" "$work/cmake/read_pv_cpp" {port}
# The raw interfaces load the module themselves: always by its path.
with_sim PV=42.5 "$work/cmake/raw_interfaces" "$module" {port}

echo "== pkg-config: C"
"$cc" -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags qm4720) \
    "$source/examples/c/read_pv.c" -o "$work/read_pv" $(pkg-config --libs qm4720)
run PV=42.5 9600,8N1 "9600,8N1,module=$module" "$work/read_pv" {port}

if [ "${QM_PYTHON_EXAMPLE:-1}" = 1 ]; then
    echo "== pip install ./python: Python"
    bash "$source/tests/install/python_venv.sh" "${root:-/}" "$prefix" "$work/python" "$source"
else
    echo "== Python: left out (QM_PYTHON_EXAMPLE=0: the tree does not build the binding)"
fi

echo "== the installed qm4720ctl"
"$base/bin/qm4720ctl" --version | grep -q "^qm4720ctl [0-9]"
with_sim 42.5 "$base/bin/qm4720ctl" --format csv read PV --station 1 --port {port}
echo "every installed example ran"
