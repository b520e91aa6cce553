#!/usr/bin/env bash
# The bash completion of the programs, sourced into this shell and asked for a few prefixes as
# bash asks it on Tab: each case gives the words so far and the completions it must offer (and
# a word it must not, after "!"). With QM4720D, every option of its --help must be offered.
#   completion_test.sh COMPLETION_DIR [QM4720D]
set -u
dir=$1 qm4720d=${2:-}
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

# qm4720sim's file alone, as bash-completion loads it on a Tab after qm4720sim, finds the port list.
bash -c 'source "$1/qm4720sim" && declare -F _qm4720_complete_port >/dev/null' _ "$dir" ||
    { echo "FAILED: qm4720sim's completion does not find the port list on its own"; exit 1; }
source "$dir/qm4720ctl" || exit 1
source "$dir/qm4720sim" || exit 1
source "$dir/qm4720d" || exit 1

failed=0
check() { # COMMAND_LINE EXPECTED...
    local line=$1
    shift
    read -r -a COMP_WORDS <<<"$line"
    # A line that ends in a space asks for the next word.
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    local function
    function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    if [ -z "$function" ]; then
        echo "FAILED: no completion for ${COMP_WORDS[0]}"; failed=1; return
    fi
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local want got=" ${COMPREPLY[*]} "
    for want in "$@"; do
        if [[ $want == !* ]]; then
            [[ $got == *" ${want#!} "* ]] && { echo "FAILED: '$line' offers ${want#!}:$got"; failed=1; }
        else
            [[ $got == *" $want "* ]] || { echo "FAILED: '$line' lacks $want:$got"; failed=1; }
        fi
    done
}

check "qm4720ctl " read write poll probe ports tables check-station parse register history demo
check "qm4720ctl re" read register !write
check "qm4720ctl --format " text csv json jsonl
check "qm4720ctl read PV --par" --parity !--port
check "qm4720ctl read PV --parity " none odd even mark space
check "qm4720ctl tables --model " QM4720N
check "qm4720ctl read " PV SP OP !--station
check "qm4720ctl write SP=1 --" --verify --station --port !--count
check "qm4720ctl poll PV --" --interval --count --station
check "qm4720ctl --v" --version
check "qm4720ctl history --" --db --since --until --register !--port
check "qm4720ctl history --register P" PV PR !OP
check "qm4720sim --" --station --fault --device --version
check "qm4720sim --fault " timeout= bad-bcc= split= noise= nak= non-numeric= lone-stx=
check "qm4720sim --parity e" even !odd

# A /dev of the test's own: serial ports of each kind among the consoles and other devices.
dev=$work/dev
_qm4720_dev=$dev
mkdir -p "$dev/serial/by-id" "$dev/pts" "$work/conf/sub"
for name in tty tty0 tty1 tty63 console ptmx ttyprintk ttyS0 ttyS31 ttyUSB0 ttyACM1 ttyAMA0 \
    rfcomm0; do
    : >"$dev/$name"
done
ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"
ln -s ../../ttyUSB9 "$dev/serial/by-id/usb-unplugged-if00-port0"
: >"$work/sim-link"
: >"$dev/pts/3"
: >"$work/conf/plant.toml"
: >"$work/conf/notes.txt"
: >"$work/conf/qm4720.so"
ports="$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0 $dev/ttyS0 $dev/ttyS31
    $dev/ttyUSB0 $dev/ttyACM1 $dev/ttyAMA0 $dev/rfcomm0"
consoles="!$dev/tty !$dev/tty0 !$dev/tty1 !$dev/tty63 !$dev/console !$dev/ptmx !$dev/ttyprintk"
# shellcheck disable=SC2086
{
    check "qm4720ctl read PV --port " $ports $consoles "!$dev/serial/by-id/usb-unplugged-if00-port0"
    check "qm4720ctl read PV --port $dev/tty" "$dev/ttyS0" "$dev/ttyUSB0" "$dev/ttyAMA0" $consoles
    check "qm4720ctl read PV --port $dev/ttyU" "$dev/ttyUSB0" "!$dev/ttyS0"
    check "qm4720ctl read PV --port $dev/tty6" "!$dev/tty63"
    check "qm4720ctl read PV --port $dev/serial/" \
        "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"
    check "qm4720ctl probe --port $work/sim" "$work/sim-link"
    check "qm4720ctl probe --port $dev/pts/" "$dev/pts/3"
    check "qm4720sim --device $dev/rf" "$dev/rfcomm0" "!$dev/ttyS0"
    check "qm4720sim --forward " $ports $consoles
}
# The machine's own /dev: whatever serial ports it has, never its consoles.
_qm4720_dev=
check "qm4720ctl read PV --port /dev/tty" "!/dev/tty0" "!/dev/tty1" "!/dev/tty63"

check "qm4720d --" --config --check-config --module --version --help
check "qm4720d --check" --check-config "!--config"
check "qm4720d --config $work/conf/" "$work/conf/plant.toml" "$work/conf/sub" \
    "!$work/conf/notes.txt" "!$work/conf/qm4720.so"
check "qm4720d --check-config $work/conf/p" "$work/conf/plant.toml"
check "qm4720d --module $work/conf/" "$work/conf/qm4720.so" "!$work/conf/plant.toml"
if [ -n "$qm4720d" ]; then
    # shellcheck disable=SC2046
    check "qm4720d -" $("$qm4720d" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
fi
[ $failed -eq 0 ] && echo "every completion case passed"
exit $failed
