#!/usr/bin/env bash
# Builds the Debian packages from the build folder and checks them as a packager and a user would:
# each package's files, lintian, the dependencies dpkg-shlibdeps gave each package (the logger's
# may name no desktop library, also further down its dependency tree), the desktop entry and
# AppStream file, and the unpacked programs started from another folder. Nothing is installed on
# the machine: the packages are only unpacked.
#   check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
one() { # the one package file matching a pattern
    local found=("$work"/out/$1)
    [ "${#found[@]}" = 1 ] && [ -f "${found[0]}" ] || fail "expected one package $1, found: ${found[*]}"
    echo "${found[0]}"
}
window=$(one 'vorlatt_*_*.deb')
logger=$(one 'vorlatt-log_*_*.deb')
common=$(one 'vorlatt-common_*_all.deb')
[ "$(ls "$work"/out/*.deb | wc -l)" = 3 ] || fail "cpack made other packages: $(ls "$work"/out/*.deb)"
version=$(dpkg-deb -f "$window" Version)
for deb in "$window" "$logger" "$common"; do
    echo "package: $(basename "$deb")"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$(basename "$deb") has another version"
done

# ---- files: each package holds exactly its own
# The regular files and symbolic links of a package, one path a line, sorted.
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort; }
check_files() {
    local deb=$1
    shift
    printf '%s\n' "$@" | sort >"$work/expected"
    files "$deb" >"$work/contents"
    diff -u "$work/expected" "$work/contents" >"$work/files.diff" ||
        { cat "$work/files.diff"; fail "$(basename "$deb") does not hold exactly its files"; }
    echo "files of $(basename "$deb"): all $# there, no others"
}
docs() { echo "/usr/share/doc/$1/copyright" "/usr/share/doc/$1/changelog.gz"; }
expected=(
    /usr/bin/vorlatt /usr/bin/vorlatt-sim /usr/bin/vorlatt-dbdump
    /usr/share/vorlatt/Tarvodb.DB
    /usr/share/applications/vorlatt.desktop
    /usr/share/metainfo/org.vorlatt.Vorlatt.metainfo.xml
    /usr/share/doc/vorlatt/README.md $(docs vorlatt)
    /usr/share/doc/vorlatt/user-guide.md /usr/share/doc/vorlatt/mqtt.md
    /usr/share/doc/vorlatt/reading.schema.json
    /usr/share/man/man1/vorlatt.1.gz /usr/share/man/man1/vorlatt-sim.1.gz
    /usr/share/man/man1/vorlatt-dbdump.1.gz
)
for size in 16 22 24 32 48 64 128 256; do
    expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/vorlatt.png")
