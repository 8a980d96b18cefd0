#!/usr/bin/env bash
# The beep a user hears: runs the real program on a virtual X display with a sound server of its
# own (PulseAudio with a null sink, on a private socket), plays the scanner through scripts/try's
# private /dev and counts the beeps recorded from the sink's monitor and the X bells rung, then
# again with no sound server to reach (tests/beep_record.py).
# Skipped (77) where the sound server cannot start or no private mount namespace can be had.
# Usage: beep_test.sh LUMORA_BINARY
set -euo pipefail

lumora=$1
here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb xdotool python3 pulseaudio pactl pacat parec; do
    command -v "$tool" >/dev/null || {
        echo "$tool not found: scripts/install-deps installs it" >&2
        exit 1
    }
done

scratch=$(mktemp -d)
cleanup() {
    [ -n "${pulse-}" ] && kill "$pulse" 2>/dev/null && wait "$pulse" 2>/dev/null
    [ -n "${xvfb-}" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
mkfifo "$scratch/displayfd"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$scratch/displayfd" \
    2>"$scratch/xvfb.log" &
xvfb=$!
read -r display <"$scratch/displayfd" || true
[ -n "$display" ] || { cat "$scratch/xvfb.log" >&2; echo "FAIL: Xvfb did not start" >&2; exit 1; }

# Everything the server and its clients keep lives in the scratch directory, so no desktop's
# sound server is disturbed or used, and clients never start a server of their own. Run as root
# (as in CI), PulseAudio warns and runs.
mkdir -m 700 "$scratch/home" "$scratch/run"
printf 'autospawn = no\n' >"$scratch/client.conf"
export HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/run PULSE_RUNTIME_PATH=$scratch/run/pulse \
    PULSE_SERVER=unix:$scratch/pulse.socket PULSE_CLIENTCONFIG=$scratch/client.conf
unset PULSE_SINK PULSE_SOURCE
pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --use-pid-file=no \
    --realtime=no --high-priority=no --log-target=stderr \
    -L "module-native-protocol-unix socket=$scratch/pulse.socket auth-anonymous=1" \
    -L "module-null-sink sink_name=lumora_test rate=48000" 2>"$scratch/pulse.log" &
pulse=$!
for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    kill -0 "$pulse" 2>/dev/null || break
    sleep 0.1
done
if ! pactl info >/dev/null 2>&1; then
    echo "SKIP: PulseAudio did not start here:" >&2
    cat "$scratch/pulse.log" >&2
    exit 77
fi

status=0
env -u WAYLAND_DISPLAY DISPLAY=":$display" QT_QPA_PLATFORM=xcb \
    python3 "$here/beep_record.py" --sink lumora_test "$lumora" || status=$?
if [ "$status" -eq 3 ]; then
    echo "SKIP: no private mount namespace here" >&2
    exit 77
fi
exit "$status"
