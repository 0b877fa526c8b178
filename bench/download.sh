#!/usr/bin/env bash
# Download benchmark: DownloadFile against the curl command, both fetching from nginx on
# 127.0.0.1 in the same run: one 512 MiB file, then 1000 files of 16 KiB one after
# another (curl gets the whole list in one invocation, so it reuses its connection).
# Prints the best of three times, the ratios and the peak memory (max RSS) of each.
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
cd "$ROOT"
configure_and_build linux
. "$ROOT/tests/e2e/nginx.sh"

PORT=$(build_port "$ROOT/build/linux")
B=$ROOT/build/bench/download
mkdir -p "$B/www/f" "$B/small"
chmod 755 "$ROOT/build" "$ROOT/build/bench" "$B" "$B/www"
[ -f "$B/www/big.bin" ] || head -c $((512 * 1024 * 1024)) /dev/urandom >"$B/www/big.bin"
if [ ! -f "$B/www/f/999.bin" ]; then
    for i in $(seq 0 999); do head -c 16384 /dev/urandom >"$B/www/f/$i.bin"; done
fi
MAIN_PID=$BASHPID
trap '[ "$BASHPID" = "$MAIN_PID" ] && nginx_stop' EXIT
nginx_start "$B/www" "$PORT"
BASE=http://127.0.0.1:$PORT/

# Lists for both tools.
echo "big.bin $((512 * 1024 * 1024))" >"$B/big.list"
: >"$B/small.list"
: >"$B/small.curl"
for i in $(seq 0 999); do
    echo "f/$i.bin 16384" >>"$B/small.list"
    printf 'url = "%sf/%d.bin"\noutput = "%s/out/small/%d.bin"\n' "$BASE" "$i" "$B" "$i" >>"$B/small.curl"
done

# measure command...: best wall time (ms) of three runs and the peak RSS (KiB) of that
# run. Every run writes into a fresh, empty $B/out, ours and curl alike.
measure() {
    local best=0 rss=0 i
    for i in 1 2 3; do
        rm -rf "$B/out" && mkdir -p "$B/out"
        local t0 t1 ms
        t0=$(date +%s%N)
        /usr/bin/time -f '%M' -o "$B/rss" "$@" >/dev/null 2>"$B/err" || { cat "$B/err" >&2; exit 1; }
        t1=$(date +%s%N)
        ms=$(((t1 - t0) / 1000000))
        if [ "$best" = 0 ] || [ "$ms" -lt "$best" ]; then best=$ms; rss=$(cat "$B/rss"); fi
    done
    echo "$best $rss"
}

read -r t_big_ours m_big_ours < <(measure "$ROOT/build/linux/fetch" "$BASE" "$B/out" "$B/big.list")
cmp -s "$B/out/Update/big.bin" "$B/www/big.bin" || { echo "big.bin differs" >&2; exit 1; }
read -r t_big_curl m_big_curl < <(measure curl -s -o "$B/out/big.bin" "${BASE}big.bin")
read -r t_small_ours m_small_ours < <(measure "$ROOT/build/linux/fetch" "$BASE" "$B/out" "$B/small.list")
read -r t_small_curl m_small_curl < <(measure curl -s --create-dirs -K "$B/small.curl")

printf '%-22s %10s %10s %8s %14s\n' case 'ours ms' 'curl ms' ratio 'RSS ours/curl'
printf '%-22s %10d %10d %7.3fx %8d/%d KiB\n' "1 x 512 MiB" "$t_big_ours" "$t_big_curl" \
    "$(awk -v a="$t_big_ours" -v b="$t_big_curl" 'BEGIN{print a/b}')" "$m_big_ours" "$m_big_curl"
printf '%-22s %10d %10d %7.3fx %8d/%d KiB\n' "1000 x 16 KiB" "$t_small_ours" "$t_small_curl" \
    "$(awk -v a="$t_small_ours" -v b="$t_small_curl" 'BEGIN{print a/b}')" "$m_small_ours" "$m_small_curl"
