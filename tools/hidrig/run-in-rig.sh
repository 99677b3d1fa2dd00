#!/bin/bash
# Runs a command in the hidraw rig: private mount, pid and network namespaces in
# which /dev/hidraw0 is the simulated instrument, served through FUSE by hidrig,
# and a fake sysfs lists it (and, on request, other HID devices) for the
# system's HIDAPI to find. The product and the tests reach it through the real
# library exactly as they would reach the instrument. The server's bench holds
# more instruments, unplugged until a test plugs them in: each has a USB device
# chain of its own, and gets a node of its own (the lowest free hidrawN) while
# it is plugged in.
#
#   run-in-rig.sh --server PATH [--others N] [--node-mode MODE] [--usb-timing]
#                 [--unplugged] [--] COMMAND [ARG...]
#
#   --server PATH     the hidrig executable
#   --others N        N more HID devices (a keyboard, mice, ...) in the fake sysfs
#   --node-mode MODE  permission bits of the instruments' nodes (default 0666)
#   --usb-timing      one report per 1 ms frame each way, as on a full-speed bus
#   --unplugged       the first instrument starts unplugged too
#
# As on a real system, an instrument's node is there only while it is plugged in,
# and a change of its permissions shows in /dev.
#
# The command finds in its environment:
#   ZEL_RIG_CONTROL   the server's control socket
#   ZEL_RIG_SCRIPT    this script: "$ZEL_RIG_SCRIPT --start-server" starts a new
#                     server after the last one died (the instrument plugged in again)
#   ZEL_RIG_DIR       the rig's own folder, private to the rig
#   SYSTEMD_DEVICE_VERIFY_SYSFS=0, without which libudev refuses a sysfs on tmpfs
#
# Where the rig cannot be set up (no /dev/fuse, no namespaces) the command runs
# without it and ZEL_RIG_UNAVAILABLE says why; the rig's tests skip then. All
# the rig sets up ends with the command: the namespaces take the mounts, the
# server and any process left behind with them.
set -euo pipefail

self=$(readlink -f "$0")

