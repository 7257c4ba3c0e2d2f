#!/usr/bin/env bash
# Builds the Debian package from the build folder and checks it as a packager and a user would:
# its contents, lintian, the desktop entry and AppStream file, and the unpacked program started
# from another folder. Nothing is installed on the machine: the package is only unpacked.
#   check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/vorlatt_*_*.deb)
echo "package: $(basename "$deb")"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
expected=(
    /usr/bin/vorlatt /usr/bin/vorlatt-sim /usr/bin/vorlatt-dbdump /usr/bin/vorlatt-log
    /usr/share/vorlatt/Tarvodb.DB
    /usr/share/applications/vorlatt.desktop
    /usr/share/metainfo/org.vorlatt.Vorlatt.metainfo.xml
    /usr/share/doc/vorlatt/README.md /usr/share/doc/vorlatt/copyright /usr/share/doc/vorlatt/changelog.gz
    /usr/share/man/man1/vorlatt.1.gz /usr/share/man/man1/vorlatt-sim.1.gz /usr/share/man/man1/vorlatt-dbdump.1.gz
    /usr/share/man/man1/vorlatt-log.1.gz
)
for size in 16 22 24 32 48 64 128 256; do
    expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/vorlatt.png")
done
[ -f "$(dirname "$0")/../../tools/udev/70-vorlatt-usb-cable.rules" ] &&
    expected+=(/lib/udev/rules.d/70-vorlatt-usb-cable.rules /usr/lib/udev/rules.d/70-vorlatt-usb-cable.rules)
for f in "${expected[@]}"; do
    case "$f" in
    */lib/udev/*) grep -qx "$f" "$work/contents" || grep -qx "${f#/usr}" "$work/contents" ||
                  grep -qx "/usr$f" "$work/contents" || fail "missing $f" ;;
    *) grep -qx "$f" "$work/contents" || fail "missing $f" ;;
    esac
done
echo "contents: all ${#expected[@]} files there"

dpkg-deb -f "$deb" Depends | grep -q 'fonts-liberation2' || fail "no font dependency"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "no library dependencies"

lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
cat "$work/lintian.log"
if grep -q '^E: ' "$work/lintian.log"; then fail "lintian reports errors"; fi
echo "lintian: $(grep -c '^E: ' "$work/lintian.log") errors, $(grep -c '^W: ' "$work/lintian.log") warnings"

root="$work/root"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/vorlatt.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.vorlatt.Vorlatt.metainfo.xml" || fail "metainfo"

# The unpacked program, started from an unrelated folder.
elsewhere="$work/elsewhere"
mkdir -p "$elsewhere"
cd "$elsewhere"
version=$(env -u DISPLAY "$root/usr/bin/vorlatt" --version) || fail "vorlatt --version"
[ "$version" = "vorlatt $(dpkg-deb -f "$deb" Version)" ] || fail "version says '$version'"
status=0
env -u DISPLAY "$root/usr/bin/vorlatt" --no-such-option >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "a wrong option ends with status $status, not 2"
for tool in vorlatt-sim vorlatt-dbdump vorlatt-log; do
    "$root/usr/bin/$tool" --version | grep -q "^$tool " || fail "$tool --version"
done
"$root/usr/bin/vorlatt-dbdump" --schema "$root/usr/share/vorlatt/Tarvodb.DB" | grep -q '^Not' ||
    fail "the shipped table does not read"

# Started for real for a moment: it must find its log table in its data folder. A table it
# cannot open is reported on standard error (the window shows it in a box too).
run_briefly() {
    status=0
    QT_QPA_PLATFORM=offscreen timeout 4 "$root/usr/bin/vorlatt" >"$work/run.log" 2>&1 || status=$?
    [ "$status" = 124 ] || { cat "$work/run.log"; fail "vorlatt ended early with status $status"; }
}
run_briefly
if grep -qi 'Tarvodb' "$work/run.log"; then cat "$work/run.log"; fail "the log table was not found"; fi
# ...and the check does see a missing table.
mv "$root/usr/share/vorlatt/Tarvodb.DB" "$work/"
run_briefly
grep -qi 'Tarvodb' "$work/run.log" || fail "a missing log table went unnoticed"
echo "unpacked program: runs from another folder and finds its log table"
echo "package check passed"
