# Sourced by the wine tests: starts a virtual X display of the test's own, whose number Xvfb
# picks itself, so tests in parallel never collide; stops it and wine's server on exit.
# Sets DISPLAY and wine's variables; needs $scratch, a folder of the test's own.
stop_display() {
    # Every wine process of this prefix goes with the session, and the next test starts anew.
    if [ -n "${WINEPREFIX-}" ]; then
        wineserver --kill 2>/dev/null || true
        wineserver --wait 2>/dev/null || true
    fi
    [ -n "${xvfb-}" ] && kill "$xvfb" 2>/dev/null
    true
}
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
WINEPREFIX=$("$(dirname "${BASH_SOURCE[0]}")/wineprefix.sh")
mkfifo "$scratch/displayfd"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$scratch/displayfd" \
    2>"$scratch/xvfb.log" &
xvfb=$!
read -r display <"$scratch/displayfd" || true
[ -n "$display" ] || { cat "$scratch/xvfb.log" >&2; echo "FAIL: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"
