#!/bin/sh
# Under CI (CI=true) only: installs the Debian package built by debian_package with dpkg, uses it
# as a user would, and removes it again, also when a check fails. Elsewhere it is skipped: it
# changes the machine's installed packages. The package is removed with dpkg --purge.
#   debian_package_install_test.sh WORK VERSION
set -u
work=$1 version=$2
if [ "${CI:-}" != true ]; then
    echo "skipped: installs a package into the machine; runs under CI=true only"
    exit 77
fi
if [ "$(id -u)" -eq 0 ]; then as_root=; else as_root="sudo -n"; fi
if dpkg -s qm4720 >/dev/null 2>&1; then
    echo "FAILED: qm4720 is installed already; this test would not leave the machine as it was"
    exit 1
fi
deb=$(ls "$work"/qm4720_*.deb | head -n 1)
# --purge, not only -r: -r keeps the package's record (config-files), which it had not before.
trap '$as_root dpkg --purge qm4720 >/dev/null' EXIT
# Minimal images tell dpkg to leave out /usr/share/man; the man pages are part of what is checked.
$as_root dpkg --path-include='/usr/share/man/man[158]/qm4720*' -i "$deb" ||
    { echo "FAILED: dpkg -i $deb"; exit 1; }

failed=0
fail() { echo "FAILED: $*"; failed=1; }
[ "$(qm4720ctl --version)" = "qm4720ctl $version" ] || fail "qm4720ctl --version: $(qm4720ctl --version)"
[ "$(qm4720sim --version)" = "qm4720sim $version" ] || fail "qm4720sim --version"
qm4720d --check-config /usr/share/doc/qm4720/examples/qm4720d.toml >/dev/null ||
    fail "qm4720d cannot check the example configuration with the installed module"
man -w qm4720ctl | grep -q '/man1/qm4720ctl\.1' || fail "man -w qm4720ctl"
man -w qm4720d | grep -q '/man8/qm4720d\.8' || fail "man -w qm4720d"
man -w 5 qm4720d.toml | grep -q '/man5/qm4720d\.toml\.5' || fail "man -w 5 qm4720d.toml"
[ -f /usr/share/bash-completion/completions/qm4720ctl ] || fail "no completion file"
qm4720ctl tables --format csv | grep -q ',PV,' || fail "qm4720ctl cannot load the installed module"
/usr/bin/python3 -c 'import qm4720; print(qm4720.Driver)' >/dev/null ||
    fail "python3 cannot import qm4720 from the package"

$as_root dpkg --purge qm4720 >/dev/null || fail "dpkg --purge"
trap - EXIT
dpkg -s qm4720 >/dev/null 2>&1 && fail "dpkg still knows qm4720 after the purge"
[ -e /usr/bin/qm4720ctl ] && fail "/usr/bin/qm4720ctl left behind"
[ $failed -eq 0 ] && echo "installed, used and removed"
exit $failed
