# Installing what the build needs on a Debian 12 (bookworm) or Debian 13 (trixie) machine,
# from the machine's own package sources: the sources added here (deb-src for the
# release's main; on Debian 12, bookworm-backports) take their URI from the machine's own
# source of that release, never a host written here.

# The releases the set-up knows, and the machine's own (VERSION_CODENAME in
# /etc/os-release). Any other release is refused before anything on the machine changes.
SUPPORTED_SUITES=(bookworm trixie)
debian_suite() {
    local codename=
    [ -r /etc/os-release ] && codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    echo "$codename"
}
SUITE=$(debian_suite)
require_supported_suite() {
    local s
    for s in "${SUPPORTED_SUITES[@]}"; do [ "$SUITE" = "$s" ] && return 0; done
    fail "the set-up runs on Debian 12 (bookworm) or Debian 13 (trixie); this machine is $(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-}" || echo unknown)${SUITE:+ ($SUITE)}"
}

# The native build and its tools; the Windows builds and Wine (amd64 and, for 32-bit
# Wine, i386), the X tools that find and answer the Windows updater's boxes (xdotool, and
# xprop from x11-utils), the terminal the end-to-end tests watch the updater in (tmux) and
# the caching proxy they put between it and the server (squid); the fuzz targets (clang
# with libFuzzer and the sanitizer runtimes, TinyXML from Debian's sources, hence
# dpkg-dev and a deb-src entry) and clang-format. git lists the files the style and
# include checks cover.
NATIVE_PACKAGES=(
    cmake make g++ pkg-config git
    libtinyxml-dev libcurl4-openssl-dev libsodium-dev googletest openssl ca-certificates
    nginx-light util-linux python3
)
WINDOWS_PACKAGES=(
    dpkg-dev locales
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 wine32:i386
    xvfb xdotool x11-utils imagemagick fonts-wqy-microhei file
    tmux squid
)
# clang's sanitizer and libFuzzer runtimes are packaged per clang version.
case $SUITE in
    trixie) CLANG_RT=libclang-rt-19-dev ;;
    *) CLANG_RT=libclang-rt-14-dev ;;
esac
FUZZ_PACKAGES=(clang "$CLANG_RT" dpkg-dev clang-format)

SETUP_LOG=$ROOT/build/logs/setup.log
DEB_SRC_LIST=/etc/apt/sources.list.d/updater-deb-src.sources
BACKPORTS_LIST=/etc/apt/sources.list.d/updater-backports.sources
BACKPORTS_PIN=/etc/apt/preferences.d/updater-backports

# The URI of the machine's own source of its release's main, as apt reads its
# configuration (one-line or deb822 files alike). Prints nothing when there is none.
debian_mirror() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' \
        2>/dev/null | awk -v suite="$SUITE" '$2 == suite && $3 == "main" { print $1; exit }' || true
}

# add_source FILE TYPES SUITE: a deb822 source on the machine's own mirror. True when it
# was written (the package lists then need an update).
add_source() {
    local file=$1 types=$2 suite=$3 uri
    [ -f "$file" ] && return 1
    uri=$(debian_mirror)
    if [ -z "$uri" ]; then
        fail "no source for $SUITE main in /etc/apt/sources.list or /etc/apt/sources.list.d/"
    fi
    as_root tee "$file" >/dev/null <<SRC
Types: $types
URIs: $uri
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    log "added $file ($types $uri $suite)"
}

# Debian's tinyxml and libsodium sources for the Windows and sanitizer builds ("apt-get
# source"). On Debian 13 the entry also names bookworm: a mirror may lack a trixie source
# package's files (tinyxml 2.6.2-7's, seen here), and the build then takes Debian 12's
# (cmake/dependencies.cmake). True when the entry was added.
have_deb_src() {
    grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/
}
ensure_deb_src() {
    have_deb_src && return 1
    local suites=$SUITE
    [ "$SUITE" = bookworm ] || suites="$SUITE bookworm"
    add_source "$DEB_SRC_LIST" deb-src "$suites"
}

# Debian 12's bookworm-backports, pinned low so that nothing is ever taken from it unasked
# (only qemu-user is downloaded from it). True when the entry was added.
ensure_emulator_source() {
    [ "$SUITE" = bookworm ] || return 1
    local added=1
    add_source "$BACKPORTS_LIST" deb bookworm-backports && added=0
    if [ ! -f "$BACKPORTS_PIN" ]; then
        as_root tee "$BACKPORTS_PIN" >/dev/null <<'PIN'
Package: *
Pin: release n=bookworm-backports
Pin-Priority: 100
PIN
    fi
    return $added
}

