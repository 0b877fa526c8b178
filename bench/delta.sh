#!/usr/bin/env bash
# Block deltas: a 1 GiB file changed three ways (1 % overwritten in one region, 1 % in
# 100 scattered edits, 1 MiB inserted in the middle), installed in its old version. For
# each change: the body bytes nginx sent (the block index, or zsync's control file,
# included) and the requests, for the Linux updater and for Debian's zsync (zsyncmake
# with its defaults, then zsync -i OLD), on loopback; then the wall time of both through
# bench/latency_proxy.py at 100 ms round trip and 100 Mbit/s, and the peak resident memory
# of the run on loopback. With --wine the 32-bit Windows exe does the same under Wine and
# Xvfb, on loopback (its peak is its own process's). Needs about 6 times the file's size
# of disk.
#   bench/delta.sh [--wine]   (CASES to pick some: "region scattered inserted", or
#                              "rewritten": every byte new, the most an updater holds; TOOLS:
#                              "ours zsync"; SIZE_MIB: the file's size, 1024; LATENCY=0:
#                              no runs through the proxy)
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
cd "$ROOT"
TOOLS=${TOOLS:-"ours zsync"}
[ "${1:-}" = --wine ] && TOOLS+=" wine"
configure_and_build linux
if [[ " $TOOLS " = *" wine "* ]]; then
    configure_and_build "$(windows_test_preset)"
    wine_env || exit 1
fi
. "$ROOT/tests/e2e/nginx.sh"
. "$ROOT/bench/measure.sh"
command -v zsync >/dev/null || as_root apt-get install -y zsync

PORT=$(build_port "$ROOT/build/linux")
NGINX_PORT=$((PORT + 1))
CASES=${CASES:-"region scattered inserted"}
SIZE=$((${SIZE_MIB:-1024} * 1024 * 1024))
B=$ROOT/build/bench/delta/$((SIZE / 1048576))
mkdir -p "$B"
chmod 755 "$ROOT/build" "$ROOT/build/bench" "$(dirname "$B")" "$B"
[ "$(stat -c %s "$B/old.bin" 2>/dev/null || echo 0)" = "$SIZE" ] ||
    head -c "$SIZE" /dev/urandom >"$B/old.bin"

# The new version of the file, by the change's name.
make_new() {  # change
    local new=$B/new/paks/world.pak i
    rm -rf "$B/new" && mkdir -p "$B/new/paks"
    case $1 in
        region)
            cp "$B/old.bin" "$new"
            head -c $((SIZE / 100)) /dev/urandom |
                dd of="$new" bs=1M seek=$((SIZE / 3)) oflag=seek_bytes conv=notrunc status=none
            ;;
        scattered)
            cp "$B/old.bin" "$new"
            for i in $(seq 0 99); do
                head -c $((SIZE / 10000)) /dev/urandom |
                    dd of="$new" bs=1M seek=$((i * (SIZE / 100) + 12345)) oflag=seek_bytes \
                        conv=notrunc status=none
            done
            ;;
        inserted)
            { head -c $((SIZE / 2)) "$B/old.bin" && head -c 1048576 /dev/urandom &&
                tail -c +$((SIZE / 2 + 1)) "$B/old.bin"; } >"$new"
            ;;
        rewritten) head -c "$SIZE" /dev/urandom >"$new" ;;
    esac
}

SERVER_PIDS=()
MAIN_PID=$BASHPID
stop_servers() {
    local pid
    for pid in "${SERVER_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    SERVER_PIDS=()
    nginx_stop
}
trap '[ "$BASHPID" = "$MAIN_PID" ] && stop_servers' EXIT
# nginx serving www, its body bytes per request in sent.log; through the latency proxy
# with `rtt` (ms) above 0.
serve() {  # rtt
    : >"$B/sent.log"
    local conf="log_format sent '\$body_bytes_sent'; access_log $B/sent.log sent;"
    if [ "$1" = 0 ]; then
        nginx_start "$B/www" "$PORT" "$conf"
    else
        nginx_start "$B/www" "$NGINX_PORT" "$conf"
        python3 "$ROOT/bench/latency_proxy.py" "$PORT" "$NGINX_PORT" "$1" 100 &
        SERVER_PIDS+=($!)
        poll 5 port_open "$PORT"
    fi
}
sent() { awk '{s += $1} END {printf "%.0f %d\n", s, NR}' "$B/sent.log"; }

