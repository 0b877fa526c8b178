# What both end-to-end suites share: the check counter and the assertions on an install
# folder ($INST), a published release ($WWW, $PUBLISH) and the lobby's stand-in.

PASSED=0
FAILED=0
CASE=
check() {  # description command...
    local what=$1
    shift
    if "$@"; then
        PASSED=$((PASSED + 1))
    else
        FAILED=$((FAILED + 1))
        echo "FAIL [$CASE] $what"
    fi
}
not() { ! "$@"; }

publish() {  # release folder
    mkdir -p "$WWW/DownLoad"
    "$PUBLISH" "$1" "$WWW/DownLoad" >/dev/null
}

# A manifest written by hand (for entries the publishing tool would refuse to write).
write_manifest() {  # lines of 'name|md5|size'
    {
        printf '<?xml version="1.0" encoding="GBK" ?>\n<files>\n'
        local line name md5 size
        for line in "$@"; do
            IFS='|' read -r name md5 size <<<"$line"
            printf '    <file filename="%s" md5="%s" size="%s" />\n' "$name" "$md5" "$size"
        done
        printf '</files>\n'
    } | iconv -f UTF-8 -t GBK >"$WWW/DownLoad/Vadarodazu.xml"
}
gbk() { printf '%s' "$1" | iconv -f UTF-8 -t GBK; }
# A file on the server, named (as the publishing tool names them) by its GBK bytes.
serve_file() {  # name ("/" between folders) content
    local path
    path="$WWW/DownLoad/Vadarodazu/$(gbk "$1")"
    mkdir -p "$(dirname "$path")"
    printf '%s' "$2" >"$path"
}
md5_of() { printf '%s' "$1" | md5sum | cut -d' ' -f1; }

log_has() { iconv -f GBK -t UTF-8 "$INST/updatelog.txt" | grep -qF -- "$1"; }

# The lobby runs on after the updater has ended: give it a moment to write its record.
lobby_started() {
    local i
    for i in $(seq 1 "${LOBBY_WAIT_TENTHS:-50}"); do
        [ -e "$INST/lobby-ran.txt" ] && break
        sleep 0.1
    done
    [ "$(cat "$INST/lobby-ran.txt" 2>/dev/null | tr -d '\r\n')" = "A" ]
}

# Every file of the release is in the install, byte for byte.
same_tree() {  # release install
    (cd "$1" && find . -type f) | while read -r f; do cmp -s "$1/$f" "$2/$f" || exit 1; done
}

# The misbehaving test server (hostile_server.py) on $PORT, serving $WWW, told what to
# do by $RULES and logging each request path to $REQUESTS. Sets HOSTILE_PID.
HOSTILE_PID=
hostile_start() {
    : >"$RULES"
    python3 "$HERE/hostile_server.py" "$WWW" "$PORT" "$RULES" "$REQUESTS" &
    HOSTILE_PID=$!
    local i
    for i in $(seq 1 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "the test server did not start" >&2
    return 1
}
hostile_stop() {
    [ -n "$HOSTILE_PID" ] && kill "$HOSTILE_PID" 2>/dev/null && wait "$HOSTILE_PID" 2>/dev/null
    HOSTILE_PID=
}
