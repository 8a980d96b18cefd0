#!/usr/bin/env bash
# Prints the wine prefix that the Windows build's tests run in, made once per wine version and
# version of this script in the Windows build's cache (see scripts/build-windows), and shared
# by every checkout.
#     WINEPREFIX=$(tests/windows/wineprefix.sh)
set -euo pipefail

cache=${LUMORA_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumora-windows}
version=$(wine --version 2>/dev/null | tr -c 'A-Za-z0-9.\n' '-')
prefix=$cache/wine/$version-$(sha256sum "$0" | cut -c1-8)
mkdir -p "$cache/wine"
# Tests that start together wait for the one that makes it.
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.ready" ]; then
    rm -rf "$prefix"
    # No menu entries or file types for wine's programs in the user's desktop.
    export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d
    {
        # Without Mono and Gecko, which Qt programs do not use and wine would offer to download.
        WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mscoree=;mshtml=" wineboot --init
        # Wine has neither Courier New, the large barcode's face, nor Segoe UI Symbol, where
        # Windows finds the pictures of control characters: Liberation Mono and Unifont stand
        # in for them, as on Linux.
        for font in "Courier New=Liberation Mono" "Segoe UI Symbol=Unifont"; do
            wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "${font%=*}" /d "${font#*=}" /f
        done
        wineserver --wait
    } >"$prefix.log" 2>&1 || { cat "$prefix.log" >&2; exit 1; }
    touch "$prefix/.ready"
fi
echo "$prefix"
