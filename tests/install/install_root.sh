# Sourced by the scripts that use an installed copy of qm4720 (installed_examples.sh,
# python_venv.sh), with `root` (the install root without its trailing /: "" for the machine's
# own), `prefix` and `source` (the source tree) set. Points pkg-config and CMake at the copy and
# gives the simulator runs of those scripts.
# Absolute, without a trailing /: the builds below run in other folders.
root=$(cd "${root:-/}" && pwd) || exit 1
root=${root%/}
source=$(cd "$source" && pwd) || exit 1
base=$root$prefix
sim=$base/bin/qm4720sim
fail() { echo "FAILED: $*"; exit 1; }

# with_sim EXPECTED COMMAND...: COMMAND against station 1 held still with PV at 42.5, its output
# holding EXPECTED; {port} in COMMAND is the simulator's device.
with_sim() {
    local expected=$1
    shift
    /usr/bin/python3 "$source/tests/scripts/with_simulator.py" --expect "$expected" \
        "$sim" --station 1 --frozen --set 1:PV=42.5 -- "$@"
}

pc=$(find "$base" -path '*/pkgconfig/qm4720.pc' 2>/dev/null | head -n 1)
[ -n "$pc" ] || fail "no qm4720.pc below $base"
export PKG_CONFIG_PATH=${pc%/qm4720.pc}
if [ -n "$root" ]; then export PKG_CONFIG_SYSROOT_DIR=$root; fi
# The module where the package says (its path on the machine that has it installed), and where it
# is in this copy.
installed_module=$(PKG_CONFIG_SYSROOT_DIR= pkg-config --variable=moduledir qm4720)/qm4720.so
module=$root$installed_module
[ -f "$module" ] || fail "no module at $module"

# check_pc_file: every path of qm4720.pc absolute, normalised and there; its prefix PREFIX.
check_pc_file() {
    local variable value flag dir
    for variable in prefix libdir includedir moduledir; do
        value=$(PKG_CONFIG_SYSROOT_DIR= pkg-config --variable=$variable qm4720)
        case $value in
            /*/../* | /*/./* | */.. | */. | *//* | ?*/) fail "$variable=$value is not normalised" ;;
            /*) ;;
            *) fail "$variable=$value is not absolute" ;;
        esac
    done
    value=$(PKG_CONFIG_SYSROOT_DIR= pkg-config --variable=prefix qm4720)
    [ "$value" = "$prefix" ] || fail "qm4720.pc names the prefix $value, not $prefix"
    for flag in $(pkg-config --cflags --libs qm4720); do
        case $flag in
            -I* | -L*)
                dir=${flag#-?}
                case $dir in /*/../* | /*/./* | *//*) fail "$flag is not normalised" ;; esac
                [ -d "$dir" ] || fail "$flag: no such folder" ;;
        esac
    done
}

# run EXPECTED DEFAULT GIVEN COMMAND...: COMMAND against the simulator with one more argument, which
# chooses the module: DEFAULT lets the program take the default one ("": no argument), GIVEN names
# the installed module. For the machine's own install with DEFAULT only; in a copy, with DEFAULT it
# must fail naming the default module (unless the machine has one there too), then read with GIVEN.
run() {
    local expected=$1 default=$2 given=$3 said
    shift 3
    if [ -z "$root" ]; then
        with_sim "$expected" "$@" ${default:+"$default"}
        return
    fi
    if [ ! -e "$installed_module" ]; then
        said=$(with_sim "$expected" "$@" ${default:+"$default"} 2>&1) &&
            fail "$1 loaded a module that is not there: $said"
        [[ $said == *"$installed_module"* ]] ||
            fail "$1 does not name the default module $installed_module: $said"
        echo "without a module: $(grep -m 1 -F "$installed_module" <<<"$said")"
    fi
    with_sim "$expected" "$@" "$given"
}
