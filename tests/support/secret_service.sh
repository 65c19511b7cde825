#!/usr/bin/env bash
# Run by dbus-run-session: a Secret Service (gnome-keyring-daemon) on that
# private session bus, its keyring in HOME_FOLDER, created and unlocked for
# the test. Prints "bus ADDRESS" and stays until its input ends; then
# dbus-run-session ends the bus and the keyring daemon leaves with it.
#   secret_service.sh HOME_FOLDER
set -euo pipefail
home="$1"
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf 'veltrow-test-keyring' | gnome-keyring-daemon --unlock --components=secrets --daemonize >/dev/null
# The daemon forks before it owns its bus name: wait (bounded) until it does.
for _ in $(seq 100); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true" && break
    sleep 0.05
done
echo "bus $DBUS_SESSION_BUS_ADDRESS"
exec cat >/dev/null
