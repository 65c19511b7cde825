#!/usr/bin/env bash
# Run by dbus-run-session on the tests' private session bus, for as long as
# the test process lives. Prints "bus ADDRESS", then takes commands:
#   start HOME_FOLDER  a Secret Service (gnome-keyring-daemon), its keyring in
#                      HOME_FOLDER, created and unlocked; answers "ready"
#   stop               ends it and waits until its bus name is free; "stopped"
# When its input ends it stops the daemon and leaves; dbus-run-session then
# ends the bus.
set -euo pipefail
daemon=
# Bounded wait until org.freedesktop.secrets has an owner (want "true") or
# has none (want "false"); every try is a round trip to the bus.
wait_for_name() {
    for _ in $(seq 2000); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
            grep -q "boolean $1" && return 0
    done
    return 1
}
stop() {
    if [ -n "$daemon" ]; then
        kill "$daemon" 2>/dev/null || true
        wait "$daemon" 2>/dev/null || true
        daemon=
    fi
    wait_for_name false
}
echo "bus $DBUS_SESSION_BUS_ADDRESS"
while read -r command home; do
    case "$command" in
    start)
        mkdir -p "$home/data" "$home/config" "$home/run"
        chmod 700 "$home/run"
        printf 'veltrow-test-keyring' |
            HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run" \
                gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>"$home/daemon.log" &
        daemon=$!
        if wait_for_name true; then echo ready; else echo failed; fi
        ;;
    stop)
        if stop; then echo stopped; else echo failed; fi
        ;;
    esac
done
stop
