# Shared by ./run and ./test: install what is missing, then configure and build.
# Sourced, not executed.

VORLATT_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
    qt6-charts-dev qt6-serialport-dev libqt6opengl6-dev
    libudev-dev
    # vorlatt-log --mqtt publishes through it.
    libmosquitto-dev
    # --http serves the live page through cpp-httplib; the page draws its chart with dygraphs.
    libcpp-httplib-dev libjs-dygraphs
    # Arial's metrics for the design's captions, and a font with the full-width question mark
    # that ends the exit question.
    fonts-liberation2 fonts-wqy-microhei
)
# Only the test suite needs these: an independent Paradox reader, a PDF-to-text reader for the
# printed report, the fuzzing toolchain, the emulator and static shell for the HID tests against
# a real kernel (whose kernel and udevd packages it downloads into the build folder itself), the
# Debian package checkers, Python for reading the logger's CSV back, and a broker with
# its clients for the logger's MQTT tests; a browser, a Prometheus server and its checker for the
# live page and its metrics, jinja2 to render Home Assistant's templates as it does, a JSON
# Schema validator independent of ours, and a spreadsheet's converter to read the CSV back as a
# spreadsheet reads it.
VORLATT_TEST_PACKAGES=(pxlib-dev poppler-utils clang libclang-rt-14-dev qemu-system-x86
    busybox-static lintian desktop-file-utils appstream python3 mosquitto mosquitto-clients
    chromium python3-websocket prometheus python3-jinja2 python3-jsonschema
    gnumeric)

vorlatt_install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# vorlatt_build DIR [TARGET...]: configures DIR (once, quietly) and builds the targets named, or
# everything. Ninja's own progress line shows how far the build is. ccache, where it is installed,
# speeds up rebuilds in a fresh folder; it is never required.
vorlatt_build() {
    local dir=${1:-build}
    shift || true
    local launcher=(-DCMAKE_C_COMPILER_LAUNCHER= -DCMAKE_CXX_COMPILER_LAUNCHER=)
    command -v ccache >/dev/null 2>&1 \
        && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    [ -f "$dir/build.ninja" ] || echo "Configuring the build folder $dir/ ..."
    mkdir -p "$dir"
    if ! cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
            >"$dir/configure.log" 2>&1; then
        cat "$dir/configure.log" >&2
        echo "Configuring $dir/ failed (the messages above are also in $dir/configure.log)." >&2
        return 1
    fi
    if [ $# -gt 0 ]; then
        cmake --build "$dir" --target "$@"
    else
        cmake --build "$dir"
    fi
}
