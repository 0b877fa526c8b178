# Shared by the scripts: the root of the checkout, logging, and the helpers in lib/ (one
# file per concern: apt, the 32-bit emulator, Wine, the builds, fuzzing, the source
# checks).

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# Each line with the seconds since the script started.
log() { printf '== [%4ss] %s\n' "$SECONDS" "$*" >&2; }
fail() {
    log "$*"
    exit 1
}

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# A command that ends a script under "set -e" says so in one line, with its status
# (functions and command substitutions inherit the trap; the line is written once, by
# the script's own shell).
set -E
trap 'rc=$?; [ "$BASH_SUBSHELL" = 0 ] && log "stopped: \"$BASH_COMMAND\" failed (status $rc)"' ERR

for _lib in apt i386 wine build fuzz lint; do
    . "$ROOT/scripts/lib/$_lib.sh"
done
unset _lib
