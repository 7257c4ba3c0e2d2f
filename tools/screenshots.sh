#!/usr/bin/env bash
# Makes the pictures of the user guide (docs/pictures/*.png) from the running program: starts it
# on a virtual screen (Xvfb) with the meter simulator on COM1, drives it with xdotool (connect,
# wait for a given scene of the simulator, open a menu, set a limit, open the print preview) and
# cuts the parts of the window out with ImageMagick. The live page is taken with headless Chromium
# from vorlatt-log --http reading a second simulator. Run it again whenever the window changes:
#
#   cmake --build build --target vorlatt vorlatt-sim vorlatt-log tarvodb   # what it runs
#   tools/screenshots.sh [BUILD_DIR [OUTPUT_DIR]]               # default: build docs/pictures
#
# Needs the Debian packages xvfb, xdotool, imagemagick, chromium and python3-websocket. Nothing is
# shown on the desktop: the program runs on a screen of its own, with its own copy of the empty
# log table.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
out=${2:-docs/pictures}
program=$build/app/vorlatt
sim=$build/tools/vorlatt-sim
logger=$build/tools/vorlatt-log
table=$build/app/Tarvodb.DB

for tool in Xvfb xdotool import convert chromium; do
    command -v "$tool" >/dev/null || {
        echo "$tool is missing: apt-get install xvfb xdotool imagemagick chromium python3-websocket" >&2
        exit 1
    }
done
for file in "$program" "$sim" "$logger" "$table"; do
    [ -e "$file" ] || {
        echo "$file is missing: cmake --build $build --target vorlatt vorlatt-sim vorlatt-log tarvodb" >&2
        exit 1
    }
done
program=$(realpath "$program")
sim=$(realpath "$sim")
logger=$(realpath "$logger")
mkdir -p "$out"

work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A screen of our own: Xvfb picks a free display number and tells it on file descriptor 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
display=$(head -n1 "$work/display")
export DISPLAY=":$display"

# The simulator names each scene on standard error as it starts; the pictures are taken at a
# known point of a scene, so they show the same readings every time.
"$sim" --verbose >"$work/sim.out" 2>"$work/sim.log" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
pty=$(head -n1 "$work/sim.out")
[ -n "$pty" ] || { echo "the simulator did not start" >&2; exit 1; }

cp "$table" "$work/Tarvodb.DB"
(cd "$work" && HOME="$work" XDG_RUNTIME_DIR="$work" VORLATT_COM1="$pty" QT_QPA_PLATFORM=xcb \
    exec "$program" >"$work/program.log" 2>&1) &
pids+=($!)

window=$(xdotool search --sync --onlyvisible --name '^Vorlatt' | head -n1)
sleep 1
read -r wx wy ww wh < <(xdotool getwindowgeometry --shell "$window" |
    awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print x, y, w, h}')
menu=$((wh - 449)) # the client area is 620 x 449 below the menu bar

# click X Y: a left click at a point of the client area (below the menu bar).
click() { xdotool mousemove --window "$window" "$1" $(($2 + menu)) click 1; sleep 0.3; }
# menu X: open the menu whose title lies at X in the menu bar.
openMenu() { xdotool mousemove --window "$window" "$1" $((menu / 2)) click 1; sleep 0.6; }
closeMenu() { xdotool key Escape; sleep 0.3; }
shoot() { import -window root "$work/screen.png"; }
# cut NAME X Y W H: a part of the last shot, at window coordinates (menu bar included), saved
# small: no metadata, the strongest compression.
cut() {
    convert "$work/screen.png" -crop "$4x$5+$((wx + $2))+$((wy + $3))" +repage \
        -strip -define png:compression-level=9 "$out/$1.png"
    echo "$out/$1.png"
}
# waitScene NAME SECONDS: waits for the simulator's next start of the scene NAME, then SECONDS.
waitScene() {
    local seen
    seen=$(grep -c -F "$1" "$work/sim.log" || true)
    for _ in $(seq 900); do
        [ "$(grep -c -F "$1" "$work/sim.log" || true)" -gt "$seen" ] && break
        sleep 0.1
    done
    sleep "$2"
}

