#!/usr/bin/env bash
# End-to-end tests of the Windows updater under Wine and Xvfb: the real exe, a real
# install folder, nginx on 127.0.0.1 serving a published release, xdotool answering the
# message boxes and clicking the window, screenshots of what the user sees, and the
# files it writes compared with those of the Linux updater.
# Prints "wine-e2e: N passed, N failed" at the end.
#   tests/e2e/wine_e2e.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR [SCREENSHOT_DIR]
# For the 32-bit exe (build/windows) on a kernel that runs no 32-bit programs, run it
# through scripts/with-i386.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
WBUILD=$(cd "${1:?Windows build folder}" && pwd)
LBUILD=$(cd "${2:?Linux build folder}" && pwd)
SHOTS=${3:-}
. "$HERE/nginx.sh"
. "$HERE/common.sh"
. "$HERE/wine.sh"
# Under emulation a program can take seconds to start: wait up to 20 s for the lobby.
LOBBY_WAIT_SECONDS=20
PUBLISH="$LBUILD/HalcyraPublish"

PORT=$(build_port "$WBUILD")
UPDATER=$WBUILD/HalcyraUpdate.exe
LOBBY_STANDIN=$WBUILD/tests/fake_lobby.exe
EOL=$'\r\n'
LOBBY_SETTLE=0.5
WORK=$(mktemp -d /tmp/updater-wine-e2e.XXXXXX)
chmod 755 "$WORK"
WWW=$WORK/www
MAIN_PID=$BASHPID
cleanup() {
    [ "$BASHPID" = "$MAIN_PID" ] || return 0
    nginx_stop
    [ -n "${HOSTILE_PID:-}" ] && kill "$HOSTILE_PID" 2>/dev/null
    wine_stop
    [ -n "${E2E_KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT


# ---- Wine, X ---------------------------------------------------------------------------

wine_start

# ---- fixtures --------------------------------------------------------------------------

geometry() { xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: //p'; }
shot() {  # window file
    # import with no window would wait for a click on the screen.
    [ -n "$1" ] || return 0
    timeout 30 import -window "$1" "$2" 2>/dev/null
    [ -n "$SHOTS" ] && cp "$2" "$SHOTS/"
    return 0
}
pixel() {  # file x y -> r,g,b
    convert "$1" -format '%[fx:int(255*p{'"$2"','"$3"'}.r)],%[fx:int(255*p{'"$2"','"$3"'}.g)],%[fx:int(255*p{'"$2"','"$3"'}.b)]' info:
}
is_bar_colour() {  # r,g,b of the bar fill: a blue clearly bluer than the trough
    local r g b
    IFS=, read -r r g b <<<"$1"
    [ "$b" -gt 150 ] && [ "$r" -lt 150 ]
}
is_trough_colour() {
    local r g b
    IFS=, read -r r g b <<<"$1"
    [ "$r" -gt 200 ] && [ "$g" -gt 200 ] && [ "$b" -gt 200 ]
}

mkdir -p "$WWW/DownLoad"
make_release "$WORK/rel" 1 1500000
publish "$WORK/rel"

# ---- cases -------------------------------------------------------------------------------

CASE="first run, watched while it downloads"
nginx_start "$WWW" "$PORT" "limit_rate 250k;" || exit 1
new_install a
start_updater
WIN=$(find_window '大厅自动更新' 90)
check "window shown" test -n "$WIN"
check "window is 368 x 91" test "$(geometry "$WIN")" = "368x91"
sleep 3
shot "$WIN" "$WORK/window-downloading.png"
check "file bar part-filled" is_bar_colour "$(pixel "$WORK/window-downloading.png" 12 41)"
check "file bar not full" is_trough_colour "$(pixel "$WORK/window-downloading.png" 350 41)"
check "total bar part-filled" is_bar_colour "$(pixel "$WORK/window-downloading.png" 12 56)"
check "total bar not full" is_trough_colour "$(pixel "$WORK/window-downloading.png" 350 56)"
check "button drawn" not is_bar_colour "$(pixel "$WORK/window-downloading.png" 326 77)"
check "updater ends" wait_exit "$UPD_PID" 60
check "release installed" same_tree "$WORK/rel" "$INST"
check "lobby started with A" lobby_started
check "log complete" log_has "下载好了"
nginx_stop

CASE="server stopped"
start_updater
BOX=$(find_window HalcyraUpdate 90)
check "failure message box shown" test -n "$BOX"
[ -n "$BOX" ] && shot "$BOX" "$WORK/failure-box.png"
[ -n "$BOX" ] && answer "$BOX" Return
check "updater ends once answered" wait_exit "$UPD_PID" 60
check "lobby not started" not lobby_started

CASE="a second copy while the first runs"
nginx_start "$WWW" "$PORT" "limit_rate 250k;" || exit 1
new_install b
start_updater
FIRST=$UPD_PID
WIN=$(find_window '大厅自动更新' 90)
t0=$(date +%s%N)
(cd "$INST" && timeout 30 "$LOADER" HalcyraUpdate.exe >/dev/null 2>&1)
elapsed=$((($(date +%s%N) - t0) / 1000000))
check "second copy ends at once (${elapsed} ms)" test "$elapsed" -lt 5000
check "only one window" test "$(window_count '大厅自动更新')" = 1
check "first run goes on and ends" wait_exit "$FIRST" 90
check "first run completes" lobby_started
nginx_stop

CASE="a skin file of another size"
nginx_start "$WWW" "$PORT" "limit_rate 500k;" || exit 1
new_install c
mkdir -p "$INST/data"
convert -size 420x130 gradient:'#2a5d9f-#0d2b55' "BMP3:$INST/data/update.bmp"
start_updater
WIN=$(find_window '大厅自动更新' 90)
check "window takes the skin's size" test "$(geometry "$WIN")" = "420x130"
sleep 1
shot "$WIN" "$WORK/window-other-skin.png"
check "bars keep their place" is_bar_colour "$(pixel "$WORK/window-other-skin.png" 12 41)"
check "updater ends" wait_exit "$UPD_PID" 60
nginx_stop

CASE="a file held open by another program, answered No"
nginx_start "$WWW" "$PORT" || exit 1
make_release "$WORK/rel" 2 1500000
publish "$WORK/rel"
before=$(md5sum <"$INST/readme.txt")
cp "$WBUILD/tests/hold_file.exe" "$WORK/"
(cd "$INST" && exec "$LOADER" "$WORK/hold_file.exe" readme.txt 120000 >"$WORK/held" 2>/dev/null) &
HOLDER=$!
poll 10 grep -q held "$WORK/held" 2>/dev/null
start_updater
BOX=$(find_window '警告' 90)
check "retry prompt shown" test -n "$BOX"
[ -n "$BOX" ] && shot "$BOX" "$WORK/in-use-prompt.png"
[ -n "$BOX" ] && answer "$BOX" n
FAILBOX=$(find_window HalcyraUpdate 90)
check "then the failure message" test -n "$FAILBOX"
[ -n "$FAILBOX" ] && answer "$FAILBOX" Return
check "updater ends" wait_exit "$UPD_PID" 60
check "installed file unchanged" test "$(md5sum <"$INST/readme.txt")" = "$before"
check "lobby not started" not lobby_started
kill "$HOLDER" 2>/dev/null
wait "$HOLDER" 2>/dev/null

CASE="Brenthor.exe replaced at restart"
printf 'new brenthor\r\n' >"$WORK/rel/Brenthor.exe"
publish "$WORK/rel"
printf 'old brenthor\r\n' >"$INST/Brenthor.exe"
start_updater
check "updater ends" wait_exit "$UPD_PID" 60
check "lobby started" lobby_started
check "not replaced during the run" grep -q 'old brenthor' "$INST/Brenthor.exe"
timeout 30 wineserver -w
check "pending rename recorded" grep -q 'Brenthor' "$WINEPREFIX/system.reg"
timeout 120 "$LOADER" wineboot -r >/dev/null 2>&1
timeout 30 wineserver -w
check "replaced by the restart" grep -q 'new brenthor' "$INST/Brenthor.exe"
rm -f "$WORK/rel/Brenthor.exe"
publish "$WORK/rel"
nginx_stop

CASE="Escape and Enter end the run like Cancel"
nginx_start "$WWW" "$PORT" "limit_rate 100k;" || exit 1
for key in Escape Return; do
    new_install "key-$key"
    start_updater
    WIN=$(find_window '大厅自动更新' 90)
    sleep 1
    answer "$WIN" "$key"
    poll 5 no_window '大厅自动更新'
    check "$key closes the window" test "$(window_count '大厅自动更新')" = 0
    check "$key: updater ends" wait_exit "$UPD_PID" 60
    check "$key: lobby not started" not lobby_started
done
nginx_stop

CASE="Cancel clicked during a download"
make_release "$WORK/rel" 3 4000000
publish "$WORK/rel"
nginx_start "$WWW" "$PORT" "limit_rate 300k;" || exit 1
new_install d
start_updater
WIN=$(find_window '大厅自动更新' 90)
sleep 2.5
xdotool mousemove --window "$WIN" 320 76 click 1
t0=$(date +%s%N)
poll 5 no_window '大厅自动更新'
closed=$((($(date +%s%N) - t0) / 1000000))
check "window closes at once (${closed} ms)" test "$(window_count '大厅自动更新')" = 0
check "updater ends" wait_exit "$UPD_PID" 60
check "no installed file half-written" not test -e "$INST/data/big.bin"
check "lobby not started" not lobby_started
nginx_stop
nginx_start "$WWW" "$PORT" || exit 1
start_updater
check "next run ends" wait_exit "$UPD_PID" 60
check "next run completes" same_tree "$WORK/rel" "$INST"
check "lobby started" lobby_started
nginx_stop

# ---- GBK characters whose second byte is a backslash --------------------------------------
# In GBK 淺 is 9C 5C and 籠 is BB 5C: a scan that is not GBK-aware takes their second byte
# for a folder separator. The install folder, folder and file names hold them here.

# nginx also logs each request's status and decoded path, its bytes as they came.
NAMES_LOG=$WORK/requests.log
LOG_NAMES="log_format names escape=none '\$status \$uri'; access_log $NAMES_LOG names;"
fetched_as() {  # name below Vadarodazu/: requested under its GBK bytes and served
    LC_ALL=C grep -qxF "200 /DownLoad/Vadarodazu/$(gbk "$1")" "$NAMES_LOG"
}
nothing_missed() { ! LC_ALL=C grep -qv '^200 ' "$NAMES_LOG"; }
# The folder as the exe names it, and the same on the Linux side.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# The files a release put in $INST (without the updater's own), sorted.
installed_names() {
    (cd "$INST" && find . -path ./Update -prune -o -type f -print) | sed 's|^\./||' |
        grep -vxE 'HalcyraUpdate(\.exe)?|updatelog\.txt|md5\.xml|Vadarodazu\.xml|lobby-ran\.txt' |
        LC_ALL=C sort
}
release_names() { (cd "$1" && find . -type f) | sed 's|^\./||' | LC_ALL=C sort; }
installed_manifest_is_servers() { cmp -s "$INST/Vadarodazu.xml" "$WWW/DownLoad/Vadarodazu.xml"; }
# A run that did not end (a message box nobody answers) would hold the single-instance
# guard against the cases after it.
updater_ends() {
    wait_exit "$UPD_PID" "$1" && return 0
    kill "$UPD_PID" 2>/dev/null
    wait_exit "$UPD_PID" 60
    return 1
}

make_gbk_release() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$dir/data/淺籠" "$dir/籠"
    printf 'lobby gbk\r\n' >"$dir/readme.txt"
    printf '淺\r\n' >"$dir/data/淺籠/籠.txt"
    : >"$dir/data/淺籠/空淺.dat"
    head -c 300000 /dev/urandom >"$dir/籠/淺.bin"
    printf '表\r\n' >"$dir/籠/表格.txt"
    cp "$WBUILD/tests/fake_lobby.exe" "$dir/Halcyra.exe"
}
make_gbk_release "$WORK/relg"
publish "$WORK/relg"

CASE="an install folder with spaces and 淺 籠 in its path, names with them in subfolders"
nginx_start "$WWW" "$PORT" "$LOG_NAMES" || exit 1
: >"$NAMES_LOG"
new_install "淺 籠/大厅 目录籠"
start_updater
check "updater ends" updater_ends 60
check "log names the whole install folder" log_has "当前目录为:$(windows_path "$INST")"
check "release installed under the same names" same_tree "$WORK/relg" "$INST"
check "no file installed under another name" test "$(installed_names)" = "$(release_names "$WORK/relg")"
for f in readme.txt data/淺籠/籠.txt 籠/淺.bin 籠/表格.txt; do
    check "fetched as $f" fetched_as "$f"
done
check "empty file not fetched" not fetched_as data/淺籠/空淺.dat
check "every request served" nothing_missed
check "installed manifest is the server's" installed_manifest_is_servers
check "md5.xml in the install folder" test -s "$INST/md5.xml"
check "log complete" log_has "下载好了"
check "lobby started with A" lobby_started
nginx_stop

CASE="names written with backslashes in the manifest"
nginx_start "$WWW" "$PORT" "$LOG_NAMES" || exit 1
: >"$NAMES_LOG"
new_install bs
serve_file 'data/淺籠/籠.txt' 'one'
serve_file '籠/淺/表.txt' 'two'
serve_file 'top.txt' 'three'
cp "$WBUILD/tests/fake_lobby.exe" "$WWW/DownLoad/Vadarodazu/Halcyra.exe"
write_manifest "data\\淺籠\\籠.txt|$(md5_of one)|3" "籠\\淺\\表.txt|$(md5_of two)|3" \
    "top.txt|$(md5_of three)|5" \
    "Halcyra.exe|$(md5sum <"$WBUILD/tests/fake_lobby.exe" | cut -d' ' -f1)|$(stat -c %s "$WBUILD/tests/fake_lobby.exe")"
start_updater
check "updater ends" updater_ends 60
for f in data/淺籠/籠.txt 籠/淺/表.txt top.txt Halcyra.exe; do
    check "fetched as $f" fetched_as "$f"
done
check "every request served" nothing_missed
check "installed in subfolders" test "$(cat "$INST/data/淺籠/籠.txt")$(cat "$INST/籠/淺/表.txt")" = onetwo
check "no file installed under another name" test "$(installed_names)" = \
    "$(printf '%s\n' Halcyra.exe data/淺籠/籠.txt top.txt 籠/淺/表.txt | LC_ALL=C sort)"
check "installed manifest is the server's" installed_manifest_is_servers
check "lobby started with A" lobby_started
nginx_stop

CASE="the same release installed by the Linux updater: same log and md5.xml"
# The log with its line numbers, times and the install folder masked: what is left must
# be the same lines whichever build wrote it.
masked_log() {  # log file, install folder as the program names it
    LC_ALL=C DIR=$(gbk "$2") perl -0777 -pe '
        s/\Q$ENV{DIR}\E/<install>/g;
        s/\[\d\d\/\d\d\/\d\d \d\d:\d\d:\d\d\]/[date]/g;
        s/^\[ *\d+\]\[\d\d:\d\d:\d\d\]/[n][time]/mg' "$1"
}
# With several files in flight, lines of different files interleave as the transfers
# go: the same lines, in any order, and the files started in the same order.
same_log() {  # windows-install linux-install
    local win lin started
    win=$(masked_log "$1/updatelog.txt" "$(windows_path "$1")")
    lin=$(masked_log "$2/updatelog.txt" "$2")
    started=$(gbk 正在下载)
    if [ "$(LC_ALL=C sort <<<"$win")" = "$(LC_ALL=C sort <<<"$lin")" ] &&
        [ "$(LC_ALL=C grep -F "$started" <<<"$win")" = "$(LC_ALL=C grep -F "$started" <<<"$lin")" ]; then
        return 0
    fi
    diff <(iconv -f GBK -t UTF-8 <<<"$win") <(iconv -f GBK -t UTF-8 <<<"$lin") | head -n 20
    return 1
}
publish "$WORK/relg"
nginx_start "$WWW" "$PORT" || exit 1
new_install "淺籠 exe"
WIN_INST=$INST
start_updater
check "32-bit exe ends" updater_ends 60
check "32-bit exe installs" same_tree "$WORK/relg" "$WIN_INST"
LIN_INST="$WORK/install-淺籠 linux"
rm -rf "$LIN_INST"
mkdir -p "$LIN_INST"
cp "$LBUILD/HalcyraUpdate" "$LIN_INST/"
(cd "$LIN_INST" && timeout 120 ./HalcyraUpdate </dev/null >/dev/null 2>&1)
check "Linux updater installs" same_tree "$WORK/relg" "$LIN_INST"
check "log holds the same lines" same_log "$WIN_INST" "$LIN_INST"
check "log is not empty" test "$(masked_log "$WIN_INST/updatelog.txt" x | wc -l)" -gt 5
check "md5.xml holds the same bytes" cmp -s "$WIN_INST/md5.xml" "$LIN_INST/md5.xml"
check "installed manifests the same" cmp -s "$WIN_INST/Vadarodazu.xml" "$LIN_INST/Vadarodazu.xml"
nginx_stop

# ---- a server that misbehaves, the exe replacing itself, hostile folders --------------

RULES=$WORK/rules.json
REQUESTS=$WORK/requests.log
make_release "$WORK/h1" 1 20000
publish "$WORK/h1"
hostile_start || exit 1
new_install h
run_answering
CASE="a first install from the test server"
check "exit status 0" exit_status 0
check "installed" same_tree "$WORK/h1" "$INST"
# The lobby starts slowly under emulation: let it write its record before the install
# is copied, so no late record lands in a later case's folder.
check "lobby started" lobby_started
H1=$WORK/h1-installed
cp -a "$INST" "$H1"
rm -f "$H1/updatelog.txt" "$H1/lobby-ran.txt"
make_release "$WORK/h2" 2 20000
cp "$WORK/h1/data/big.bin" "$WORK/h2/data/big.bin"
publish "$WORK/h2"

for rule in '{"Vadarodazu/readme.txt": {"wrong_bytes": true}}' '{"Vadarodazu/readme.txt": {"gzip": true}}' \
    '{"Vadarodazu.xml": {"status": 500, "body": "Internal Server Error"}}' \
    '{"Vadarodazu.xml": {"status": 200, "body": ""}}'; do
    CASE="answered with $rule"
    rm -rf "$INST" && cp -a "$H1" "$INST"
    printf '%s' "$rule" >"$RULES"
    run_answering
    check "exit status 1" exit_status 1
    check "failure shown" boxes_answered 1
    check "lobby not started" lobby_not_started
    check "installed manifest kept" cmp -s "$H1/Vadarodazu.xml" "$INST/Vadarodazu.xml"
    check "installed files kept" same_tree "$H1" "$INST"
    : >"$RULES"
done

CASE="a release that carries the updater itself"
cp -a "$WORK/h2" "$WORK/h3"
cp "$WBUILD/HalcyraUpdate.exe" "$WORK/h3/HalcyraUpdate.exe"
printf 'new build' >>"$WORK/h3/HalcyraUpdate.exe"
publish "$WORK/h3"
rm -rf "$INST" && cp -a "$H1" "$INST"
run_answering
check "exit status 0" exit_status 0
check "the new exe in place" cmp -s "$WORK/h3/HalcyraUpdate.exe" "$INST/HalcyraUpdate.exe"
check "the running one set aside" test -e "$INST/HalcyraUpdate.exe.old~"
check "lobby started" lobby_started
run_answering
check "the new exe runs: exit status 0" exit_status 0
check "the old copy removed at its next start" test ! -e "$INST/HalcyraUpdate.exe.old~"
check "lobby started" lobby_started
publish "$WORK/h2"

CASE="Brenthor.exe with wrong bytes"
cp -a "$WORK/h2" "$WORK/h4"
printf 'new brenthor' >"$WORK/h4/Brenthor.exe"
publish "$WORK/h4"
rm -rf "$INST" && cp -a "$H1" "$INST"
printf '%s' '{"Vadarodazu/Brenthor.exe": {"wrong_bytes": true}}' >"$RULES"
run_answering
check "exit status 1" exit_status 1
timeout 30 wineserver -w
check "no replacement recorded" not grep -q 'Brenthor' "$WINEPREFIX/system.reg"
: >"$RULES"
publish "$WORK/h2"

CASE="an install folder with a character outside code page 936"
INST="$WORK/install-한국어"
rm -rf "$INST" && mkdir -p "$INST" && cp "$WBUILD/HalcyraUpdate.exe" "$INST/"
before=$(cd "$WORK" && find . -maxdepth 1 | sort)
run_answering
check "exit status 1" exit_status 1
check "the message and the failure shown" boxes_answered 2
check "no other folder created" test "$(cd "$WORK" && find . -maxdepth 1 | sort)" = "$before"
check "nothing written in it" test "$(ls "$INST")" = HalcyraUpdate.exe
hostile_stop

echo "wine-e2e: $PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
