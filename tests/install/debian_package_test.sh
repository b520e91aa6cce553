#!/bin/sh
# Builds the Debian package from the build tree with CPack, then checks its control fields and
# its content list (dpkg-deb -f, -c).
#   debian_package_test.sh BUILD_DIR WORK VERSION
set -u
build=$1 work=$2 version=$3
rm -rf "$work" && mkdir -p "$work"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" -D CPACK_OUTPUT_FILE_PREFIX="$work" >"$work/cpack.log" 2>&1; then
    echo "FAILED: cpack"; cat "$work/cpack.log"; exit 1
fi
deb=$(ls "$work"/qm4720_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "FAILED: no qm4720_*.deb in $work"; exit 1; }
echo "$deb"

failed=0
fail() { echo "FAILED: $*"; failed=1; }
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = qm4720 ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = electronics ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
# Worked out by dpkg-shlibdeps from the module and the programs.
for library in libc6 libstdc++6 libgcc-s1; do
    field Depends | grep -q "$library (>=" || fail "Depends lacks $library: $(field Depends)"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in usr/bin/qm4720ctl usr/bin/qm4720sim usr/bin/qm4720d usr/lib/systemd/system/qm4720d.service \
    usr/share/doc/qm4720/examples/qm4720d.toml 'usr/lib/.*qm4720/qm4720\.so' \
    usr/include/qm4720/qm4720.h 'usr/lib/.*libqm4720_host\.a' 'usr/lib/.*cmake/qm4720/qm4720Config\.cmake' \
    'usr/lib/.*pkgconfig/qm4720\.pc' usr/share/man/man1/qm4720ctl.1 usr/share/man/man1/qm4720sim.1 \
    usr/share/man/man8/qm4720d.8 usr/share/man/man5/qm4720d.toml.5 usr/share/doc/qm4720/docs/service.md \
    usr/share/bash-completion/completions/qm4720ctl usr/share/bash-completion/completions/qm4720sim \
    'usr/lib/python3/dist-packages/qm4720\..*\.so'; do
    printf '%s\n' "$contents" | grep -q "^\./$path\$" || fail "the package lacks $path"
done
# Nothing of the build or the tests.
printf '%s\n' "$contents" | grep -E 'test|gtest|build' && fail "test or build files in the package"
[ $failed -eq 0 ] && echo "control fields and contents check out"
exit $failed
