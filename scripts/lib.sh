# Shared by the scripts: installing what the build needs on a Debian 12 machine, and
# finding out how Windows programs can be run here.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

log() { printf '== %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian packages: the native build and its tools, then the Windows builds and Wine
# (amd64 and, for 32-bit Wine, i386).
NATIVE_PACKAGES=(
    cmake make g++ pkg-config
    libtinyxml-dev libcurl4-openssl-dev googletest
    nginx-light util-linux python3
)
WINDOWS_PACKAGES=(
    dpkg-dev locales
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 wine32:i386
    xvfb xdotool imagemagick fonts-wqy-microhei file
)

missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

# ensure_packages [--native]: the native build only, or (default) everything.
ensure_packages() {
    local native=0
    [ "${1:-}" = --native ] && native=1
    local need update=0
    if [ "$native" = 1 ]; then
        need=$(missing_packages "${NATIVE_PACKAGES[@]}")
        if [ -n "$need" ]; then
            log "installing: $(echo $need)"
            as_root apt-get update -q >/dev/null
            # shellcheck disable=SC2086
            DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends $need >/dev/null
        fi
        return 0
    fi
    need=$(missing_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}")
    local srclist=/etc/apt/sources.list.d/updater-deb-src.sources
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
        update=1
    fi
    # Debian's tinyxml sources for the Windows build ("apt-get source tinyxml").
    if [ ! -f "$srclist" ] && ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        as_root tee "$srclist" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        update=1
    fi
    if [ -n "$need" ] || [ "$update" = 1 ]; then
        log "installing: $(echo $need)"
        as_root apt-get update -q >/dev/null
        # With the recommended packages: Wine's X11 driver wants the X extension libraries
        # and its own fonts (fonts-wine) for dialogs and message boxes.
        # shellcheck disable=SC2086
        [ -z "$need" ] || DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q $need >/dev/null
    fi
    # Wine shows GBK text only under a Chinese locale (ANSI code page 936).
    if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
        as_root sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
        as_root locale-gen >/dev/null
    fi
}

# The Windows build whose tests run here: the 32-bit product itself when this kernel runs
# 32-bit programs (32-bit Wine), otherwise a 64-bit build of the same sources under wine64.
windows_test_preset() {
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo windows; else echo windows64; fi
}

wine_loader() {
    if [ "$(windows_test_preset)" = windows ]; then echo /usr/lib/wine/wine; else echo /usr/lib/wine/wine64; fi
}

# A Wine prefix of our own, made once per build folder.
wine_env() {
    local preset
    preset=$(windows_test_preset)
    export WINEPREFIX="$ROOT/build/wineprefix-$preset"
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=zh_CN.UTF-8
    if [ "$preset" = windows ]; then export WINEARCH=win32; else export WINEARCH=win64; fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating the Wine prefix $WINEPREFIX"
        timeout 300 "$(wine_loader)" wineboot -i >/dev/null 2>&1 || true
        timeout 60 wineserver -w || true
    fi
}

configure_and_build() {
    local preset=$1
    cmake --preset "$preset" >/dev/null
    cmake --build "$ROOT/build/$preset" -j"$JOBS" >/dev/null
}