missing_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null || echo "$p"
    done
}

# apt_step WHAT COMMAND...: runs an apt command with its output in the set-up log; when
# it fails, one line says what failed and what apt said.
apt_step() {
    local what=$1 rc=0
    shift
    mkdir -p "$(dirname "$SETUP_LOG")"
    printf '\n### %s: %s\n' "$what" "$*" >>"$SETUP_LOG"
    DEBIAN_FRONTEND=noninteractive as_root "$@" >>"$SETUP_LOG" 2>&1 </dev/null || rc=$?
    if [ "$rc" != 0 ]; then
        log "$what failed (status $rc): $(grep -E '^(E|dpkg): |^npm ERR! (code|request) ' "$SETUP_LOG" | tail -n 1) (all of it in $SETUP_LOG)"
    fi
    return "$rc"
}

# apt_install [apt-get options] -- PACKAGES...: installs the packages and checks that every
# one of them is installed. The maintainer scripts and triggers of some i386 packages are
# 32-bit programs (gdk-pixbuf-query-loaders, gio-querymodules); on a kernel that runs no
# 32-bit code they fail with "Exec format error", and apt with them. Their set-up is then
# finished where 32-bit programs start (scripts/with-i386), and apt goes on.
apt_install() {
    local opts=() round need
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    for round in 1 2 3; do
        need=$(missing_packages "$@")
        [ -z "$need" ] && return 0
        # shellcheck disable=SC2086
        apt_step "apt-get install" apt-get install -y -q "${opts[@]}" $need && continue
        runs_i386 && break
        ensure_i386_emulator || break
        log "finishing the packages' set-up where 32-bit programs run (dpkg --configure -a)"
        apt_step "dpkg --configure -a (32-bit)" run_with_i386 dpkg --configure -a || true
    done
    need=$(missing_packages "$@")
    [ -z "$need" ] || fail "not installed: $(echo $need) (see $SETUP_LOG)"
}

# ensure_packages [--native|--fuzz]: the native build only, the fuzz targets (with the
# native build), or (default) everything.
ensure_packages() {
    local set=${1:-} update=0 opts=(--no-install-recommends) need
    local packages=("${NATIVE_PACKAGES[@]}")
    case $set in
        --native) ;;
        --fuzz) packages+=("${FUZZ_PACKAGES[@]}") ;;
        *)
            packages+=("${WINDOWS_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}")
            # With the recommended packages: Wine's X11 driver wants the X extension
            # libraries and its own fonts (fonts-wine) for dialogs and message boxes.
            opts=()
            ;;
    esac
    need=$(missing_packages "${packages[@]}")
    [ -z "$need" ] || require_supported_suite
    if [ -z "$set" ] && ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
        require_supported_suite
        as_root dpkg --add-architecture i386
        update=1
    fi
    if [ "$set" != --native ] && ! have_deb_src; then
        require_supported_suite
        ensure_deb_src && update=1
    fi
    # The emulator's source first, so that one update reads every list.
    if [ -n "$need" ] && [ -z "$set" ] && ! runs_i386 && ! have_i386_emulator; then
        ensure_emulator_source && update=1
    fi
    if [ -n "$need" ] || [ "$update" = 1 ]; then
        log "installing: $(echo $need)"
        apt_step "apt-get update" apt-get update -q || fail "the package lists could not be read"
        apt_install "${opts[@]}" -- "${packages[@]}"
    fi
    if [ -z "$set" ]; then
        # Wine shows GBK text only under a Chinese locale (ANSI code page 936).
        if ! locale -a 2>/dev/null | grep -i '^zh_CN\.utf-\?8$' >/dev/null; then
            as_root sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
            as_root locale-gen >/dev/null
        fi
    fi
}

# The object store the end-to-end tests serve a release from: npm's S3 emulator s3rver,
# at a fixed version, in build/s3rver (npm and Node.js from Debian where the machine has
# no npm; npm's registry as the machine's npm configuration names it).
S3RVER_VERSION=3.7.1
S3RVER=$ROOT/build/s3rver/node_modules/.bin/s3rver
ensure_s3rver() {
    [ -x "$S3RVER" ] && return 0
    command -v npm >/dev/null || apt_install --no-install-recommends -- nodejs npm
    log "installing s3rver $S3RVER_VERSION (npm)"
    mkdir -p "$ROOT/build/s3rver"
    apt_step "npm install s3rver" npm install --prefix "$ROOT/build/s3rver" --no-audit --no-fund \
        --loglevel=error "s3rver@$S3RVER_VERSION" || fail "s3rver could not be installed (see $SETUP_LOG)"
}
