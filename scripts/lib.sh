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
# The fuzz targets: clang with libFuzzer and the sanitizer runtimes; TinyXML from Debian's
# sources (apt-get source, hence dpkg-dev and a deb-src entry) so that ASan sees inside it.
FUZZ_PACKAGES=(clang libclang-rt-14-dev dpkg-dev)

# Debian's tinyxml sources for the Windows and sanitizer builds ("apt-get source
# tinyxml"). True when the entry was added (the package lists then need an update).
ensure_deb_src() {
    local srclist=/etc/apt/sources.list.d/updater-deb-src.sources
    if [ ! -f "$srclist" ] && ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        as_root tee "$srclist" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        return 0
    fi
    return 1
}

missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

# ensure_packages [--native|--fuzz]: the native build only, the fuzz targets (with the
# native build), or (default) everything.
ensure_packages() {
    local native=0 fuzz=0
    [ "${1:-}" = --native ] && native=1
    [ "${1:-}" = --fuzz ] && fuzz=1
    local need update=0
    if [ "$fuzz" = 1 ]; then
        need=$(missing_packages "${NATIVE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}")
        ensure_deb_src && update=1
        if [ -n "$need" ] || [ "$update" = 1 ]; then
            log "installing: $(echo $need)"
            as_root apt-get update -q >/dev/null
            # shellcheck disable=SC2086
            [ -z "$need" ] || DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q --no-install-recommends $need >/dev/null
        fi
        return 0
    fi
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
    need=$(missing_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}")
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
        update=1
    fi
    ensure_deb_src && update=1
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

# configure_and_build PRESET [TARGET]
configure_and_build() {
    local preset=$1
    cmake --preset "$preset" >/dev/null
    cmake --build "$ROOT/build/$preset" -j"$JOBS" ${2:+--target "$2"} >/dev/null
}

# ---- fuzz targets (tests/fuzz, preset "fuzz")

# Their names: tests/fuzz/fuzz_NAME.cpp.
fuzz_targets() {
    local f
    for f in "$ROOT"/tests/fuzz/fuzz_*.cpp; do
        f=${f##*/fuzz_}
        echo "${f%.cpp}"
    done
}

# run_fuzzer NAME SECONDS CORPUS LOG: runs fuzz_NAME for SECONDS over the folder CORPUS,
# which gains the inputs found; libFuzzer's output goes to LOG. An input that fails is
# kept as build/fuzz/artifacts/NAME-crash-... Returns libFuzzer's status (0: no fault).
run_fuzzer() {
    local name=$1 seconds=$2 corpus=$3 out=$4
    local artifacts="$ROOT/build/fuzz/artifacts"
    local args=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1
                -artifact_prefix="$artifacts/$name-")
    [ -f "$ROOT/tests/fuzz/$name.dict" ] && args+=(-dict="$ROOT/tests/fuzz/$name.dict")
    case $name in
        manifest) args+=(-max_len=65536) ;;  # room for more elements than the array holds
        log) args+=(-max_len=8192) ;;
    esac
    mkdir -p "$artifacts"
    # The time limit is libFuzzer's; the outer one only catches a hang of the run itself.
    timeout $((seconds + 300)) "$ROOT/build/fuzz/tests/fuzz/fuzz_$name" "${args[@]}" "$corpus" >"$out" 2>&1
}

# fuzz_report LOG: one line of a run's numbers: executions, coverage, corpus.
fuzz_report() {
    local out=$1 execs last
    execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$out" | tail -n 1)
    last=$(grep -E '^#[0-9]+.* cov: ' "$out" | tail -n 1)
    if [ -z "$execs" ]; then execs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last"); fi
    printf 'execs %s, cov %s, ft %s, corpus %s' "${execs:-?}" \
        "$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")" \
        "$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")" \
        "$(sed -nE 's/.* corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$last")"
}

# fuzz_failure LOG: what a failed run reported (to stderr).
fuzz_failure() {
    grep -E -A1 'check failed|ERROR: AddressSanitizer|runtime error' "$1" | head -n 12 >&2 || true
    grep -E 'SUMMARY: |Test unit written' "$1" >&2 || true
}
