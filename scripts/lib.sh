# Shared by the scripts: installing what the build needs on a Debian 12 machine, and
# finding out how Windows programs can be run here.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# Each line with the seconds since the script started.
log() { printf '== [%4ss] %s\n' "$SECONDS" "$*" >&2; }

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian packages: the native build and its tools, then the Windows builds and Wine
# (amd64 and, for 32-bit Wine, i386).
NATIVE_PACKAGES=(
    cmake make g++ pkg-config
    libtinyxml-dev libcurl4-openssl-dev libsodium-dev googletest openssl ca-certificates
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
# clang-format checks the style of every C++ file.
FUZZ_PACKAGES=(clang libclang-rt-14-dev dpkg-dev clang-format)

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

# The Windows tests run the 32-bit product (preset "windows") under 32-bit Wine.
windows_test_preset() { echo windows; }
wine_loader() { echo /usr/lib/wine/wine; }

# ---- 32-bit programs on a kernel that runs none -------------------------------------
#
# Some kernels are built without IA-32 emulation: execve of an i386 ELF gives ENOEXEC,
# and 32-bit Wine cannot start. There the i386 programs run through qemu-i386 (user
# mode), registered as their interpreter in a binfmt_misc instance of our own: a user
# and mount namespace that maps uids and gids 0-65535 one to one (so nginx can still
# drop to "nobody"), with binfmt_misc mounted afresh inside it. The machine's own
# binfmt_misc is never touched. scripts/with-i386 runs a command that way.
#
# qemu-i386 is the static build from Debian's qemu-user in bookworm-backports (10.x);
# bookworm's own 7.2 makes every Wine process spend a minute or more probing memory.
# Only that one package is downloaded (apt-get download) and qemu-i386 unpacked from it
# into the build folder: nothing from backports is installed, and the package's binfmt
# registrations never run.

QEMU_I386="$ROOT/build/qemu/qemu-i386"
BACKPORTS_LIST=/etc/apt/sources.list.d/updater-backports.sources
BACKPORTS_PIN=/etc/apt/preferences.d/updater-backports

# Whether this kernel (or the binfmt_misc in force here) starts 32-bit x86 programs.
runs_i386() { /usr/lib/wine/wine --version >/dev/null 2>&1; }

# The major version of a qemu-i386 binary, or nothing.
qemu_major() {
    [ -x "$1" ] || return 0  # none yet (under "set -e -o pipefail" a missing one must not stop us)
    "$1" --version 2>/dev/null | sed -nE '1s/.*version ([0-9]+)\..*/\1/p' || true
}

# The version of qemu-user that bookworm-backports offers, as apt sees it now.
backports_qemu() { apt-cache policy -t bookworm-backports qemu-user 2>/dev/null | sed -n 's/^ *Candidate: //p'; }

ensure_i386_emulator() {
    runs_i386 && return 0
    local major
    major=$(qemu_major "$QEMU_I386")
    [ -n "$major" ] && [ "$major" -ge 8 ] && return 0
    local version
    version=$(backports_qemu)
    if [[ "$version" != *bpo* ]]; then
        # bookworm-backports, pinned low so that nothing is ever taken from it unasked.
        if [ ! -f "$BACKPORTS_LIST" ]; then
            as_root tee "$BACKPORTS_LIST" >/dev/null <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
        fi
        if [ ! -f "$BACKPORTS_PIN" ]; then
            as_root tee "$BACKPORTS_PIN" >/dev/null <<'PIN'
Package: *
Pin: release n=bookworm-backports
Pin-Priority: 100
PIN
        fi
        as_root apt-get update -q >/dev/null
        version=$(backports_qemu)
    fi
    if [[ "$version" != *bpo* ]]; then
        log "no qemu-user in bookworm-backports (candidate: ${version:-none})"
        return 1
    fi
    log "fetching qemu-i386 from qemu-user $version (bookworm-backports)"
    local dir
    dir=$(mktemp -d)
    chmod 755 "$dir"  # apt's download user writes here
    (cd "$dir" && apt-get download -q "qemu-user=$version" >/dev/null 2>&1) || {
        rm -rf "$dir"
        log "apt-get download qemu-user=$version failed"
        return 1
    }
    dpkg-deb --fsys-tarfile "$dir"/qemu-user_*.deb | tar -x -C "$dir" ./usr/bin/qemu-i386
    mkdir -p "$(dirname "$QEMU_I386")"
    install -m 755 "$dir/usr/bin/qemu-i386" "$QEMU_I386"
    rm -rf "$dir"
    major=$(qemu_major "$QEMU_I386")
    if [ -z "$major" ] || [ "$major" -lt 8 ]; then
        log "$QEMU_I386 is not a usable qemu-i386 (version ${major:-unknown})"
        return 1
    fi
}

# run_with_i386 COMMAND...: runs the command where 32-bit programs start; the exit
# status is the command's.
run_with_i386() {
    if runs_i386; then
        "$@"
        return
    fi
    ensure_i386_emulator || return 1
    # unshare(1) in util-linux 2.38 maps more than one id only through newuidmap; as
    # root we write the maps ourselves once the child has entered its namespace.
    local fifo pid ours i rc=0
    fifo=$(mktemp -u /tmp/updater-i386.XXXXXX)
    mkfifo "$fifo"
    # The i386 ELF header (executables and shared objects), as Debian's binfmt.d has it.
    local magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    # The first shell starts before its ids are mapped, and so without capabilities; it
    # waits for the maps, then starts the second, which has them as root of its own
    # namespace. F: qemu is opened at registration.
    local setup='
        fail() { echo "with-i386: $1" >&2; exit 125; }
        mount -t binfmt_misc none /proc/sys/fs/binfmt_misc ||
            fail "cannot mount a binfmt_misc of our own (Linux 6.7 or later is needed)"
        printf "%s" ":updater-i386:M::$1:$2:$3:F" >/proc/sys/fs/binfmt_misc/register ||
            fail "cannot register qemu-i386"
        shift 3
        exec "$@"'
    unshare --user --mount --propagation private -- bash -c '
        read -r _ <"$1" || exit 125
        shift
        exec bash -c "$0" i386 "$@"' "$setup" "$fifo" "$magic" "$mask" "$QEMU_I386" "$@" <&0 &
    pid=$!
    ours=$(readlink /proc/self/ns/user)
    for i in $(seq 1 200); do
        [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" != "$ours" ] && break
        sleep 0.01
    done
    if echo '0 0 65536' >"/proc/$pid/uid_map" && echo '0 0 65536' >"/proc/$pid/gid_map"; then
        echo go >"$fifo"
    else
        log "could not map the ids of the private namespace"
        kill "$pid" 2>/dev/null
    fi
    wait "$pid" || rc=$?
    rm -f "$fifo"
    return "$rc"
}

# A Wine prefix of our own, made once per build folder.
wine_env() {
    local preset
    preset=$(windows_test_preset)
    export WINEPREFIX="$ROOT/build/wineprefix-$preset"
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=zh_CN.UTF-8
    export WINEARCH=win32
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating the Wine prefix $WINEPREFIX"
        run_with_i386 timeout 300 "$(wine_loader)" wineboot -i >/dev/null 2>&1 || true
        run_with_i386 timeout 60 wineserver -w || true
    fi
}

# configure_and_build PRESET [TARGET]
configure_and_build() {
    local preset=$1
    cmake --preset "$preset" >/dev/null
    cmake --build "$ROOT/build/$preset" -j"$JOBS" ${2:+--target "$2"} >/dev/null
}

# build_release_variants PRESET: the updater alone, from PRESET's settings, built with the
# public key of the test key pair (build/release-key, made once) in build/PRESET-signed
# and with UPDATER_SERVER_SCHEME=https in build/PRESET-https. Needs build/linux (the
# publishing tool) and PRESET built first: their fetched sources are reused.
RELEASE_KEYS=$ROOT/build/release-key
build_release_variants() {
    local preset=$1 v val extra=()
    [ -f "$RELEASE_KEYS/release.key" ] || "$ROOT/build/linux/HalcyraPublish" keygen "$RELEASE_KEYS" >/dev/null
    for v in TINYXML_SOURCE_DIR SODIUM_SOURCE_DIR; do
        val=$(sed -nE "s/^$v:PATH=(.+)$/\1/p" "$ROOT/build/$preset/CMakeCache.txt" 2>/dev/null)
        [ -z "$val" ] || extra+=("-D$v=$val")
    done
    cmake --preset "$preset" -B "$ROOT/build/$preset-signed" -DUPDATER_BUILD_TESTS=OFF \
        "-DUPDATER_RELEASE_PUBKEY=$(cat "$RELEASE_KEYS/release.pub")" "${extra[@]}" >/dev/null
    cmake --build "$ROOT/build/$preset-signed" -j"$JOBS" --target HalcyraUpdate >/dev/null
    cmake --preset "$preset" -B "$ROOT/build/$preset-https" -DUPDATER_BUILD_TESTS=OFF \
        -DUPDATER_SERVER_SCHEME=https "${extra[@]}" >/dev/null
    cmake --build "$ROOT/build/$preset-https" -j"$JOBS" --target HalcyraUpdate >/dev/null
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

# The C++ files the style check covers.
cpp_sources() {
    (cd "$ROOT" && git ls-files 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tests/*.cpp' 'tests/*.h' \
        'bench/*.cpp')
}

# The source folders from top to bottom: a file includes headers of its own folder and
# of folders below it only. Prints every include that runs upwards; false when any does.
SOURCE_LAYERS=(app session ui install net manifest log digest platform common)
check_include_order() {
    local bad=0 file from to rank_from rank_to i
    declare -A rank
    for i in "${!SOURCE_LAYERS[@]}"; do rank[${SOURCE_LAYERS[$i]}]=$i; done
    while IFS=: read -r file to; do
        from=${file#src/}
        from=${from%%/*}
        rank_from=${rank[$from]:-}
        rank_to=${rank[$to]:-}
        [ -n "$rank_from" ] && [ -n "$rank_to" ] || continue
        if [ "$rank_to" -lt "$rank_from" ]; then
            echo "$file includes $to/, a folder above its own"
            bad=1
        fi
    done < <(cd "$ROOT" && git ls-files 'src/*.cpp' 'src/*.h' |
        xargs grep -oE '^#include "[a-z_]+/' | sed -E 's/:#include "/:/; s|/$||')
    [ "$bad" = 0 ]
}
