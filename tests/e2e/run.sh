#!/usr/bin/env bash
# End-to-end tests of the updater: the real program in a real install folder against a
# server on 127.0.0.1, one table of cases (cases.sh) run on one target:
#   linux  the Linux updater, run in the install folder (linux.sh)
#   wine   the 32-bit Windows exe under Wine and Xvfb, its message boxes answered with
#          xdotool (wine.sh)
# Each target's file also holds the cases of its own (the window, the terminal). Prints
# one line "e2e-TARGET: N passed, N failed" at the end; exits non-zero when anything
# failed.
#   tests/e2e/run.sh linux LINUX_BUILD [options]
#   tests/e2e/run.sh wine WINDOWS_BUILD LINUX_BUILD [options]
# LINUX_BUILD holds the publishing tool (HalcyraPublish). Options:
#   --signed DIR  the target built with KEYS/release.pub: the cases run with run=signed
#   --https DIR   the target built with UPDATER_SERVER_SCHEME=https: run=https (as root
#                 only: a test CA goes into the system's store for the run)
#   --s3 DIR      the target built for a release in an object store (UPDATER_SERVER_HOST
#                 127.0.0.1:8642/halcyra, UPDATER_URL_NAMES=utf8): run=s3
#   --keys DIR    the test key pair (release.key, release.pub) that signs releases
#   --only REGEX  only the cases whose name matches (and those that save an install
#                 others start from)
#   --shots DIR   copies of the screenshots (wine)
#   --list        print the cases this target runs, run nothing
# A case that needs a folder not given is skipped with a line "SKIP [case] why".
# E2E_KEEP=1 keeps the work folder; E2E_TIMING=1 prints each case's time.
# For the 32-bit exe on a kernel that runs no 32-bit programs, run it through
# scripts/with-i386.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
usage() { sed -n '10,11p' "$0" >&2; exit 2; }
TARGET=${1:-}
case $TARGET in
    linux) [ $# -ge 2 ] || usage; BUILD=$(cd "$2" && pwd) && LBUILD=$BUILD || exit 2; shift 2 ;;
    wine) [ $# -ge 3 ] || usage; BUILD=$(cd "$2" && pwd) && LBUILD=$(cd "$3" && pwd) || exit 2; shift 3 ;;
    *) usage ;;
esac
SIGNED= HTTPS= S3BUILD= KEYS= ONLY= SHOTS= LIST=
while [ $# -gt 0 ]; do
    case $1 in
        --signed) SIGNED=$(cd "$2" && pwd) || exit 2; shift 2 ;;
        --https) HTTPS=$(cd "$2" && pwd) || exit 2; shift 2 ;;
        --s3) S3BUILD=$(cd "$2" && pwd) || exit 2; shift 2 ;;
        --keys) KEYS=$(cd "$2" && pwd) || exit 2; shift 2 ;;
        --only) ONLY=$2; shift 2 ;;
        --shots) SHOTS=$(cd "$2" && pwd) || exit 2; shift 2 ;;
        --list) LIST=1; shift ;;
        *) usage ;;
    esac
done
. "$HERE/nginx.sh"
. "$HERE/common.sh"
PUBLISH=$LBUILD/HalcyraPublish
PORT=$(build_port "$BUILD")
WORK=$(mktemp -d "/tmp/updater-e2e-$TARGET.XXXXXX")
chmod 755 "$WORK"  # nginx's workers must read it
WWW=$WORK/www
RULES=$WORK/rules.json
REQUESTS=$WORK/requests.log
CA_FILE=/usr/local/share/ca-certificates/halcyra-updater-test-ca.crt
TLS=0
MAIN_PID=$BASHPID

# ---- the table ------------------------------------------------------------------------
# row NAME on=linux|wine|both [key=value...]: one case, as cases.sh describes.
ROWS=()
row() { ROWS+=("$(printf '%q ' "$@")"); }
. "$HERE/$TARGET.sh"
. "$HERE/cases.sh"
target_rows

