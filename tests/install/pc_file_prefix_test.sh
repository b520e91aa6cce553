#!/bin/sh
# Installed with `cmake --install --prefix` to another prefix than the configured one, and given
# it with a detour (a/../a), qm4720.pc names that prefix, normalised, in every path.
#   pc_file_prefix_test.sh CMAKE BUILD_DIR PREFIX
set -u
cmake=$1 build=$2 prefix=$3
clean=$(realpath -m "$prefix")
rm -rf "$clean"
"$cmake" --install "$build" --prefix "$prefix" --component development >/dev/null || exit 1
pc=$(find "$clean" -path '*/pkgconfig/qm4720.pc' | head -n 1)
[ -n "$pc" ] || { echo "FAILED: no qm4720.pc below $clean"; exit 1; }
failed=0
for variable in prefix libdir includedir moduledir; do
    value=$(PKG_CONFIG_PATH=${pc%/qm4720.pc} pkg-config --variable=$variable qm4720)
    case $value in
        "$clean" | "$clean"/*) ;;
        *) echo "FAILED: $variable=$value is not below $clean"; failed=1 ;;
    esac
    case $value in
        */../* | */./* | *//* | */) echo "FAILED: $variable=$value is not normalised"; failed=1 ;;
    esac
done
grep -n '\.\.' "$pc" && { echo "FAILED: $pc holds a '..'"; failed=1; }
rm -rf "$clean"
[ $failed -eq 0 ] && echo "qm4720.pc names $clean"
exit $failed
