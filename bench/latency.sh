#!/usr/bin/env bash
# Latency benchmark: a first update through bench/latency_proxy.py, which delays every
# byte by half a round trip (and a new connection by a whole one) and can cap the line's
# bandwidth, in front of nginx. Ours (the Linux updater, up to UPDATER_PARALLEL_TRANSFERS
# files at once) against curl fetching the same files one after another on one
# connection (curl -K) and N and 8 at once (curl --parallel --parallel-max N, 8), each
# followed by md5sum -c. Every tool writes into a fresh folder; rounds are interleaved.
# Prints the medians, the ratios, and ours' peak memory (max RSS). The flaky case resets
# every connection after some megabytes at 50 ms: ours against curl --retry 5
# --continue-at -, with the bytes the server sent (nginx's log) against the release's.
#   bench/latency.sh            (ROUNDS=3 by default; CASES to pick some, e.g. "small50")
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
cd "$ROOT"
configure_and_build linux
. "$ROOT/tests/e2e/nginx.sh"
command -v curl >/dev/null || as_root apt-get install -y curl

PORT=$(build_port "$ROOT/build/linux")  # the proxy listens where the updater asks
NGINX_PORT=$((PORT + 1))
N=$(sed -nE 's/^UPDATER_PARALLEL_TRANSFERS:STRING=([0-9]+)$/\1/p' build/linux/CMakeCache.txt)
ROUNDS=${ROUNDS:-3}
CASES=${CASES:-"small50 small100 big50 big100 big100mbit flaky50"}
RESET_MB=${RESET_MB:-4}
B=$ROOT/build/bench/latency
mkdir -p "$B"
chmod 755 "$ROOT/build" "$ROOT/build/bench" "$B"

# A release of COUNT random files of SIZE bytes, published into www-NAME.
make_set() {  # name count size
    local dir=$B/release-$1 i
    if [ ! -f "$dir/d0/f$(($2 - 1)).bin" ]; then
        rm -rf "$dir"
        for i in $(seq 0 $(($2 - 1))); do
            mkdir -p "$dir/d$((i / 100))"
            head -c "$3" /dev/urandom >"$dir/d$((i / 100))/f$i.bin"
        done
    fi
    rm -rf "$B/www-$1"
    mkdir -p "$B/www-$1/DownLoad"
    chmod 755 "$B/www-$1"
    build/linux/HalcyraPublish "$dir" "$B/www-$1/DownLoad" >/dev/null
    chmod -R a+rX "$B/www-$1"  # nginx's workers read it
    (cd "$dir" && find . -type f | sed 's|^\./||' | sort) >"$B/$1.files"
    (cd "$dir" && xargs md5sum <"$B/$1.files") >"$B/$1.md5"
    while read -r f; do
        printf 'url = "http://127.0.0.1:%s/DownLoad/Vadarodazu/%s"\noutput = "%s"\n' "$PORT" "$f" "$f"
    done <"$B/$1.files" >"$B/$1.curl"
}
make_set small 1500 20480
make_set big 20 10485760

PROXY_PID=
MAIN_PID=$BASHPID
stop_servers() {
    if [ -n "$PROXY_PID" ]; then
        kill "$PROXY_PID" 2>/dev/null || true
        wait "$PROXY_PID" 2>/dev/null || true
    fi
    PROXY_PID=
    nginx_stop
}
trap '[ "$BASHPID" = "$MAIN_PID" ] && stop_servers' EXIT

ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }

# One tool in a fresh folder: prints its milliseconds; fails when the files are not right.
run_ours() {  # set
    rm -rf "$B/run" && mkdir -p "$B/run"
    cp build/linux/HalcyraUpdate "$B/run/"
    local t
    t=$(date +%s%N)
    (cd "$B/run" && /usr/bin/time -f '%M' -o "$B/rss" ./HalcyraUpdate </dev/null >/dev/null 2>&1) || true
    ms_since "$t"
    (cd "$B/run" && md5sum --quiet -c "$B/$1.md5") >&2 || { echo "ours: files differ" >&2; return 1; }
}
run_curl() {  # set [curl options]
    local set=$1 t
    shift
    rm -rf "$B/run" && mkdir -p "$B/run"
    t=$(date +%s%N)
    (cd "$B/run" && curl -s --no-progress-meter --create-dirs "$@" -K "$B/$set.curl" 2>/dev/null &&
        md5sum --quiet -c "$B/$set.md5")
    ms_since "$t"
}

# Body bytes nginx sent, from its log (the default format's 10th field).
server_bytes() { awk '{s += $10} END {print s + 0}' "$NGINX_DIR/access.log"; }
release_bytes() { awk '{print $0}' "$B/$1.files" | (cd "$B/release-$1" && xargs cat) | wc -c; }

printf '%-34s %9s %9s %9s %9s %9s %9s %9s %8s\n' case ours curl-K "par$N" par8 "ours/-K" \
    "ours/par$N" ours/par8 "rss-KiB"
