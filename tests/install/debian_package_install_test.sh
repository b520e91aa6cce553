#!/usr/bin/env bash
# Installs every Debian package built by debian_package into a root of the test's own, uses it as
# an operator would, purges the packages and checks that nothing but what Debian keeps is left.
# The root is the machine's own /usr, /etc and /var under overlay mounts, in a mount namespace of
# the test's own (unshare -m): dpkg inside it (chroot) sees the machine's installed packages, so
# dependencies resolve and maintainer scripts run as on a real system, while every change lands in
# WORK/root-changes/ and the machine's /var/lib/dpkg, /usr and /etc stay as they were. /run is
# empty there, so the maintainer scripts enable the unit but start nothing. Needs root (or sudo -n)
# for the mounts and the chroot.
#   debian_package_install_test.sh DEBS WORK VERSION
set -u
debs=$1 work=$2 version=$3
if [ "$(id -u)" -eq 0 ]; then as_root=; elif sudo -n true 2>/dev/null; then as_root="sudo -n"; else
    [ "${CI:-}" = true ] && { echo "FAILED: needs root or sudo -n for its mounts"; exit 1; }
    echo "skipped: needs root or sudo -n for the mounts of its own root"
    exit 77
fi
status_before=$(sha256sum /var/lib/dpkg/status)
$as_root rm -rf "$work"
mkdir -p "$work"
$as_root unshare --mount --propagation private bash "$(dirname "$0")/debian_package_root.sh" \
    "$debs" "$work" "$version"
failed=$?
[ "$(sha256sum /var/lib/dpkg/status)" = "$status_before" ] ||
    { echo "FAILED: the machine's /var/lib/dpkg/status changed"; failed=1; }
[ $failed -eq 0 ] && echo "installed, used and purged in a root of its own"
exit $failed
