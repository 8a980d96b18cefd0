#!/usr/bin/env bash
# Builds the .deb from a built tree, unpacks it and checks what a desktop and dpkg rely on: the
# program, its menu entry, icons, metainfo, manual page and changelog in their places and valid,
# nothing else shipped, Depends naming the libraries the program links plus the plugins, fonts
# and sound theme it loads, the sound server's backend only recommended, and no lintian errors
# (its warnings are printed).
# Usage: package_test.sh BUILD_DIR
set -euo pipefail

build=$1
for tool in cpack dpkg-deb desktop-file-validate appstreamcli readelf lintian; do
    command -v "$tool" >/dev/null || {
        echo "$tool not found: scripts/install-deps installs it" >&2
        exit 1
    }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
    cat "$scratch/cpack.log" >&2
    exit 1
}
debs=("$scratch"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: cpack made no single .deb" >&2
    exit 1
fi
deb=${debs[0]}
root=$scratch/root
dpkg-deb -x "$deb" "$root"
field() { dpkg-deb -f "$deb" "$1"; }

version=$(field Version)
arch=$(dpkg --print-architecture)
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
[ "$(basename "$deb")" = "lumora_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"

expected=(
    usr/bin/lumora
    usr/share/applications/lumora.desktop
    usr/share/doc/lumora/changelog.gz
    usr/share/doc/lumora/copyright
    usr/share/icons/hicolor/scalable/apps/lumora.svg
    usr/share/man/man1/lumora.1.gz
    usr/share/metainfo/io.github.lumora.Lumora.metainfo.xml
)
sizes=(16 32 48 64 128 256)
for size in "${sizes[@]}"; do
    expected+=("usr/share/icons/hicolor/${size}x${size}/apps/lumora.png")
done
(cd "$root" && find . -type f -printf '%P\n' | sort) >"$scratch/files"
diff <(printf '%s\n' "${expected[@]}" | sort) "$scratch/files" >"$scratch/files.diff" \
    || fail "shipped files differ (< missing, > unexpected):
$(grep '^[<>]' "$scratch/files.diff")"

# Every entry is root's and writable by no one else, whoever built the package.
dpkg-deb -c "$deb" | awk '$2 != "root/root" || substr($1, 6, 1) == "w" || substr($1, 9, 1) == "w"' \
    >"$scratch/owners"
[ -s "$scratch/owners" ] && fail "entries not root's or writable by others:
$(cat "$scratch/owners")"

binary=$root/usr/bin/lumora
if [ -f "$binary" ]; then
    [ -x "$binary" ] || fail "usr/bin/lumora is not executable"
    sections=$(readelf -S "$binary")
    grep -q '\.debug_info' <<<"$sections" && fail "usr/bin/lumora still has debug info"

    # Debian names a library package after its soname: libQt6Widgets.so.6 is libqt6widgets6.
    depends=$(field Depends | tr ',|' '\n' | sed 's/(.*)//; s/[[:space:]]//g' | sort -u)
    needed=$(readelf -d "$binary" | sed -n 's/.*library: \[\(libQt6[A-Za-z]*\)\.so\.6\].*/\16/p')
    [ -n "$needed" ] || fail "usr/bin/lumora links no Qt 6 library"
    for package in $(echo "$needed" | tr '[:upper:]' '[:lower:]') qt6-qpa-plugins fonts-liberation \
        fonts-unifont sound-theme-freedesktop; do
        grep -qx "$package" <<<"$depends" || fail "Depends lacks $package: $(field Depends)"
    done
    # The beep: the library that plays it, and its way to the sound server only recommended, so
    # that installing Lumora never forces a sound server onto a machine.
    if readelf -d "$binary" | grep -q 'library: \[libcanberra\.so\.0\]'; then
        grep -qx libcanberra0 <<<"$depends" || fail "Depends lacks libcanberra0: $(field Depends)"
    else
        fail "usr/bin/lumora does not link libcanberra"
    fi
    [ "$(field Recommends)" = libcanberra-pulse ] \
        || fail "Recommends is '$(field Recommends)', not libcanberra-pulse"
    if grep -q pulse <<<"$depends"; then
        fail "Depends pulls in a sound server: $(field Depends)"
    fi
fi

desktop=$root/usr/share/applications/lumora.desktop
if [ -f "$desktop" ]; then
    # Hints (such as a second main category) are advice; warnings and errors are faults.
    if ! desktop-file-validate "$desktop" >"$scratch/desktop.log" 2>&1 \
        || grep -Eq '(error|warning):' "$scratch/desktop.log"; then
        fail "desktop-file-validate: $(cat "$scratch/desktop.log")"
    fi
    entry() { sed -n "s/^$1=//p" "$desktop"; }
    exec=$(entry Exec)
    [ -x "$root/usr/bin/${exec%% *}" ] || fail "Exec=$exec names no installed program"
    icon=$(entry Icon)
    missing=()
    for size in "${sizes[@]/%/x*}" scalable; do
        compgen -G "$root/usr/share/icons/hicolor/$size/apps/$icon.*" >/dev/null \
            || missing+=("$size")
    done
    [ ${#missing[@]} -eq 0 ] || fail "Icon=$icon has no icon in hicolor ${missing[*]}"
    [ "$(entry StartupWMClass)" = lumora ] || fail "StartupWMClass is '$(entry StartupWMClass)'"
fi

# An icon drawn at the wrong size is scaled by the desktop and comes out blurred.
for size in "${sizes[@]}"; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/lumora.png
    [ -f "$png" ] || continue
    read -r w0 w1 w2 w3 h0 h1 h2 h3 < <(od -An -tu1 -j16 -N8 "$png")
    width=$(((w0 << 24) | (w1 << 16) | (w2 << 8) | w3))
    height=$(((h0 << 24) | (h1 << 16) | (h2 << 8) | h3))
    [ "$width"x"$height" = "$size"x"$size" ] || fail "${size}x${size} icon is ${width}x${height}"
done

metainfo=$root/usr/share/metainfo/io.github.lumora.Lumora.metainfo.xml
if [ -f "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" >"$scratch/metainfo.log" 2>&1 \
        || fail "appstreamcli validate: $(cat "$scratch/metainfo.log")"
    appstreamcli validate-tree --no-net "$root" >"$scratch/tree.log" 2>&1 \
        || fail "appstreamcli validate-tree: $(cat "$scratch/tree.log")"
    launchable=$(sed -n 's/.*<launchable type="desktop-id">\(.*\)<\/launchable>.*/\1/p' "$metainfo")
    [ -f "$root/usr/share/applications/$launchable" ] \
        || fail "launchable '$launchable' is not installed"
    # Releases are listed newest first; the package must not claim a version the metainfo lacks.
    newest=$(sed -n 's/.*<release [^>]*version="\([^"]*\)".*/\1/p' "$metainfo" | sed -n 1p)
    [ "$newest" = "$version" ] || fail "newest release in metainfo is '$newest', not $version"
fi

# The package's version comes from the project; the changelog must have an entry for it.
changelog=$root/usr/share/doc/lumora/changelog.gz
if [ -f "$changelog" ]; then
    entry=$(gzip -dc "$changelog" | sed -n '1s/^lumora (\([^)]*\)).*/\1/p')
    [ "$entry" = "$version" ] || fail "newest changelog entry is '$entry', not $version"
fi

# lintian checks the rest of Debian's policy: the changelog, the manual page, permissions.
lintian --fail-on none "$deb" >"$scratch/lintian.log" 2>"$scratch/lintian.err" \
    || fail "lintian could not run: $(cat "$scratch/lintian.err")"
grep '^W: ' "$scratch/lintian.log" >&2 || true
grep -q '^E: ' "$scratch/lintian.log" && fail "lintian: $(grep '^E: ' "$scratch/lintian.log")"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed for $(basename "$deb")" >&2
    exit 1
fi
echo "$(basename "$deb"): contents, Depends, desktop entry, icons, metainfo, changelog as expected;" \
    "no lintian errors"