done
for picture in "$(dirname "$0")"/../../docs/pictures/*.png; do
    expected+=("/usr/share/doc/vorlatt/pictures/$(basename "$picture")")
done
check_files "$window" "${expected[@]}"
check_files "$logger" /usr/bin/vorlatt-log /usr/share/man/man1/vorlatt-log.1.gz $(docs vorlatt-log) \
    /usr/share/doc/vorlatt-log/mqtt.md /usr/share/doc/vorlatt-log/reading.schema.json
check_files "$common" /usr/lib/udev/rules.d/70-vorlatt-usb-cable.rules $(docs vorlatt-common)

# ---- dependencies
# The package names a Depends field lists (alternatives included), one a line.
depends() { dpkg-deb -f "$1" Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g; /^$/d' | sort -u; }
has_dep() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//' | grep -qxF "$2" ||
    fail "$(basename "$1") does not depend on '$2': $(dpkg-deb -f "$1" Depends)"; }
has_dep "$window" "vorlatt-common (= $version)"
has_dep "$logger" "vorlatt-common (= $version)"
depends "$window" | grep -qx 'fonts-liberation2' || fail "no font dependency"
depends "$window" | grep -qx 'libqt6widgets6' || fail "no library dependencies of the window"
depends "$logger" | grep -qx 'libqt6core6' || fail "no library dependencies of the logger"
[ -z "$(dpkg-deb -f "$common" Depends)" ] || fail "vorlatt-common depends on something"
[ "$(dpkg-deb -f "$common" Architecture)" = all ] || fail "vorlatt-common is not architecture all"

# A desktop library: Qt's GUI modules, X11 and xcb, GL/EGL, Wayland, fonts and what draws them,
# printing. The GL names are spelt out, since libglib2.0 (under Qt Core) is no graphics library.
desktop='^(libqt6(gui|widgets|printsupport|opengl|openglwidgets|charts|xcbqpa|waylandclient)[0-9a-z.-]*|qt6-(qpa|gtk|wayland|xdgdesktopportal)-.*|libx11-.*|libxcb.*|libxext.*|libxkbcommon.*|libxrender.*|libxi[0-9].*|libsm[0-9].*|libice[0-9].*|libgl1.*|libglx.*|libglvnd.*|libgles.*|libegl.*|libopengl.*|libwayland.*|libdrm.*|libgbm.*|libfontconfig.*|libfreetype.*|libharfbuzz.*|fonts-.*|libcups.*|libgtk.*|libpng.*|libjpeg.*)$'
depends "$logger" >"$work/logger-depends"
echo "vorlatt-log depends on: $(paste -sd ' ' "$work/logger-depends")"
if grep -Ex "$desktop" "$work/logger-depends"; then fail "vorlatt-log depends on a desktop library"; fi
# Down the tree, as apt would install it on a machine without a desktop (where apt knows the
# packages; vorlatt-common is ours and depends on nothing).
if apt-cache show libqt6core6 >/dev/null 2>&1; then
    grep -vx 'vorlatt-common' "$work/logger-depends" |
        xargs apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
            --no-replaces --no-enhances 2>/dev/null |
        grep -v '^ ' | grep -v '^<' | sort -u >"$work/logger-tree"
    echo "vorlatt-log installs with it: $(paste -sd ' ' "$work/logger-tree")"
    if grep -Ex "$desktop" "$work/logger-tree"; then fail "vorlatt-log pulls a desktop library in"; fi
    echo "vorlatt-log: no desktop library among its $(wc -l <"$work/logger-tree") packages"
else
    echo "vorlatt-log: apt knows no package lists here; only its own dependencies were checked"
fi
# And the desktop package does need them, so the pattern is no blind one.
depends "$window" | grep -Eqx "$desktop" || fail "the desktop pattern matches nothing of vorlatt"

# ---- lintian
for deb in "$window" "$logger" "$common"; do
    lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
    cat "$work/lintian.log"
    if grep -q '^E: ' "$work/lintian.log"; then fail "lintian reports errors in $(basename "$deb")"; fi
    echo "lintian $(basename "$deb"): $(grep -c '^E: ' "$work/lintian.log") errors," \
        "$(grep -c '^W: ' "$work/lintian.log") warnings"
done

# ---- the unpacked packages, each on its own
root="$work/root"
logroot="$work/logroot"
dpkg-deb -x "$window" "$root"
dpkg-deb -x "$logger" "$logroot"
desktop-file-validate "$root/usr/share/applications/vorlatt.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.vorlatt.Vorlatt.metainfo.xml" || fail "metainfo"

# The logger as built into its package loads no desktop library either.
if ldd "$logroot/usr/bin/vorlatt-log" | awk '{print $1}' | sed 's|.*/||' |
    grep -iE '^lib(qt6(gui|widgets|printsupport|opengl)|x11|xcb|gl(x|_|\.|es|vnd|dispatch)|egl|opengl|wayland|fontconfig|freetype)'; then
    fail "vorlatt-log loads a desktop library"
fi

# The unpacked programs, started from an unrelated folder.
elsewhere="$work/elsewhere"
mkdir -p "$elsewhere"
cd "$elsewhere"
said=$(env -u DISPLAY "$root/usr/bin/vorlatt" --version) || fail "vorlatt --version"
[ "$said" = "vorlatt $version" ] || fail "version says '$said'"
status=0
env -u DISPLAY "$root/usr/bin/vorlatt" --no-such-option >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "a wrong option ends with status $status, not 2"
for tool in vorlatt-sim vorlatt-dbdump; do
    "$root/usr/bin/$tool" --version | grep -q "^$tool " || fail "$tool --version"
done
env -u DISPLAY -u WAYLAND_DISPLAY "$logroot/usr/bin/vorlatt-log" --version | grep -q "^vorlatt-log " ||
    fail "vorlatt-log --version"
"$root/usr/bin/vorlatt-dbdump" --schema "$root/usr/share/vorlatt/Tarvodb.DB" | grep -q '^Not' ||
    fail "the shipped table does not read"

# Started for real for a moment: it must find its log table in its data folder. A table it
# cannot open is reported on standard error (the window shows it in a box too).
run_briefly() {
    status=0
    # Its copy of the log table stays behind after the kill: in the check's folder, not the user's.
    XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR= QT_QPA_PLATFORM=offscreen timeout 4 \
        "$root/usr/bin/vorlatt" >"$work/run.log" 2>&1 || status=$?
    [ "$status" = 124 ] || { cat "$work/run.log"; fail "vorlatt ended early with status $status"; }
}
run_briefly
if grep -qi 'Tarvodb' "$work/run.log"; then cat "$work/run.log"; fail "the log table was not found"; fi
# ...and the check does see a missing table.
mv "$root/usr/share/vorlatt/Tarvodb.DB" "$work/"
run_briefly
grep -qi 'Tarvodb' "$work/run.log" || fail "a missing log table went unnoticed"
echo "unpacked programs: run from another folder; the window finds its log table"
echo "package check passed"