parse_row() {
    NAME=$1
    shift
    ON= SERVER=nginx RELEASE=v2 INSTALL=base FOLDER= RUN=updater EXPECT=installed LOG= ASKED=
    SHOWN= ABSENT= OUTSIDE_KEPT= HOOK= THEN= SAVE=
    local kv
    for kv; do
        case $kv in
            on=*) ON=${kv#*=} ;;
            server=*) SERVER=${kv#*=} ;;
            release=*) RELEASE=${kv#*=} ;;
            install=*) INSTALL=${kv#*=} ;;
            folder=*) FOLDER=${kv#*=} ;;
            run=*) RUN=${kv#*=} ;;
            expect=*) EXPECT=${kv#*=} ;;
            log=*) LOG=${kv#*=} ;;
            asked=*) ASKED=${kv#*=} ;;
            shown=*) SHOWN=${kv#*=} ;;
            absent=*) ABSENT=${kv#*=} ;;
            outside=untouched) OUTSIDE_KEPT=1 ;;
            hook=*) HOOK=${kv#*=} ;;
            then=*) THEN=${kv#*=} ;;
            save=*) SAVE=${kv#*=} ;;
            *) echo "row \"$NAME\": unknown field $kv" >&2; exit 2 ;;
        esac
    done
    read -r -a HOOK_ARGS <<<"$HOOK"
    HOOK_NAME=${HOOK_ARGS[0]:-}
    HOOK_ARGS=("${HOOK_ARGS[@]:1}")
}
# A setup step that cannot be done here skips its case.
skip() { SKIP_WHY=$1; }
# The case's step of its hook, when the hook has one: setup_X, run_X, check_X or then_X.
hook() {  # step
    [ -n "$HOOK_NAME" ] && declare -F "$1_$HOOK_NAME" >/dev/null || return 0
    "$1_$HOOK_NAME" "${HOOK_ARGS[@]}"
}
has_hook() { [ -n "$HOOK_NAME" ] && declare -F "$1_$HOOK_NAME" >/dev/null; }

# Why this target cannot run the case, if it cannot.
missing() {
    case $RELEASE in signed*) [ -n "$KEYS" ] || { echo "no --keys folder"; return; } ;; esac
    case $SERVER in s3) [ -x "$S3RVER" ] || { echo "no s3rver (scripts/test installs it)"; return; } ;; esac
    case $RUN in
        signed) [ -n "$SIGNED" ] || echo "no --signed build" ;;
        s3) [ -n "$S3BUILD" ] || echo "no --s3 build" ;;
        https)
            if [ -z "$HTTPS" ]; then
                echo "no --https build"
            elif [ "$TLS" = 0 ]; then
                echo "the test CA can only be put in the system's store as root"
            fi
            ;;
    esac
}