usage() {
    sed -n '11,18p' "$self" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

# --- the server, in the rig ---

rig=${ZEL_RIG_DIR:-}
# The HID devices of the bench's instruments, in its order: the first where a
# single instrument has always been, the others on a bus of their own, after the
# other HID devices.
instruments=(
    /sys/devices/hidrig/usb1/1-1/1-1:1.0/0003:04D8:F93C.0001
    /sys/devices/hidrig/usb2/2-1/2-1:1.0/0003:04D8:F93C.0102
    /sys/devices/hidrig/usb2/2-2/2-2:1.0/0003:04D8:F93C.0103
    /sys/devices/hidrig/usb2/2-3/2-3:1.0/0003:04D8:F93C.0104
)

start_server() {
    # A server that died leaves its supervisor to clear up after it first.
    for _ in $(seq 200); do
        [ -e "$rig/supervisor.pid" ] || break
        sleep 0.025
    done
    if [ -e "$rig/supervisor.pid" ]; then
        echo "hidrig: the last server is still running" >&2
        return 1
    fi
    rm -f "$rig/control"
    local chains=() dir
    for dir in "${instruments[@]}"; do chains+=(--instrument "$dir"); done
    # The supervisor does what the kernel does when a device goes: the nodes leave
    # /dev, and sysfs forgets them.
    (
        "$ZEL_RIG_SERVER" --mount "$rig/mnt" --control "$rig/control" "${chains[@]}" \
            --class-dir /sys/class/hidraw --dev-dir /dev $ZEL_RIG_SERVER_ARGS "$@" || true
        shopt -s nullglob
        for entry in /dev/hidraw* /sys/class/hidraw/*; do
            case $(readlink "$entry") in
            "$rig/mnt/"* | *04D8:F93C*) rm -f "$entry" ;;
            esac
        done
        for dir in "${instruments[@]}"; do rm -rf "$dir/hidraw"; done
        umount -l "$rig/mnt" 2>/dev/null || true
        rm -f "$rig/supervisor.pid"
    ) >>"$rig/server.log" 2>&1 </dev/null &
    echo $! >"$rig/supervisor.pid"
    for _ in $(seq 400); do
        [ -S "$rig/control" ] && return 0
        sleep 0.025
    done
    echo "hidrig: the server did not start:" >&2
    cat "$rig/server.log" >&2
    return 1
}

if [ "${1:-}" = --start-server ]; then
    [ -n "${ZEL_RIG_DIR:-}" ] || { echo "hidrig: --start-server works only inside the rig" >&2; exit 2; }
    start_server
    exit
fi

# --- the fake sysfs ---

# One USB HID device with one interface: usb_device -> usb_interface -> hid ->
# hidraw, each with the files the library and libudev read. Arguments: the HID
# device's folder (under /sys/devices/hidrig/usbB/B-P/B-P:1.0/), vendor id,
# product id (4 hex digits each), manufacturer, product, and the hidraw number.
# An instrument has none: the server adds its hidraw entry while it is plugged in,
# with the lowest number free then; any other device is listed from the start.
add_device() {
    local hid=$1 vid=$2 pid=$3 manufacturer=$4 product=$5 index=${6:-}
    local intf=${hid%/*}
    local usb=${intf%/*}
    local port=${usb##*/}
    local bus=${port%%-*} n=${port#*-}
    local hidname=${hid##*/}
    mkdir -p "$hid"
    printf 'MAJOR=189\nMINOR=%d\nDEVNAME=bus/usb/%03d/%03d\nDEVTYPE=usb_device\nPRODUCT=%x/%x/100\nBUSNUM=%03d\nDEVNUM=%03d\n' \
        "$(((bus - 1) * 128 + n))" "$bus" "$n" "0x$vid" "0x$pid" "$bus" "$n" >"$usb/uevent"
    echo "$vid" >"$usb/idVendor"
    echo "$pid" >"$usb/idProduct"
    echo "$manufacturer" >"$usb/manufacturer"
    echo "$product" >"$usb/product"
    echo 0100 >"$usb/bcdDevice"
    printf 'DEVTYPE=usb_interface\nINTERFACE=3/0/0\n' >"$intf/uevent"
    echo 00 >"$intf/bInterfaceNumber"
    printf 'DRIVER=hid-generic\nHID_ID=0003:0000%s:0000%s\nHID_NAME=%s %s\nHID_PHYS=usb-hidrig-%d.%d/input0\nHID_UNIQ=\nMODALIAS=hid:b0003g0001v0000%sp0000%s\n' \
        "$vid" "$pid" "$manufacturer" "$product" "$bus" "$n" "$vid" "$pid" >"$hid/uevent"
    # Vendor-defined page, 64-byte input and output reports without report ids.
    printf '\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95\x40\x09\x01\x81\x02\x95\x40\x09\x01\x91\x02\xc0' \
        >"$hid/report_descriptor"
    ln -s ../../../../bus/usb "$usb/subsystem"
    ln -s ../../../../../bus/usb "$intf/subsystem"
    ln -s ../../../../../../bus/hid "$hid/subsystem"
    [ -n "$index" ] || return 0
    local raw=$hid/hidraw/hidraw$index
    mkdir -p "$raw"
    printf 'MAJOR=240\nMINOR=%d\nDEVNAME=hidraw%d\n' "$index" "$index" >"$raw/uevent"
    echo "240:$index" >"$raw/dev"
    ln -s ../../../../../../../../class/hidraw "$raw/subsystem"
    ln -s ../../../$hidname "$raw/device"
    ln -s "../../${raw#/sys/}" "/sys/class/hidraw/hidraw$index"
}

# Binds each entry of `source` onto an empty folder of the same name in
# `target`, but for the names in `skip`, whose folders stay empty and writable.
bind_back() {
    local target=$1 source=$2 skip=$3 entry name
    for entry in "$source"/*; do
        name=${entry##*/}
        mkdir "$target/$name"
        case " $skip " in *" $name "*) continue ;; esac
        mount --rbind "$entry" "$target/$name"
    done
}

inside() {
    # The rig's files live on a tmpfs of its own, over a folder made for it outside;
    # /tmp itself stays shared, since the build and the command may well live there.
    mount -t tmpfs -o mode=755 hidrig "$rig"
    # X servers started in the rig get sockets of their own (and run without lock
    # files), so they cannot collide with any outside.
    mkdir -p /tmp/.X11-unix
    mount -t tmpfs -o mode=1777 hidrig /tmp/.X11-unix
    mkdir -p "$rig/mnt"
    # sysfs: a tmpfs with the real subtrees bound back in, /sys/class/hidraw and
    # /sys/devices/hidrig its own.
    mkdir -p "$rig/sys"
    mount --rbind /sys "$rig/sys"
    mount -t tmpfs -o mode=755 hidrig /sys
    bind_back /sys "$rig/sys" "class devices"
    bind_back /sys/class "$rig/sys/class" "hidraw"
    bind_back /sys/devices "$rig/sys/devices" ""
    mkdir -p /sys/class/hidraw
    # /dev: every real entry by a link but the hidraw nodes; an instrument's node, a
    # link to the FUSE server's file, comes and goes with it (the server links it).
    mkdir -p "$rig/dev"
    mount --rbind /dev "$rig/dev"
    mount -t tmpfs -o mode=755 hidrig /dev
    ln -s "$rig"/dev/* /dev/
    rm -f /dev/hidraw*

    local i dir makers=(Logitech Microsoft Dell Jabra Wacom) kinds=(Keyboard Mouse Headset Receiver Tablet)
    for dir in "${instruments[@]}"; do
        add_device "$dir" 04D8 F93C Zelora HR36
    done
    for ((i = 1; i <= ZEL_RIG_OTHERS; i++)); do
        add_device "$(printf '/sys/devices/hidrig/usb1/1-%d/1-%d:1.0/0003:%04X:%04X.%04X' \
            $((i + 1)) $((i + 1)) $((0x0400 + i)) $((0xC000 + i)) $((i + 1)))" \
            "$(printf %04X $((0x0400 + i)))" "$(printf %04X $((0xC000 + i)))" \
            "${makers[i % 5]}" "${kinds[i % 5]}" "$i"
    done

    export SYSTEMD_DEVICE_VERIFY_SYSFS=0 ZEL_RIG_CONTROL=$rig/control ZEL_RIG_SCRIPT=$self
    if [ "$ZEL_RIG_UNPLUGGED" = 1 ]; then
        start_server --unplugged
    else
        start_server
    fi
    local status=0
    "$@" || status=$?
    exit "$status"
}

if [ "${1:-}" = --inside ]; then
    shift
    inside "$@"
fi

# --- outside: check, then enter the namespaces ---

server="" others=0 node_mode=0666 usb_timing="" unplugged=0
while [ $# -gt 0 ]; do
    case $1 in
    --server) server=$2; shift 2 ;;
    --others) others=$2; shift 2 ;;
    --node-mode) node_mode=$2; shift 2 ;;
    --usb-timing) usb_timing=--usb-timing; shift ;;
    --unplugged) unplugged=1; shift ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || usage
if [ ! -x "$server" ]; then
    echo "hidrig: no server at '$server'" >&2
    exit 2
fi

unavailable() {
    echo "hidrig: unavailable: $1" >&2
    ZEL_RIG_UNAVAILABLE="$1" exec "${command[@]}"
}
command=("$@")
[ -c /dev/fuse ] && [ -r /dev/fuse ] && [ -w /dev/fuse ] ||
    unavailable "no usable /dev/fuse"
command -v unshare >/dev/null || unavailable "unshare (util-linux) is not installed"
namespaces=(--mount --pid --net --fork --kill-child --propagation private --mount-proc)
if [ "$(id -u)" != 0 ]; then
    namespaces=(--user --map-root-user "${namespaces[@]}")
fi
why=$(unshare "${namespaces[@]}" true 2>&1) || unavailable "cannot create namespaces: $why"

export ZEL_RIG_SERVER=$server ZEL_RIG_OTHERS=$others ZEL_RIG_UNPLUGGED=$unplugged
export ZEL_RIG_SERVER_ARGS="--mode $node_mode $usb_timing"
ZEL_RIG_DIR=$(mktemp -d "${TMPDIR:-/tmp}/hidrig.XXXXXX")
export ZEL_RIG_DIR
status=0
unshare "${namespaces[@]}" -- "$self" --inside "$@" || status=$?
rmdir "$ZEL_RIG_DIR"
exit "$status"
