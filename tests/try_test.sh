#!/usr/bin/env bash
# Runs the real program in scripts/try's private /dev on a virtual X display and plays the
# scanner from the far end: Lumora must open the free port at 9600 8N1 with errors marked and
# leave the busy one alone, let go of a port that is pulled out, open no other port in its place
# (not even one freed meanwhile) and open the device when it is plugged back in. Skipped (77)
# where no private mount namespace can be had.
# Usage: try_test.sh LUMORA_BINARY
set -euo pipefail

lumora=$1
here=$(cd "$(dirname "$0")/.." && pwd)
for tool in Xvfb xdotool python3; do
    command -v "$tool" >/dev/null || {
        echo "$tool not found: scripts/install-deps installs it" >&2
        exit 1
    }
done

scratch=$(mktemp -d)
trap '[ -n "${xvfb-}" ] && kill "$xvfb" 2>/dev/null; rm -rf "$scratch"' EXIT
# Xvfb picks a free display itself and writes its number into the FIFO, so runs in parallel
# never collide; the read returns as soon as it is up (or empty if it failed to start).
mkfifo "$scratch/displayfd"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$scratch/displayfd" \
    2>"$scratch/xvfb.log" &
xvfb=$!
read -r display <"$scratch/displayfd" || true
[ -n "$display" ] || { cat "$scratch/xvfb.log" >&2; echo "FAIL: Xvfb did not start" >&2; exit 1; }
# Connect once before the program does: with other X servers starting and ending on the
# machine, a display number can be reported before its socket takes connections.
for _ in $(seq 50); do
    DISPLAY=":$display" xdotool getdisplaygeometry >/dev/null 2>&1 && break
    kill -0 "$xvfb" 2>/dev/null || break
    sleep 0.1
done
DISPLAY=":$display" xdotool getdisplaygeometry >/dev/null 2>&1 \
    || { cat "$scratch/xvfb.log" >&2; echo "FAIL: display :$display takes no connections" >&2; exit 1; }

# The start-up scan ends in a box (the :ok) before the port is opened, and so does the scan
# after the plug. While the scanner is out, the other port is freed: it must not be opened in
# the scanner's place. A failed command ends the run with status 1, after saying which.
status=0
env -u WAYLAND_DISPLAY DISPLAY=":$display" QT_QPA_PLATFORM=xcb \
    "$here/scripts/try" --busy ttyACM0 --port ttyUSB0 -- "$lumora" >"$scratch/out" 2>&1 <<'EOF' \
    || status=$?
:ok
:wait ttyUSB0 open
:status
:unplug ttyUSB0
:wait ttyUSB0 gone
:free ttyACM0
:sleep 1.5
:status
:plug ttyUSB0
:ok
:wait ttyUSB0 open
:status
EOF

if [ "$status" -eq 3 ]; then
    echo "SKIP: no private mount namespace here" >&2
    cat "$scratch/out" >&2
    exit 77
fi
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
[ "$status" -eq 0 ] || fail "scripts/try ended with status $status"
opened='^ttyUSB0: plugged at /dev/pts/[0-9]+, open by lumora\[[0-9]+\], 9600 8N1, errors marked$'
[ "$(grep -cE "$opened" "$scratch/out")" -eq 2 ] \
    || fail "ttyUSB0 not open by lumora at 9600 8N1 with errors marked, before the unplug and after"
# Left alone, even once freed while the scanner was out: never open, its settings as the far
# end made them.
busy=$(grep '^ttyACM0:' "$scratch/out" || true)
if [ -z "$busy" ] || grep -v ', not open, 38400 8N1$' <<<"$busy" >/dev/null; then
    fail "the busy port was touched, or its status is missing: $busy"
fi

if [ "$failures" -gt 0 ]; then
    cat "$scratch/out" >&2
    exit 1
fi
echo "lumora opened the free port, left the busy one alone, let go on unplug, reopened on plug"
