#!/usr/bin/env bash
# Builds the Debian packages (scripts/debian-packages.sh: dpkg-buildpackage and debhelper) into
# WORK, runs lintian on them (an error fails the test; warnings are printed), and checks what each
# package holds and declares: its files, the files no other package may hold, its fields.
#   debian_package_test.sh SOURCE_DIR WORK VERSION
set -u
source_dir=$1 work=$2 version=$3
"$source_dir/scripts/debian-packages.sh" "$work" >/dev/null || exit 1

failed=0
fail() { echo "FAILED: $*"; failed=1; }
arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
deb() { echo "$work/${1}_${version}_$arch.deb"; }

# An error or a warning fails (a deliberate one is overridden in debian/*.lintian-overrides,
# with the reason); the notes are shown.
if ! lintian --fail-on error,warning --display-info --tag-display-limit 0 "$work"/*.deb >"$work/lintian.log" 2>&1; then
    fail "lintian reports errors or warnings:"
fi
grep -v '^N: ' "$work/lintian.log"

# PACKAGE TYPE PATH (a regular expression of the path in the package): f a file, l a link, d a
# folder. Every package also holds its copyright and a compressed changelog.
expected="
libqm4720-1 f usr/lib/$triplet/qm4720/qm4720\.so\.1
libqm4720-1 l usr/lib/$triplet/qm4720/qm4720\.so
libqm4720-dev f usr/include/qm4720/qm4720\.h
libqm4720-dev f usr/lib/$triplet/libqm4720_host\.a
libqm4720-dev f usr/lib/$triplet/cmake/qm4720/qm4720Config\.cmake
libqm4720-dev f usr/lib/$triplet/pkgconfig/qm4720\.pc
qm4720d f usr/bin/qm4720d
qm4720d f (usr/)?lib/systemd/system/qm4720d\.service
qm4720d f usr/lib/sysusers\.d/qm4720d\.conf
qm4720d f etc/qm4720d\.toml
qm4720d d var/lib/qm4720d/
qm4720d f usr/share/man/man8/qm4720d\.8\.gz
qm4720d f usr/share/man/man5/qm4720d\.toml\.5\.gz
qm4720d f usr/share/doc/qm4720d/docs/service\.md
qm4720d f usr/share/doc/qm4720d/examples/qm4720d\.toml
qm4720-tools f usr/bin/qm4720ctl
qm4720-tools f usr/bin/qm4720sim
qm4720-tools f usr/share/man/man1/qm4720ctl\.1\.gz
qm4720-tools f usr/share/man/man1/qm4720sim\.1\.gz
qm4720-tools f usr/share/bash-completion/completions/qm4720ctl
qm4720-tools f usr/share/bash-completion/completions/qm4720sim
python3-qm4720 f usr/lib/python3/dist-packages/qm4720\.cpython-3[0-9]+-$triplet\.so
"
packages="libqm4720-1 libqm4720-dev qm4720d qm4720-tools python3-qm4720"
for package in $packages; do
    expected+="$package f usr/share/doc/$package/copyright
$package f usr/share/doc/$package/changelog\.gz
"
done
# One line per entry: type and path, "./" taken off.
contents() { dpkg-deb -c "$(deb "$1")" | awk '{ sub(/^\.\//, "", $6); print substr($1, 1, 1), $6 }' |
    sed 's/^-/f/'; }
for package in $packages; do
    [ -f "$(deb "$package")" ] || { fail "no $(basename "$(deb "$package")")"; continue; }
    contents "$package" >"$work/$package.contents"
done
while read -r package type path; do
    [ -n "$package" ] || continue
    grep -Eq "^$type $path\$" "$work/$package.contents" 2>/dev/null ||
        fail "$package lacks $path ($type)"
done <<<"$expected"

# No file in two packages, no man page left uncompressed, nothing of the build or the tests.
cat "$work"/*.contents | grep -v '^d' | sort | uniq -d | sed 's/^/FAILED: in two packages: /' |
    grep . && failed=1
cat "$work"/*.contents | grep -E 'share/man/.*\.[0-9]$' | sed 's/^/FAILED: uncompressed: /' | grep . &&
    failed=1
cat "$work"/*.contents | grep -Ei 'gtest|/tests?/|build-deb' | sed 's/^/FAILED: build or test file: /' |
    grep . && failed=1

# The debugging sections kept apart, one -dbgsym package per package with compiled code.
for package in libqm4720-1 qm4720d qm4720-tools python3-qm4720; do
    [ -f "$work/$package-dbgsym_${version}_$arch.deb" ] || fail "no $package-dbgsym"
done

field() { dpkg-deb -f "$(deb "$1")" "$2" 2>/dev/null; }
for package in $packages; do
    [ "$(field "$package" Version)" = "$version" ] || fail "$package Version: $(field "$package" Version)"
    maintainer=$(field "$package" Maintainer)
    [[ $maintainer =~ \<[^@\>]+@[a-z0-9.-]+\.[a-z]+\>$ && $maintainer != *localhost* ]] ||
        fail "$package Maintainer: $maintainer"
done
# The binding's interpreter: the Python 3 version whose ABI it was built for, and no other.
abi=$(grep -Eo 'cpython-3[0-9]+' "$work/python3-qm4720.contents" | head -n 1 | sed 's/cpython-3//')
depends=$(field python3-qm4720 Depends)
[[ $depends == *"python3 (>= 3.$abi~)"* && $depends == *"python3 (<< 3.$((abi + 1)))"* ]] ||
    fail "python3-qm4720 Depends does not pin Python 3.$abi: $depends"
# PACKAGE FIELD TEXT: the field holds the text.
while read -r package name text; do
    [[ $(field "$package" "$name") == *"$text"* ]] || fail "$package $name lacks \"$text\": $(field "$package" "$name")"
done <<EOF_FIELDS
qm4720d Depends libqm4720-1 (= $version)
qm4720d Depends libjs-chart.js
qm4720d Depends libc6
qm4720d Description qm4720d
qm4720-tools Depends libqm4720-1 (= $version)
qm4720-tools Recommends bash-completion
python3-qm4720 Depends libqm4720-1 (= $version)
python3-qm4720 Description Python
libqm4720-dev Depends libqm4720-1 (= $version)
EOF_FIELDS
dpkg-deb --info "$(deb qm4720d)" conffiles 2>/dev/null | grep -qx /etc/qm4720d.toml ||
    fail "/etc/qm4720d.toml is not a conffile of qm4720d"
[ $failed -eq 0 ] && echo "lintian without errors; contents and fields check out"
exit $failed