# ---- servers ----------------------------------------------------------------------------
# nginx [DIRECTIVES]: nginx, with the extra http directives given; squid: nginx behind a
# Squid that caches as ISPs and internet cafes set it up (reloads ignored, a day's
# freshness forced), the updater told of it by http_proxy; s3: s3rver (npm's S3 emulator)
# holding what the case's server would serve, each file under its path as its key in the
# bucket "halcyra", put there anew for each case; flaky MB: nginx behind a link that
# resets each connection once it has carried MB megabytes (bench/latency_proxy.py), the
# body bytes nginx sent in $WORK/sent.log; hostile RULES:
# hostile_server.py told what to do by the JSON rules; mitm: mitm_proxy.py in front of
# nginx, swapping readme.txt; tls NAME: nginx over https with the certificate NAME (of
# the test CA: server; of a CA nobody trusts: rogue); down: nothing listens; -: any (the
# case asks the server nothing).
LOG_REQUESTS="log_format rows escape=none '\$status \$uri'; access_log $REQUESTS rows;"
HOSTILE_PID=
PROXY_PID=
S3_PID=
SERVER_KIND=
SERVER_NOW=  # the behaviour of the server running now: cases that want the same share it
server_start() {  # behaviour
    local kind=${1%% *} arg=
    [ "$kind" = "$1" ] || arg=${1#* }
    if [ "$kind" = hostile ] && [ "$SERVER_KIND" = hostile ]; then
        printf '%s' "$arg" >"$RULES"
        SERVER_NOW=$1
        return 0
    fi
    { [ "$1" = "$SERVER_NOW" ] && [ "$kind" != s3 ]; } || [ "$1" = - ] && return 0
    server_stop
    SERVER_KIND=$kind
    SERVER_NOW=$1
    case $kind in
        nginx) nginx_start "$WWW" "$PORT" "$LOG_REQUESTS $arg" ;;
        hostile)
            printf '%s' "$arg" >"$RULES"
            python3 "$HERE/hostile_server.py" "$WWW" "$PORT" "$RULES" "$REQUESTS" &
            HOSTILE_PID=$!
            poll 5 port_open "$PORT" || { echo "the test server did not start" >&2; return 1; }
            ;;
        mitm)
            nginx_start "$WWW" $((PORT + 100)) "$LOG_REQUESTS" || return 1
            python3 "$HERE/mitm_proxy.py" "$PORT" $((PORT + 100)) readme.txt "$WORK/evil.txt" >"$WORK/proxy.log" &
            PROXY_PID=$!
            poll 5 port_open "$PORT" || { echo "the proxy did not start" >&2; return 1; }
            ;;
        squid)
            nginx_start "$WWW" "$PORT" "$LOG_REQUESTS" || return 1
            squid_start $((PORT + 200)) || return 1
            export http_proxy=http://127.0.0.1:$((PORT + 200))
            ;;
        s3) s3_start "$PORT" ;;
        flaky)
            # A send buffer of what a line holds in flight, not loopback's megabytes.
            NGINX_LISTEN=sndbuf=128k nginx_start "$WWW" $((PORT + 100)) \
                "$LOG_REQUESTS log_format sent '\$body_bytes_sent'; access_log $WORK/sent.log sent;" || return 1
            python3 "$HERE/../../bench/latency_proxy.py" "$PORT" $((PORT + 100)) 0 200 "$arg" 2>"$WORK/link.log" &
            PROXY_PID=$!
            poll 5 port_open "$PORT" || { echo "the proxy did not start" >&2; return 1; }
            ;;
        tls)
            NGINX_TLS=ssl NGINX_SERVER="ssl_certificate $WORK/tls/$arg.crt; ssl_certificate_key $WORK/tls/$arg.key;" \
                nginx_start "$WWW" "$PORT" "$LOG_REQUESTS"
            ;;
        down) ;;
        *) echo "unknown server: $1" >&2; return 1 ;;
    esac
}
server_stop() {
    nginx_stop
    squid_stop
    unset http_proxy
    local pid
    for pid in "$HOSTILE_PID" "$PROXY_PID" "$S3_PID"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    HOSTILE_PID= PROXY_PID= S3_PID= SERVER_KIND= SERVER_NOW=
    poll 5 not port_open "$PORT"
}
SQUID_PID=
squid_start() {  # port
    local dir=$WORK/squid
    port_open "$1" && { echo "port $1 is taken" >&2; return 1; }
    rm -rf "$dir" && mkdir -p "$dir"
    cat >"$dir/squid.conf" <<CONF
http_port 127.0.0.1:$1
pid_filename $dir/squid.pid
cache_log $dir/cache.log
access_log stdio:$dir/access.log squid
cache_store_log none
coredump_dir $dir
pinger_enable off
cache_mem 64 MB
maximum_object_size_in_memory 8 MB
refresh_pattern . 1440 100% 1440 ignore-reload override-expire
http_access allow all
shutdown_lifetime 0 seconds
CONF
    chown -R proxy:proxy "$dir" 2>/dev/null
    squid -f "$dir/squid.conf" -N >"$dir/out.txt" 2>&1 &
    SQUID_PID=$!
    poll 10 port_open "$1" && return 0
    echo "squid did not start: $(tail -n 3 "$dir/out.txt" "$dir/cache.log" 2>/dev/null)" >&2
    return 1
}
squid_stop() {
    [ -n "$SQUID_PID" ] || return 0
    kill "$SQUID_PID" 2>/dev/null && wait "$SQUID_PID" 2>/dev/null
    SQUID_PID=
}
S3RVER=${S3RVER:-$HERE/../../build/s3rver/node_modules/.bin/s3rver}
s3_start() {  # port
    rm -rf "$WORK/s3" && mkdir -p "$WORK/s3"
    "$S3RVER" -d "$WORK/s3" -a 127.0.0.1 -p "$1" --configure-bucket halcyra --silent >"$WORK/s3.log" 2>&1 &
    S3_PID=$!
    poll 20 port_open "$1" || { echo "s3rver did not start: $(tail -n 3 "$WORK/s3.log")" >&2; return 1; }
    python3 - "$WWW" "$1" <<'PY'
import http.client, os, sys, urllib.parse
root, port = sys.argv[1], int(sys.argv[2])
for folder, _, names in os.walk(root):
    for name in names:
        path = os.path.join(folder, name)
        key = urllib.parse.quote(os.fsencode(os.path.relpath(path, root)))
        with open(path, "rb") as f:
            body = f.read()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        connection.request("PUT", "/halcyra/" + key, body)
        answer = connection.getresponse()
        answer.read()
        if answer.status != 200:
            sys.exit("PUT %s: %d" % (key, answer.status))
PY
}
# The same server behaving well: no rules, no extra directives, up.
server_heal() {
    case $SERVER_KIND in
        hostile) server_start hostile ;;
        mitm | tls) ;;
        *) server_start nginx ;;
    esac
}