# The old version installed, with the manifest it came with.
[ -s "$B/old.md5" ] || md5sum "$B/old.bin" | cut -d' ' -f1 >"$B/old.md5"
install_old() {
    rm -rf "$B/install" "$B/zsync" && mkdir -p "$B/install/paks" "$B/zsync"
    if [ "$1" = wine ]; then
        cp "$ROOT/build/$(windows_test_preset)/HalcyraUpdate.exe" "$B/install/"
    else
        cp "$ROOT/build/linux/HalcyraUpdate" "$B/install/"
    fi
    cp "$B/old.bin" "$B/install/paks/world.pak"
    printf '<?xml version="1.0" encoding="GBK" ?>\n<files>\n    <file filename="paks/world.pak" md5="%s" size="%s" />\n</files>\n' \
        "$(cat "$B/old.md5")" "$SIZE" >"$B/install/Vadarodazu.xml"
}
# The command line of a run (for sh -c), wine's aside.
command_of() {  # tool
    case $1 in
        ours) echo "cd '$B/install' && exec ./HalcyraUpdate" ;;
        zsync) echo "cd '$B/zsync' && exec zsync -q -i '$B/old.bin' -o world.pak" \
            "'http://127.0.0.1:$PORT/DownLoad/Vadarodazu/paks/world.pak.zsync'" ;;
    esac
}
run_ours() { sh -c "$(command_of ours)" >/dev/null 2>&1; }
run_zsync() { sh -c "$(command_of zsync)" >/dev/null 2>&1; }
run_wine() { measure_wine "$B/install" >/dev/null; }
seconds() { local start=$EPOCHREALTIME; "$@"; awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN{printf "%.1f", b - a}'; }

printf '%-10s %-6s %14s %8s %9s %8s %8s\n' change tool bytes_sent percent requests rtt100_s peak_MiB
for change in $CASES; do
    make_new "$change"
    rm -rf "$B/www" && mkdir -p "$B/www/DownLoad"
    build/linux/HalcyraPublish "$B/new" "$B/www/DownLoad" >/dev/null 2>&1
    (cd "$B/www/DownLoad/Vadarodazu/paks" &&
        zsyncmake -u "http://127.0.0.1:$PORT/DownLoad/Vadarodazu/paks/world.pak" \
            -o world.pak.zsync world.pak >/dev/null 2>&1)
    chmod -R a+rX "$B/www"
    for tool in $TOOLS; do
        install_old "$tool"
        serve 0
        sync
        if [ "$tool" = wine ]; then
            read -r _ _ kib < <(measure_wine "$B/install")
        else
            read -r _ _ kib < <(measure sh -c "$(command_of "$tool")")
        fi
        read -r bytes requests < <(sent)
        stop_servers
        out=$B/install/paks/world.pak
        [ "$tool" = zsync ] && out=$B/zsync/world.pak
        cmp -s "$out" "$B/new/paks/world.pak" || { echo "$tool: $change not rebuilt byte for byte" >&2; exit 1; }
        wall=-
        if [ "${LATENCY:-1}" = 1 ]; then
            install_old "$tool"
            serve 100
            sync
            wall=$(seconds run_"$tool")
            stop_servers
        fi
        printf '%-10s %-6s %14d %7.2f%% %9d %8s %8.1f\n' "$change" "$tool" "$bytes" \
            "$(awk -v b="$bytes" -v s="$SIZE" 'BEGIN{print b * 100 / s}')" "$requests" "$wall" \
            "$(awk -v k="$kib" 'BEGIN{print k / 1024}')"
    done
done
