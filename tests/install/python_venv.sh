#!/usr/bin/env bash
# `pip install ./python` into a virtual environment of its own, against an installed copy of
# qm4720 (its headers and host library found by pkg-config), offline: nothing is looked up
# (--no-index, no pip configuration of the machine); the environment's own setuptools builds it
# (--no-build-isolation), with wheel from Debian's wheels. Then the binding is imported and the
# Python example reads the installed simulator.
#   python_venv.sh ROOT PREFIX WORK SOURCE_DIR [PYTHON]
# ROOT and PREFIX as for installed_examples.sh; the environment is WORK/venv; PYTHON the
# interpreter it is made from (python3).
set -eu
root=${1%/} prefix=$2 work=$3 source=$4 python=${5:-python3}
. "$source/tests/install/install_root.sh"
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd)

"$python" -m venv "$work/venv"
# A copy: the build writes its build/ and .egg-info beside the sources.
cp -r "$source/python" "$work/src"
pip_install() {
    env -u PIP_FIND_LINKS -u PIP_INDEX_URL -u PIP_EXTRA_INDEX_URL PIP_CONFIG_FILE=/dev/null \
        "$work/venv/bin/pip" --disable-pip-version-check install --quiet --no-index "$@"
}
pip_install --find-links /usr/share/python-wheels wheel
pip_install --no-build-isolation "$work/src"
rm -rf "$work/src"
# The environment's binding, not one that the source or the machine's dist-packages holds.
cd "$work"
version=$("$work/venv/bin/python" -c 'import qm4720; print(qm4720.__file__, qm4720.__version__)')
case $version in
    "$work/venv/"*" $(pkg-config --modversion qm4720)") echo "imported $version" ;;
    *) fail "the environment imports $version" ;;
esac
run "PV = 42.5" "" "$module" "$work/venv/bin/python" "$source/examples/python/read_pv.py" {port}
echo "the binding built by pip reads the simulator"