# ---- releases ---------------------------------------------------------------------------
# release=NAME: made once by release_NAME (cases.sh), which puts the release's files in
# $R and what the server serves in $P/DownLoad. A case's server gets a copy of $P as
# $WWW; REL is the release. release=-: an empty server the hook fills (serve_file), REL
# the same files under their own names.
make_release_once() {  # name
    [ -d "$WORK/pub/$1" ] && return 0
    declare -F "release_$1" >/dev/null || { echo "no release $1" >&2; return 1; }
    local R=$WORK/rel/$1 P=$WORK/pub/$1
    mkdir -p "$R" "$P/DownLoad"
    "release_$1" || { rm -rf "$P"; return 1; }
}
use_release() {  # name
    rm -rf "$WWW"
    if [ "$1" = - ]; then
        mkdir -p "$WWW/DownLoad/Vadarodazu"
        REL=$WORK/hand/$ROW_NO
        rm -rf "$REL" && mkdir -p "$REL"
        return 0
    fi
    make_release_once "$1" || return 1
    cp -a "$WORK/pub/$1" "$WWW"
    REL=$WORK/rel/$1
}
# In a release_NAME: start from the files and the server of another release (a signed
# one's serial counts on from it).
based_on() {  # release
    make_release_once "$1" || return 1
    rm -rf "$R" && cp -a "$WORK/rel/$1" "$R"
    rm -rf "$P" && cp -a "$WORK/pub/$1" "$P"
}
publish_r() {  # [secret key to sign with...]
    local key args=()
    for key; do args+=(--sign "$key"); done
    # Each chain of signed releases keeps its serial with what it serves.
    [ $# = 0 ] || args+=(--serial-file "$P/release.serial")
    "$PUBLISH" "${args[@]}" "$R" "$P/DownLoad" >/dev/null
}

# ---- installs ---------------------------------------------------------------------------
# install=empty: the updater alone; fresh: the updater and the lobby; NAME: a copy of the
# install a case before saved (save=NAME); -: none. folder= names the install folder.
build_of() {  # run mode
    case $1 in signed) echo "$SIGNED" ;; https) echo "$HTTPS" ;; s3) echo "$S3BUILD" ;; *) echo "$BUILD" ;; esac
}
make_install() {  # state
    local home=$WORK/i/$ROW_NO
    INST=$home/${FOLDER:-install}
    rm -rf "$home"
    mkdir -p "$(dirname "$INST")"
    case $1 in
        - | empty | fresh)
            mkdir -p "$INST"
            [ "$1" = - ] && return 0
            cp "$(build_of "$RUN")/$EXE" "$INST/"
            [ "$1" = empty ] || cp "$LOBBY_STANDIN" "$INST/Halcyra.exe"
            ;;
        *) [ -d "$WORK/state/$1" ] && cp -a "$WORK/state/$1" "$INST" ;;
    esac
}
save_install() {  # name
    rm -rf "$WORK/state/$1"
    mkdir -p "$WORK/state"
    cp -a "$INST" "$WORK/state/$1"
    rm -f "$WORK/state/$1"/{updatelog.txt,lobby-ran.txt,lobby-fds.txt}
}

