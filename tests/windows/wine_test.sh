#!/usr/bin/env bash
# Runs one test program of the Windows build under wine, with Qt's windows platform on a
# virtual X display, and ends with the program's exit status. Skipped (77) where the program
# is not built or wine is missing.
#     wine_test.sh PROGRAM.exe [ARGUMENT]...
set -euo pipefail

program=$1
shift
[ -f "$program" ] || {
    echo "SKIP: $program is not built (scripts/build-windows builds it)" >&2
    exit 77
}
for tool in wine Xvfb; do
    command -v "$tool" >/dev/null || {
        echo "SKIP: $tool not found (scripts/install-deps installs it)" >&2
        exit 77
    }
done

scratch=$(mktemp -d)
trap 'stop_display; rm -rf "$scratch"' EXIT
source "$(dirname "$0")/winedisplay.sh"
# Qt Test writes to the Windows debugger's log unless told a file; wine's Z: drive is /.
status=0
# Wine keeps the QT_* variables of Linux from Windows programs and passes WINEQT_* on as QT_*:
# Qt's platform for Windows, and the look lumora.exe sets.
WINEQT_QPA_PLATFORM=windows WINEQT_STYLE_OVERRIDE=fusion \
    wine "$program" -o "Z:${scratch//\//\\}\\results.txt,txt" "$@" || status=$?
cat "$scratch/results.txt" 2>/dev/null || echo "FAIL: $program wrote no results" >&2
exit "$status"
