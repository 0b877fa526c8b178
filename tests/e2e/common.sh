# What the end-to-end runner and its cases share: the check counter, releases and
# hand-written manifests, and the assertions on an install folder ($INST), the release
# it should hold ($REL), what the server serves ($WWW) and the requests it saw
# ($REQUESTS, one "STATUS PATH" line each, the path's bytes as the server decoded them).

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
not() { ! "$@"; }

# ---- releases. The target sets LOBBY_STANDIN (the lobby's stand-in that releases carry)
# and EOL (the text files' line end).

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

# A manifest written by hand into $WWW (for entries the publishing tool would refuse).
write_manifest() {  # lines of 'name|md5|size'
    mkdir -p "$WWW/DownLoad"
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
# A file on the server, named (as the publishing tool names them) by its GBK bytes, and
# the same in the release $REL under its own name.
serve_file() {  # name ("/" between folders) content
    local path
    for path in "$WWW/DownLoad/Vadarodazu/$(gbk "$1")" "$REL/$1"; do
        mkdir -p "$(dirname "$path")"
        printf '%s' "$2" >"$path"
    done
}
md5_of() { printf '%s' "$1" | md5sum | cut -d' ' -f1; }

# ---- assertions

exit_status() {
    DETAIL="exit status $STATUS${TITLES:+, boxes answered: $TITLES}"
    [ "$STATUS" = "$1" ]
}
# The lobby runs on after the updater has ended: give it a moment to write its record.
# The stand-in writes its argument ("A") once it runs: waited for whole, not just the file.
lobby_started() { poll "${LOBBY_WAIT_SECONDS:-5}" lobby_wrote A; }
lobby_wrote() { [ "$(cat "$INST/lobby-ran.txt" 2>/dev/null | tr -d '\r\n')" = "$1" ]; }
# The lobby is started before the updater ends; a moment covers its start-up.
lobby_not_started() {
    sleep "${LOBBY_SETTLE:-0.3}"
    [ ! -e "$INST/lobby-ran.txt" ]
}
# The log holds the text; when it does not, what it ends with (and a byte that is not GBK
# never hides the lines after it).
log_has() {
    local text
    text=$(iconv -c -f GBK -t UTF-8 "$INST/updatelog.txt" 2>/dev/null)
    grep -qF -- "$1" <<<"$text" && return 0
    DETAIL="$(wc -l <<<"$text") lines, the last: $(tail -n 2 <<<"$text" | tr '\n' ' ')"
    return 1
}
same_file() { cmp -s "$1" "$2"; }

# Every file of the release is in the install, byte for byte (a pipe or a link in its
# place is not the file, and is never opened).
same_tree() {  # release install
    (cd "$1" && find . -type f) | while read -r f; do
        [ -f "$2/$f" ] && [ ! -L "$2/$f" ] && cmp -s "$1/$f" "$2/$f" || exit 1
    done
}
# A file of the install as it was before the run; one that was not there may have been
# written empty (the updater starts an empty manifest in place of a missing one).
kept_file() {  # name
    if [ -e "$BEFORE/$1" ]; then
        cmp -s "$BEFORE/$1" "$INST/$1"
    else
        [ ! -s "$INST/$1" ]
    fi
}
# No file of a release in the install.
nothing_installed() {
    DETAIL=$(cd "$INST" && find . -type f | sort | tr '\n' ' ')
    [ ! -e "$INST/readme.txt" ] && [ ! -e "$INST/data" ] && [ ! -s "$INST/Vadarodazu.xml" ]
}

# The paths the server was asked for, one a line.
requested() { cut -d' ' -f2- "$REQUESTS"; }
# What the server was asked for: "manifest" (that alone), "none", "nofiles" (nothing
# below Vadarodazu/), or the names below DownLoad/, in any order.
asked() {  # what
    DETAIL=$(requested | iconv -f GBK -t UTF-8 -c | tr '\n' ' ')
    case $1 in
        manifest) [ "$(requested)" = /DownLoad/Vadarodazu.xml ] ;;
        none) [ ! -s "$REQUESTS" ] ;;
        nofiles) not grep -q ' /DownLoad/Vadarodazu/' "$REQUESTS" ;;
        *)
            local name want=
            for name in $1; do want+="/DownLoad/$(gbk "$name")"$'\n'; done
            [ "$(requested | LC_ALL=C sort)" = "$(printf '%s' "$want" | LC_ALL=C sort)" ]
            ;;
    esac
}
# A name below Vadarodazu/ requested under its GBK bytes and served.
fetched_as() { LC_ALL=C grep -qxF "200 /DownLoad/Vadarodazu/$(gbk "$1")" "$REQUESTS"; }
was_requested() { LC_ALL=C grep -qF "/DownLoad/Vadarodazu/$(gbk "$1")" "$REQUESTS"; }
every_request_served() { ! LC_ALL=C grep -qv '^200 ' "$REQUESTS"; }