for c in $CASES; do
    [ "$c" = flaky50 ] && continue
    case $c in
        small50) set=small rtt=50 mbit=0 label="1500 x 20 KiB, 50 ms" ;;
        small100) set=small rtt=100 mbit=0 label="1500 x 20 KiB, 100 ms" ;;
        big50) set=big rtt=50 mbit=0 label="20 x 10 MiB, 50 ms" ;;
        big100) set=big rtt=100 mbit=0 label="20 x 10 MiB, 100 ms" ;;
        big100mbit) set=big rtt=50 mbit=100 label="20 x 10 MiB, 50 ms, 100 Mbit/s" ;;
        *) echo "unknown case $c" >&2; exit 2 ;;
    esac
    nginx_start "$B/www-$set" "$NGINX_PORT"
    python3 "$ROOT/bench/latency_proxy.py" "$PORT" "$NGINX_PORT" "$rtt" "$mbit" &
    PROXY_PID=$!
    poll 5 port_open "$PORT" 2>/dev/null || { echo "the proxy did not start" >&2; exit 1; }
    : >"$B/ours" >"$B/seq" >"$B/par" >"$B/par8" >"$B/rsses"
    for round in $(seq 1 "$ROUNDS"); do
        run_ours "$set" >>"$B/ours"
        cat "$B/rss" >>"$B/rsses"
        run_curl "$set" >>"$B/seq"
        run_curl "$set" --parallel --parallel-max "$N" >>"$B/par"
        run_curl "$set" --parallel --parallel-max 8 >>"$B/par8"
    done
    stop_servers
    ours=$(median <"$B/ours") seq=$(median <"$B/seq") par=$(median <"$B/par") par8=$(median <"$B/par8")
    rss=$(sort -n "$B/rsses" | tail -n 1)
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN{print a/b}'; }
    printf '%-34s %9d %9d %9d %9d %8.2fx %8.2fx %8.2fx %8d\n' "$label" "$ours" "$seq" "$par" \
        "$par8" "$(ratio "$ours" "$seq")" "$(ratio "$ours" "$par")" "$(ratio "$ours" "$par8")" "$rss"
done
echo "(milliseconds, medians of $ROUNDS rounds; N=$N)"

if [[ " $CASES " == *" flaky50 "* ]]; then
    echo
    printf '%-40s %9s %9s %14s %14s %7s %7s\n' "flaky link (reset every ${RESET_MB} MB)" ours \
        curl-retry "ours sent/rel" "curl sent/rel" "ours ✗" "curl ✗"
    total=$(release_bytes big)
    # A send buffer of what a line holds in flight (as the end-to-end case has it), not
    # the megabytes loopback grows it to: what a reset loses is then what was on the way.
    NGINX_LISTEN=sndbuf=128k nginx_start "$B/www-big" "$NGINX_PORT"
    python3 "$ROOT/bench/latency_proxy.py" "$PORT" "$NGINX_PORT" 50 0 "$RESET_MB" &
    PROXY_PID=$!
    poll 5 port_open "$PORT" 2>/dev/null || { echo "the proxy did not start" >&2; exit 1; }
    # A tool that gives up (exits with an error, or leaves files that differ) counts as
    # failed for the round; the bytes the server sent count either way.
    : >"$B/ours" >"$B/curl" >"$B/obytes" >"$B/cbytes"
    ofail=0 cfail=0
    for round in $(seq 1 "$ROUNDS"); do
        : >"$NGINX_DIR/access.log"
        if t=$(run_ours big 2>/dev/null); then echo "$t" >>"$B/ours"; else ofail=$((ofail + 1)); fi
        server_bytes >>"$B/obytes"
        : >"$NGINX_DIR/access.log"
        if t=$(run_curl big --retry 5 --retry-all-errors --retry-delay 1 --continue-at - 2>/dev/null); then
            echo "$t" >>"$B/curl"
        else
            cfail=$((cfail + 1))
        fi
        server_bytes >>"$B/cbytes"
    done
    stop_servers
    shown() { [ -s "$1" ] && median <"$1" || echo -; }
    ours=$(shown "$B/ours") curl=$(shown "$B/curl")
    obytes=$(median <"$B/obytes") cbytes=$(median <"$B/cbytes")
    printf '%-40s %9s %9s %13.3fx %13.3fx %7s %7s\n' "20 x 10 MiB, 50 ms" "$ours" "$curl" \
        "$(awk -v a="$obytes" -v b="$total" 'BEGIN{print a/b}')" \
        "$(awk -v a="$cbytes" -v b="$total" 'BEGIN{print a/b}')" "$ofail/$ROUNDS" "$cfail/$ROUNDS"
    echo "(milliseconds of the rounds that succeeded and bytes the server sent, medians of $ROUNDS rounds)"
fi
