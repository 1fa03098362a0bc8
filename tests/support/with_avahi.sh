#!/bin/sh
# Runs a command on a machine of its own: new network, mount, host-name and
# process namespaces with only a loopback interface, a private /run, a system
# bus and an Avahi daemon. Multicast DNS never leaves it, and whatever is left
# running ends with it.
#   with_avahi.sh COMMAND [ARG...]
#   with_avahi.sh --daemon stop|start   (inside) stops or starts the daemon
set -eu
conf=/run/kolvaro-avahi.conf

daemon() {
    # Never on the machine's own interfaces: only in a namespace made below.
    if [ -z "${KOLVARO_OUTER_NET:-}" ] || [ "$(readlink /proc/self/ns/net)" = "$KOLVARO_OUTER_NET" ]; then
        echo "with_avahi.sh: not inside its own network namespace" >&2
        exit 1
    fi
    if [ "$1" = stop ]; then
        avahi-daemon -k 2>/dev/null || true
        for _ in $(seq 100); do avahi-daemon -c 2>/dev/null || return 0; sleep 0.05; done
        return 1
    fi
    avahi-daemon -D -f "$conf" --no-drop-root --no-chroot
    # Ready once its process title says so.
    for _ in $(seq 200); do
        pid=$(cat /run/avahi-daemon/pid 2>/dev/null) &&
            tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q '^avahi-daemon: running' && return 0
        sleep 0.05
    done
    echo "with_avahi.sh: the Avahi daemon did not start" >&2
    return 1
}

if [ "${1:-}" = --daemon ]; then
    daemon "$2"
    exit
fi
if [ -z "${KOLVARO_OUTER_NET:-}" ]; then
    KOLVARO_OUTER_NET=$(readlink /proc/self/ns/net)
    export KOLVARO_OUTER_NET
    ns="unshare --net --mount --uts --pid --fork --kill-child --mount-proc"
    $ns true 2>/dev/null || {
        echo "with_avahi.sh: cannot make network namespaces (run as root): the DNS-SD tests" \
            "need them to keep multicast DNS off this machine's network" >&2
        exit 1
    }
    exec $ns "$0" "$@"
fi

ip link set lo up
hostname kolvaro-test
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus
printf '%s\n' '[server]' 'use-ipv4=yes' 'use-ipv6=no' 'enable-dbus=yes' \
    '[wide-area]' 'enable-wide-area=no' '[publish]' 'publish-workstation=no' >"$conf"
dbus-daemon --system --fork
daemon start
# As the namespace's first process this shell ignores signals it has no trap
# for; ending it ends everything inside.
trap 'exit 143' TERM INT HUP
status=0
"$@" &
wait $! || status=$?
exit "$status"