# ---- expectations -----------------------------------------------------------------------
# installed: exit status 0, no failure shown, the lobby started, every file of the release
#   in place, the server's manifest installed;
# kept: the failure shown, exit status 1, no lobby, the install as it was before the run;
# nothing: the failure shown, exit status 1, no lobby, no file of the release installed;
# failed: the failure shown, exit status 1, no lobby;
# cancelled: exit status 2, no lobby, the install as it was before the run;
# -: only the hook's checks.
expect() {  # outcome
    case $1 in
        installed)
            check "exit status 0" exit_status 0
            check "no failure shown" not failure_shown
            check "lobby started" lobby_started
            check "every file of the release in place" same_tree "$REL" "$INST"
            check "installed manifest is the server's" same_file "$WWW/DownLoad/Vadarodazu.xml" "$INST/Vadarodazu.xml"
            [ "$RUN" != signed ] ||
                check "its signature kept beside it" same_file "$WWW/DownLoad/Vadarodazu.xml.sig" "$INST/Vadarodazu.xml.sig"
            ;;
        kept | nothing | failed)
            check "failure shown" failure_shown
            check "exit status 1" exit_status 1
            check "lobby not started" lobby_not_started
            [ "$1" = nothing ] && check "nothing installed" nothing_installed
            [ "$1" = kept ] && install_kept
            ;;
        cancelled)
            check "exit status 2" exit_status 2
            check "lobby not started" lobby_not_started
            install_kept
            ;;
        -) ;;
        *) echo "unknown outcome: $1" >&2; FAILED=$((FAILED + 1)) ;;
    esac
}
install_kept() {
    check "installed manifest kept" kept_file Vadarodazu.xml
    check "md5.xml kept" kept_file md5.xml
    check "installed files kept" same_tree "$BEFORE" "$INST"
}

