#!/bin/sh
# Builds the Debian packages from debian/ with dpkg-buildpackage (debhelper): the compiled tree is
# build-deb/tree/, the .deb and -dbgsym packages with their .buildinfo and .changes go to OUT
# (rather than to the folder above the clone, where dpkg-buildpackage puts them by default).
#   debian-packages.sh OUT
set -eu
out=$(realpath -m "$1")
cd "$(dirname "$0")/.."
rm -rf "$out"
mkdir -p "$out"
# Through the compiler cache when it is installed, with its paths relative to the clone, as the
# Makefile has it (CMake takes the launcher from the environment when it configures).
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}" CCACHE_NOHASHDIR=true
    # debhelper gives the build a HOME of its own, which dh_clean empties: the cache and its
    # limit are named here as they are outside, or each build would start from an empty one.
    export CCACHE_DIR="${CCACHE_DIR:-$(ccache -k cache_dir)}"
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-$(ccache -k max_size)}"
fi
export DEB_OUT="$out"
dpkg-buildpackage -b -uc -us -j"${JOBS:-2}" \
    --buildinfo-option=-u"$out" --buildinfo-file="$out/qm4720.buildinfo" \
    --changes-option=-u"$out" --changes-file="$out/qm4720.changes" >"$out/build.log" 2>&1 ||
    { tail -n 40 "$out/build.log"; echo "FAILED: dpkg-buildpackage (log: $out/build.log)"; exit 1; }
ls "$out"/*.deb
