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

log_has() { iconv -f GBK -t UTF-8 "$INST/updatelog.txt" | grep -qF -- "$1"; }

# The lobby runs on after the updater has ended: give it a moment to write its record.
lobby_started() {
    local i
    for i in $(seq 1 50); do
        [ -e "$INST/lobby-ran.txt" ] && break
        sleep 0.1
    done
    [ "$(cat "$INST/lobby-ran.txt" 2>/dev/null | tr -d '\r\n')" = "A" ]
}

# Every file of the release is in the install, byte for byte.
same_tree() {  # release install
    (cd "$1" && find . -type f) | while read -r f; do cmp -s "$1/$f" "$2/$f" || exit 1; done
}
