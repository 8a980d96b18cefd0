#!/usr/bin/env bash
# What the window tells a screen reader: runs tst_window's screen-reader check on a virtual X
# display with an accessibility bus of its own (a session bus and at-spi-bus-launcher, as a
# desktop with a screen reader has), so that Qt announces every change as it does for a user.
# Usage: screenreader_test.sh TST_WINDOW_BINARY
set -euo pipefail

tst_window=$1
launcher=/usr/libexec/at-spi-bus-launcher
for tool in Xvfb dbus-daemon "$launcher"; do
    command -v "$tool" >/dev/null || {
        echo "$tool not found: scripts/install-deps installs it" >&2
        exit 1
    }
done

scratch=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

mkfifo "$scratch/displayfd"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$scratch/displayfd" \
    2>"$scratch/xvfb.log" &
pids+=($!)
read -r display <"$scratch/displayfd" || true
[ -n "$display" ] || { cat "$scratch/xvfb.log" >&2; echo "FAIL: Xvfb did not start" >&2; exit 1; }

# The buses and what they keep live in the scratch directory: no desktop's bus is used or
# disturbed.
mkdir -m 700 "$scratch/home" "$scratch/run"
export HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/run
unset AT_SPI_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(dbus-daemon --session --fork --nopidfile --print-address=1 \
    --print-pid=3 3>"$scratch/bus.pid")
export DBUS_SESSION_BUS_ADDRESS
pids+=("$(cat "$scratch/bus.pid")")
"$launcher" --launch-immediately >/dev/null 2>"$scratch/at-spi.log" &
pids+=($!)

env -u WAYLAND_DISPLAY DISPLAY=":$display" QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
    LUMORA_TEST_SCREEN_READER=1 "$tst_window" screenReadersReadValues