# ---- one case ---------------------------------------------------------------------------
timed_run() {
    : >"$REQUESTS"
    local t0
    t0=$(date +%s%N)
    if has_hook run; then hook run; else target_run; fi
    ELAPSED=$((($(date +%s%N) - t0) / 1000000))
}
run_row() {
    CASE=$NAME
    if [ -n "$HOOK_NAME" ] && ! has_hook setup && ! has_hook run && ! has_hook check && ! has_hook then; then
        echo "FAIL [$CASE] no function of the hook $HOOK_NAME"
        FAILED=$((FAILED + 1))
        return
    fi
    make_install "$INSTALL" || { echo "FAIL [$CASE] no install $INSTALL to start from"; FAILED=$((FAILED + 1)); return; }
    use_release "$RELEASE" || { echo "FAIL [$CASE] release $RELEASE not made"; FAILED=$((FAILED + 1)); return; }
    SKIP_WHY=
    [ -z "$OUTSIDE_KEPT" ] || reset_outside
    hook setup
    if [ -n "$SKIP_WHY" ]; then
        echo "SKIP [$CASE] $SKIP_WHY"
        return
    fi
    BEFORE=$WORK/before/$ROW_NO
    rm -rf "$BEFORE" && mkdir -p "$WORK/before" && cp -a "$INST" "$BEFORE"
    server_start "$SERVER" || { echo "FAIL [$CASE] the server did not start"; FAILED=$((FAILED + 1)); return; }
    if [ "$RUN" != - ]; then
        timed_run
        hook check
        expect "$EXPECT"
        [ -z "$LOG" ] || check "log: $LOG" log_has "$LOG"
        [ -z "$ASKED" ] || check "asked for: $ASKED" asked "$ASKED"
        [ -z "$SHOWN" ] || check "shown: $SHOWN" shown "$SHOWN"
        local path
        for path in $ABSENT; do
            [[ $path == /* ]] || path=$INST/$path
            check "not there: $path" test ! -e "$path"
        done
        [ -z "$OUTSIDE_KEPT" ] || check "nothing created, written or deleted outside" outside_untouched
    else
        hook check
    fi
    if [ -n "$THEN" ]; then
        CASE="$NAME, then a healthy server"
        server_heal
        case $RUN in cancel | kill | pipe) RUN=updater ;; esac
        : >"$REQUESTS"
        target_run
        hook then
        expect "$THEN"
    fi
    [ -z "$SAVE" ] || save_install "$SAVE"
}

# ---- the run ----------------------------------------------------------------------------
selected() {  # (with --only, the cases that save an install run too)
    [ "$ON" = both ] || [ "$ON" = "$TARGET" ] || return 1
    [ -z "$ONLY" ] || [ -n "$SAVE" ] || [[ $NAME =~ $ONLY ]]
}
if [ -n "$LIST" ]; then
    for r in "${ROWS[@]}"; do
        eval "parse_row $r"
        selected && echo "$NAME"
    done
    rm -rf "$WORK"
    exit 0
fi

cleanup() {
    [ "$BASHPID" = "$MAIN_PID" ] || return 0
    server_stop
    target_stop
    declare -F cleanup_cases >/dev/null && cleanup_cases
    if [ -n "${CA_ADDED:-}" ]; then
        rm -f "$CA_FILE"
        update-ca-certificates >/dev/null 2>&1
    fi
    [ -n "${E2E_KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

# The test CA goes into the system's store before the target starts (a Wine prefix takes
# it with the system's other certificate authorities as it is made).
certificate() {  # name signing-CA
    local dir=$WORK/tls
    openssl req -newkey rsa:2048 -nodes -keyout "$dir/$1.key" -out "$dir/$1.csr" -subj "/CN=127.0.0.1" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$dir/$1.ext"
    openssl x509 -req -in "$dir/$1.csr" -CA "$dir/$2.crt" -CAkey "$dir/$2.key" -CAcreateserial \
        -out "$dir/$1.crt" -days 2 -extfile "$dir/$1.ext" 2>/dev/null
}
authority() {  # name
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/tls/$1.key" -out "$WORK/tls/$1.crt" \
        -days 2 -subj "/CN=Halcyra updater $1" 2>/dev/null
}
if [ -n "$HTTPS" ] && [ "$(id -u)" = 0 ] && [ -d /usr/local/share/ca-certificates ]; then
    mkdir -p "$WORK/tls"
    authority test-ca && authority rogue-ca
    certificate server test-ca && certificate rogue rogue-ca
    CA_ADDED=1
    cp "$WORK/tls/test-ca.crt" "$CA_FILE"
    update-ca-certificates >/dev/null 2>&1
    TLS=1
fi

target_start || { echo "e2e-$TARGET: 0 passed, 1 failed"; exit 1; }
ROW_NO=0
for r in "${ROWS[@]}"; do
    eval "parse_row $r"
    selected || continue
    ROW_NO=$((ROW_NO + 1))
    why=$(missing)
    if [ -n "$why" ]; then
        echo "SKIP [$NAME] $why"
        continue
    fi
    started=$SECONDS
    run_row
    [ -z "${E2E_TIMING:-}" ] || printf '%4d s  %s\n' $((SECONDS - started)) "$NAME" >&2
done

echo "e2e-$TARGET: $PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
