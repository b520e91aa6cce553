#!/usr/bin/env bash
# The part of debian_package_install_test.sh that runs in its mount namespace, as root: builds the
# root, installs, checks, purges, and lists what the purge left. Mounts go with the namespace.
#   debian_package_root.sh DEBS WORK VERSION
set -u
debs=$1 work=$2 version=$3
root=$work/root changes=$work/root-changes
packages="libqm4720-1 libqm4720-dev qm4720d qm4720-tools python3-qm4720"

mkdir -p "$root" "$changes" "$work/overlay-work"
for dir in usr etc var bin sbin lib lib32 lib64 libx32; do
    if [ -L "/$dir" ]; then
        ln -s "$(readlink "/$dir")" "$root/$dir"
    elif [ -d "/$dir" ]; then
        mkdir -p "$root/$dir" "$changes/$dir" "$work/overlay-work/$dir"
        mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$changes/$dir,workdir=$work/overlay-work/$dir" \
            "$root/$dir" || { echo "FAILED: cannot mount an overlay on /$dir"; exit 1; }
    fi
done
mkdir -p "$root/dev" "$root/proc" "$root/run" "$root/tmp/debs" "$root/root"
chmod 1777 "$root/tmp"
mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" ||
    { echo "FAILED: cannot mount /dev and /proc in the root"; exit 1; }
for deb in "$debs"/*.deb; do [[ $deb == *-dbgsym_* ]] || cp "$deb" "$root/tmp/debs/"; done
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 HOME=/root "$@"; }

# The root starts as this machine: a qm4720 installed here (one of these packages, or the single
# package of earlier releases) is purged from the root first. man-db's trigger would index every
# man page of the machine: the root does without.
rm -f "$root/var/lib/man-db/auto-update"
for package in $packages qm4720; do
    if in_root dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qv not-installed; then
        in_root dpkg --purge --force-depends "$package" >/dev/null
    fi
done

failed=0
fail() { echo "FAILED: $*"; failed=1; }
# Minimal images tell dpkg to leave out /usr/share/man; the man pages are part of what is checked.
debs_in_root=()
for deb in "$root"/tmp/debs/*.deb; do debs_in_root+=("/tmp/debs/${deb##*/}"); done
if ! in_root dpkg --path-include='/usr/share/man/man[158]/qm4720*' -i "${debs_in_root[@]}" >"$work/dpkg-install.log" 2>&1; then
    cat "$work/dpkg-install.log"
    echo "FAILED: dpkg -i"
    exit 1
fi

# What the operator finds after installing: the service's user with the serial ports, its state
# folder, the unit enabled, a configuration that qm4720d accepts as it is.
in_root id -nG qm4720d 2>/dev/null | tr ' ' '\n' | grep -qx dialout || fail "qm4720d is not in dialout"
[ "$(in_root stat -c %U:%G /var/lib/qm4720d 2>/dev/null)" = qm4720d:qm4720d ] ||
    fail "/var/lib/qm4720d is not the service's: $(in_root stat -c %U:%G /var/lib/qm4720d 2>&1)"
[ -L "$root/etc/systemd/system/multi-user.target.wants/qm4720d.service" ] || fail "the unit is not enabled"
[ "$(in_root stat -c %U:%G:%a /etc/qm4720d.toml 2>/dev/null)" = root:qm4720d:640 ] ||
    fail "/etc/qm4720d.toml is not root:qm4720d 640: $(in_root stat -c %U:%G:%a /etc/qm4720d.toml 2>&1)"
# As the unit runs it: the service's user reads the file.
out=$(in_root su -s /bin/sh -c 'qm4720d --check-config /etc/qm4720d.toml' qm4720d 2>&1) ||
    fail "qm4720d --check-config /etc/qm4720d.toml as qm4720d: $out"
[ "$(in_root qm4720ctl --version)" = "qm4720ctl $version" ] || fail "qm4720ctl --version"
[ "$(in_root qm4720sim --version)" = "qm4720sim $version" ] || fail "qm4720sim --version"
in_root qm4720ctl tables --format csv | grep -q ',PV,' || fail "qm4720ctl cannot load the installed module"
in_root python3 -c 'import qm4720; print(qm4720.Driver)' >/dev/null || fail "python3 cannot import qm4720"
# A host developer's path from the installed packages: the C, C++ and Python examples built with
# no path given (pkg-config, CMake, pip install ./python in a virtual environment) and run against
# the installed simulator, loading the installed module by default.
source=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$root/tmp/source"
mount --bind -o ro "$source" "$root/tmp/source" || fail "cannot show the sources in the root"
in_root bash /tmp/source/tests/install/installed_examples.sh / /usr /tmp/examples /tmp/source \
    >"$work/installed-examples.log" 2>&1 ||
    { cat "$work/installed-examples.log"; fail "the examples against the installed packages"; }
umount "$root/tmp/source"
for page in 1:qm4720ctl 1:qm4720sim 8:qm4720d 5:qm4720d.toml; do
    in_root man -w "${page%%:*}" "${page#*:}" >/dev/null 2>&1 || fail "man -w ${page/:/ }"
done

# The history a running service leaves in its state folder goes with the purge.
in_root su -s /bin/sh -c 'touch /var/lib/qm4720d/history.db' qm4720d || fail "qm4720d cannot write its state folder"
if ! in_root dpkg --purge $packages >"$work/dpkg-purge.log" 2>&1; then
    cat "$work/dpkg-purge.log"
    fail "dpkg --purge"
fi
for package in $packages; do
    in_root dpkg-query -W "$package" >/dev/null 2>&1 && fail "dpkg still knows $package after the purge"
done
# What the purge may leave: dpkg's own records and logs, the caches of ldconfig and debconf, and
# the system user, which Debian keeps (the group and shadow files, with their backups and lock). Overlay
# whiteouts (character devices) are files of the machine hidden in the root, not leftovers.
umount -R "$root/dev" "$root/proc"
leftovers=$(cd "$changes" && find . -mindepth 1 ! -type c ! -type d -printf '%P\n' -o -type d -printf '%P/\n' |
    while read -r path; do [ -e "/$path" ] && [ -d "/$path" ] && continue; echo "$path"; done |
    grep -Ev '^var/(lib/dpkg|log|cache)/|^etc/(passwd|group|shadow|gshadow|subuid|subgid)-?$|^etc/\.pwd\.lock$|^etc/ld\.so\.cache$')
[ -z "$leftovers" ] || fail "left after the purge: $(echo $leftovers)"
exit $failed
