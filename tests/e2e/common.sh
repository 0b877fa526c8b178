# What both end-to-end suites share: the check counter and the assertions on an install
# folder ($INST), a published release ($WWW, $PUBLISH) and the lobby's stand-in.

PASSED=0
FAILED=0
CASE=
# An assertion may set DETAIL to what it saw; a failure's line then shows it.
DETAIL=
check() {  # description command...
    local what=$1
    shift
    DETAIL=
    if "$@"; then
        PASSED=$((PASSED + 1))
    else
        FAILED=$((FAILED + 1))
        echo "FAIL [$CASE] $what${DETAIL:+ (saw: $DETAIL)}"
    fi
}

# ---- releases and installs. Each suite sets UPDATER (the updater program to install),
# LOBBY_STANDIN (the lobby's stand-in that releases carry) and EOL (the text files' line
# end); INSTALL_LOBBY=1 puts the stand-in into new installs as well.

# A small lobby release: files at the top and in subfolders, a GBK (Chinese) name, an
# empty file, random bytes of the given size in data/big.bin.
make_release() {  # folder version [bytes of data/big.bin]
    local dir=$1 eol=${EOL:-$'\n'}
    rm -rf "$dir"
    mkdir -p "$dir/data/sub" "$dir/skin"
    printf 'lobby %s%s' "$2" "$eol" >"$dir/readme.txt"
    head -c "${3:-200000}" /dev/urandom >"$dir/data/big.bin"
    printf 'config%s' "$eol" >"$dir/data/sub/config.ini"
    printf '中文内容 %s%s' "$2" "$eol" >"$dir/skin/更新文件.txt"
    : >"$dir/empty.dat"
    cp "$LOBBY_STANDIN" "$dir/Halcyra.exe"
}

# A fresh install folder $INST ($WORK/install-NAME) holding the updater, or a copy of an
# install made before.
new_install() {  # name [install to copy]
    INST=$WORK/install-$1
    rm -rf "$INST"
    if [ -n "${2:-}" ]; then
        cp -a "$2" "$INST"
        return
    fi
    mkdir -p "$INST"
    cp "$UPDATER" "$INST/"
    [ -z "${INSTALL_LOBBY:-}" ] || cp "$LOBBY_STANDIN" "$INST/Halcyra.exe"
}

exit_status() {
    DETAIL="exit status $STATUS${TITLES:+, boxes answered: $TITLES}"
    [ "$STATUS" = "$1" ]
}
# The lobby is started before the updater ends; a moment covers its start-up.
lobby_not_started() {
    sleep "${LOBBY_SETTLE:-0.3}"
    [ ! -e "$INST/lobby-ran.txt" ]
}

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
    poll "${LOBBY_WAIT_SECONDS:-5}" test -e "$INST/lobby-ran.txt"
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
    poll 5 port_open "$PORT" && return 0
    echo "the test server did not start" >&2
    return 1
}
hostile_stop() {
    [ -n "$HOSTILE_PID" ] && kill "$HOSTILE_PID" 2>/dev/null && wait "$HOSTILE_PID" 2>/dev/null
    HOSTILE_PID=
}