# The live page: vorlatt-log --http reads a simulator of its own from the start of its tour, and
# the page is opened now, so that its chart and MIN/MAX have gathered readings by the time the
# picture is taken (at the end, at a known point of a scene).
"$sim" --verbose >"$work/page-sim.out" 2>"$work/page-sim.log" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/page-sim.out" ] && break; sleep 0.1; done
pagePty=$(head -n1 "$work/page-sim.out")
[ -n "$pagePty" ] || { echo "the second simulator did not start" >&2; exit 1; }
pagePort=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$logger" --port "$pagePty" --mqtt-id bench1 --quiet --http "127.0.0.1:$pagePort" \
    2>"$work/page-logger.log" &
pids+=($!)
for _ in $(seq 100); do
    /usr/bin/python3 -c "import urllib.request as u; u.urlopen('http://127.0.0.1:$pagePort/api/status', timeout=2)" \
        2>/dev/null && break
    sleep 0.1
done
/usr/bin/python3 tests/web/chromium.py "http://127.0.0.1:$pagePort/" "$work/live-page.png" \
    --size 1000x700 --full-page --wait-file "$work/shoot-page" --timeout 600 >/dev/null &
pids+=($!)
pageShot=$!

# The port menu, before connecting (it is disabled while the link runs).
openMenu 30
shoot
cut menu-comsetup 0 0 130 108
closeMenu

# Connected, a few seconds into the simulator's "DC volts" scene.
click 115 16 # "COM Connect"
waitScene "DC volts, auto range" 2.2
shoot
cut window 0 0 "$ww" "$wh"
cut connect-bar 0 0 "$ww" $((menu + 33))
cut replica 0 $((menu + 29)) 290 228
cut dial 288 $((menu + 29)) 332 144
cut chart 286 $((menu + 169)) 331 250
cut log 0 $((menu + 255)) 290 164

# The Record menu: New, Save and the record limits.
openMenu 212
shoot
cut menu-record 186 0 126 198
closeMenu

# An upper limit of 1200 counts, enabled: the volts scene (about 1.234 V, 1234 counts) is
# beyond it, so the alarm shows and the dial marks the scale above the limit in red.
click 243 221             # the SetMax box
xdotool key End BackSpace BackSpace BackSpace BackSpace BackSpace BackSpace
xdotool type --delay 50 1200
click 149 222             # the SetMax check box
waitScene "DC volts, auto range" 2.2
shoot
cut limits 0 $((menu + 29)) "$ww" 228

# The print preview of the log: its toolbar and the head of the first page, at full size.
click 277 268             # BtPrint
preview=$(xdotool search --sync --onlyvisible --name '^Print Preview$' | head -n1)
sleep 1
xdotool mousemove --window "$preview" 70 10 click 1 # "100 %"
sleep 1
shoot
read -r px py pw ph < <(xdotool getwindowgeometry --shell "$preview" |
    awk -F= '/^X=/{x=$2} /^Y=/{y=$2} /^WIDTH=/{w=$2} /^HEIGHT=/{h=$2} END{print x, y, w, h}')
convert "$work/screen.png" -crop "${pw}x$((ph < 330 ? ph : 330))+${px}+${py}" +repage -resize '640x>' \
    -strip -define png:compression-level=9 "$out/print-preview.png"
echo "$out/print-preview.png"

# The live page, a few seconds into the second simulator's "DC volts" scene.
seen=$(grep -c -F "DC volts, auto range" "$work/page-sim.log" || true)
for _ in $(seq 900); do
    [ "$(grep -c -F "DC volts, auto range" "$work/page-sim.log" || true)" -gt "$seen" ] && break
    sleep 0.1
done
sleep 2.2
touch "$work/shoot-page"
wait "$pageShot"
convert "$work/live-page.png" -strip -colors 256 -define png:compression-level=9 "$out/live-page.png"
echo "$out/live-page.png"
