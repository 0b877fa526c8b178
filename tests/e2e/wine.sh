# The Windows updater as run.sh runs it: HalcyraUpdate.exe in the install folder under
# Wine, in a private X server and Wine prefix in $WORK, every message box answered with
# xdotool (a question No, a message OK): a failure shows as a box named HalcyraUpdate.
# Replacements of files in use are PendingFileRenameOperations in the prefix's registry,
# made when Wine restarts (wineboot -r). Also the cases of the window: screenshots, the
# skin, Cancel, Escape and Enter.

EXE=HalcyraUpdate.exe
LOBBY_STANDIN=$BUILD/tests/fake_lobby.exe
EOL=$'\r\n'
# Under emulation a program can take seconds to start: wait up to a minute for the lobby.
LOBBY_WAIT_SECONDS=60
LOBBY_SETTLE=0.5
WBUILD=$BUILD

XVFB_PID=
target_start() {
    if [ -n "${WINE_LOADER:-}" ]; then
        LOADER=$WINE_LOADER
        [ "$LOADER" = /usr/lib/wine/wine64 ] && export WINEARCH=win64 || export WINEARCH=win32
    elif file "$WBUILD/HalcyraUpdate.exe" | grep 'x86-64' >/dev/null; then
        LOADER=/usr/lib/wine/wine64
        export WINEARCH=win64
    else
        LOADER=/usr/lib/wine/wine
        export WINEARCH=win32
    fi
    local n
    for n in $(seq 90 99); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        # A window made before the server listens would not be made at all.
        poll 10 test -S "/tmp/.X11-unix/X$n" || { echo "Xvfb did not start" >&2; return 1; }
        break
    done
    export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=zh_CN.UTF-8
    timeout 120 "$LOADER" wineboot -i >/dev/null 2>&1
    # Unmanaged windows (a closed window otherwise costs seconds under a bare X server),
    # and the CJK font for the window's "宋体".
    wreg 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N
    wreg 'HKCU\Software\Wine\Fonts\Replacements' /v '宋体' /t REG_SZ /d 'WenQuanYi Micro Hei'
    wreg 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /t REG_SZ /d 'WenQuanYi Micro Hei'
    timeout 30 wineserver -w
    [ -f "$WINEPREFIX/system.reg" ] || { echo "no Wine prefix could be made" >&2; return 1; }
}
wreg() { timeout 30 "$LOADER" reg add "$@" /f >/dev/null 2>&1; }

target_stop() {
    kill_holder
    # Then wait: the server writes the prefix's registry as it ends.
    WINEPREFIX=$WORK/prefix timeout 20 wineserver -k 2>/dev/null
    WINEPREFIX=$WORK/prefix timeout 20 wineserver -w 2>/dev/null
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    XVFB_PID=
}

# ---- running the exe, answering its boxes

UPD_PID=
start_updater() {
    # One updater at a time: a copy still running (a case before that went wrong) would
    # hold the single-instance guard and turn this one away.
    if [ -n "$UPD_PID" ] && ! wait_exit "$UPD_PID" 60; then
        echo "FAIL [$CASE] the updater of the case before was still running: stopped"
        FAILED=$((FAILED + 1))
        kill "$UPD_PID" 2>/dev/null
        timeout 30 wineserver -k 2>/dev/null
    fi
    rm -f "$INST/lobby-ran.txt"
    (cd "$INST" && exec "$LOADER" "$EXE" >/dev/null 2>>"$WORK/wine.err") &
    UPD_PID=$!
    BOXES=0
    TITLES=
}
wait_exit() { poll "${2:-60}" not running "$1"; }  # pid seconds
find_window() {  # exact name, seconds -> window id on stdout
    local i w
    for i in $(seq 1 $((${2:-60} * 10))); do
        w=$(xdotool search --name "^$1\$" 2>/dev/null | head -n 1)
        [ -n "$w" ] && { echo "$w"; return 0; }
        sleep 0.1
    done
    return 1
}
window_count() { xdotool search --name "^$1\$" 2>/dev/null | wc -l; }
no_window() { [ "$(window_count "$1")" = 0 ]; }
answer() {  # window key
    xdotool windowfocus --sync "$1" key "$2" 2>/dev/null || xdotool key --window "$1" "$2"
}
# The updater's message boxes up now: its windows that Wine gives a frame and a caption
# (Motif decorations: Wine 8), the X type of a dialog (a box the progress window owns) or,
# undecorated (Wine 10), a close function (Motif functions 0x20) while not named as the
# progress window, a bare popup that takes the close function only while a box is up.
boxes() {
    local w props
    for w in $(xdotool search --onlyvisible --class '^halcyraupdate\.exe$' 2>/dev/null); do
        # The progress window (its built-in background, or the skin row's), named or not yet.
        case $(xdotool getwindowgeometry "$w" 2>/dev/null | awk '/Geometry:/ { print $2 }') in
            368x91 | 420x130) continue ;;
        esac
        props=$(xprop -id "$w" _MOTIF_WM_HINTS _NET_WM_WINDOW_TYPE 2>/dev/null)
        if grep -qE '_MOTIF_WM_HINTS.*= 0x[0-9a-f]+, 0x[0-9a-f]+, 0x[1-9a-f]|_NET_WM_WINDOW_TYPE_DIALOG' <<<"$props" ||
            { grep -qE '_MOTIF_WM_HINTS.*= 0x[0-9a-f]+, 0x[0-9a-f]*[2367abef][0-9a-f],' <<<"$props" &&
                [ "$(xdotool getwindowname "$w" 2>/dev/null)" != 大厅自动更新 ]; }; then
            echo "$w"
        fi
    done
}
# Answers every message box of the updater started last until it ends: a question (警告)
# No, a message OK. STATUS is its exit status, BOXES the number of boxes answered and
# TITLES their names ("(untitled)": a box without one). An updater whose log has not
# grown for 240 s is stopped: however slow the machine, a run that works writes.
# How far the run has come: its log and the bytes of its temporary tree (a large file
# arrives with no line in the log).
run_size() { du -sb "$INST/updatelog.txt" "$INST/Update" 2>/dev/null | cut -f1 | tr '\n' ' '; }
answer_until_exit() {
    local box name deadline=$((SECONDS + 240)) size=-1
    while running "$UPD_PID" && [ "$SECONDS" -lt "$deadline" ]; do
        [ "$(run_size)" = "$size" ] || { size=$(run_size); deadline=$((SECONDS + 240)); }
        box=$(boxes | head -n 1)
        if [ -n "$box" ]; then
            sleep 0.3  # drawn and ready for keys
            # Still a box: a window seen as it was made or went (the progress window not
            # yet named, a box already answered) is none.
            boxes | grep -x "$box" >/dev/null || continue
            name=$(xdotool getwindowname "$box" 2>/dev/null)
            TITLES="$TITLES${name:-(untitled)};"
            BOXES=$((BOXES + 1))
            [ -z "$SHOTS" ] || shot "$box" "$WORK/box-$BOXES-$ROW_NO.png"
            if [ "$name" = 警告 ]; then answer "$box" n; else answer "$box" Return; fi
            sleep 0.5
        fi
        sleep 0.1
    done
    if running "$UPD_PID"; then
        kill "$UPD_PID" 2>/dev/null
        TITLES="${TITLES}still running, its log and its tree unchanged for 240 s;"
    fi
    wait "$UPD_PID" 2>/dev/null
    STATUS=$?
}

# Runs the updater of $INST to its end ($RUN cancel: Cancel clicked in its window while it
# downloads); STATUS is its exit status.
target_run() {
    start_updater
    [ "$RUN" = cancel ] && click_cancel
    answer_until_exit
}
click_cancel() {
    local win t0 closed
    win=$(find_window '大厅自动更新' 90)
    sleep 2.5
    xdotool mousemove --window "$win" 320 76 click 1
    t0=$(date +%s%N)
    poll 30 no_window '大厅自动更新'
    closed=$((($(date +%s%N) - t0) / 1000000))
    check "the window closes at once (${closed} ms)" test "$(window_count '大厅自动更新')" = 0
}
# The same in the background; target_started once its window is up.
BG_PID=
target_start_bg() {
    start_updater
    BG_PID=$UPD_PID
    UPD_PID=
}
target_started() { find_window '大厅自动更新' 90 >/dev/null; }
target_wait_bg() {
    check "only one window" test "$(window_count '大厅自动更新')" = 1
    UPD_PID=$BG_PID
    BOXES=0
    TITLES=
    answer_until_exit
}

# The failure's box is named after the program: untitled when the exe cannot read its own
# path (a folder too deep for it).
failure_shown() { [[ $TITLES == *HalcyraUpdate\;* || $TITLES == *"(untitled);"* ]]; }
# The text of a message or a question: the box that shows it.
shown() {
    DETAIL="boxes answered: ${TITLES:-none}"
    case $1 in
        文件已被打开*) [[ $TITLES == *警告\;* ]] ;;
        游戏目录的路径太长*) [[ $TITLES == *自动更新失败\;* ]] ;;
        *) echo "which box shows \"$1\"?" >&2; return 1 ;;
    esac
}
shows_nothing() { DETAIL="boxes answered: ${TITLES:-none}"; [ "$BOXES" = 0 ]; }
second_copy_told() { shows_nothing; }  # the Windows exe ends without a word
native_path() { printf 'Z:%s' "${1//\//\\}"; }  # a folder as the exe names it

# A file replaced at Windows' next start: the rename of this install's file waits in the
# registry; wineboot -r makes it.
replacement_pending() {
    timeout 30 wineserver -w
    grep -F "$(native_path "$INST" | sed 's/\\/\\\\/g')" "$WINEPREFIX/system.reg" | grep -F "$1" >/dev/null
}
restart() {
    timeout 120 "$LOADER" wineboot -r >/dev/null 2>&1
    timeout 30 wineserver -w
}
replacements_done() { not replacement_pending ""; }

# A file of the install held in use, opened without any sharing as by a running lobby.
HOLDER_PID=
hold() {  # name
    cp "$WBUILD/tests/hold_file.exe" "$WORK/"
    rm -f "$WORK/held"
    (cd "$INST" && exec "$LOADER" "$WORK/hold_file.exe" "$1" 120000 >"$WORK/held" 2>/dev/null) &
    HOLDER_PID=$!
    poll 60 grep -q held "$WORK/held"
}
kill_holder() {
    [ -n "$HOLDER_PID" ] && kill "$HOLDER_PID" 2>/dev/null && wait "$HOLDER_PID" 2>/dev/null
    HOLDER_PID=
    return 0
}

# ---- the window -------------------------------------------------------------------------

target_rows() {
    row "first run, watched while it downloads" on=wine server='nginx limit_rate 100k;' release=big install=empty \
        log=下载好了 hook=watched
    row "a skin file of another size" on=wine server='nginx limit_rate 500k;' release=big install=empty hook=skin
    row "Escape ends the run like Cancel" on=wine server='nginx limit_rate 100k;' release=big install=empty \
        expect=cancelled hook='key Escape'
    row "Enter ends the run like Cancel" on=wine server='nginx limit_rate 100k;' release=big install=empty \
        expect=cancelled hook='key Return'
    row "DLLs planted beside the exe, looked for as Windows does" on=wine install=fresh hook=planted_dlls
    row "no screen to show the window on" on=wine install=fresh expect=- log=无法显示更新窗口 hook=no_screen
    row "the same release installed by the Linux updater: same log and md5.xml" on=wine release=gbk \
        install=empty folder='淺籠 exe' hook=same_as_linux
}

# A DLL of each name the updater loads that is not one of Windows' known DLLs, built for
# the exe's architecture, beside the exe; Wine told to prefer a DLL found on the way to its
# own, as Windows does.
PLANTED=(wininet gdiplus comctl32)
setup_planted_dlls() {
    local cc=i686-w64-mingw32-gcc
    file "$WBUILD/$EXE" | grep x86-64 >/dev/null && cc=x86_64-w64-mingw32-gcc
    [ -f "$WORK/planted.dll" ] || "$cc" -shared -O2 -o "$WORK/planted.dll" "$HERE/planted_dll.c" ||
        { skip "the planted DLL could not be built"; return; }
    local name
    for name in "${PLANTED[@]}"; do cp "$WORK/planted.dll" "$INST/$name.dll"; done
    export WINEDLLOVERRIDES="mscoree,mshtml=;$(IFS=,; echo "${PLANTED[*]}")=n,b"
}
check_planted_dlls() {
    export WINEDLLOVERRIDES="mscoree,mshtml="
    check "no planted DLL loaded" test ! -e "$INST/planted-loaded.txt"
}

# Wine without an X display: no window can be made.
setup_no_screen() { SCREEN_WAS=$DISPLAY && export DISPLAY=:1999; }
check_no_screen() {
    export DISPLAY=$SCREEN_WAS
    check "exit status 1" exit_status 1
    check "lobby not started" lobby_not_started
    install_kept
}

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

# A screenshot of the window once its file bar shows bytes (looked at for up to two
# minutes: however long the start takes on this machine).
shot_filling() {  # window file
    local i
    for i in $(seq 1 240); do
        shot "$1" "$2"
        [ -s "$2" ] && is_bar_colour "$(pixel "$2" 12 41)" && return 0
        sleep 0.5
    done
}
run_watched() {
    start_updater
    local win png=$WORK/window-downloading.png
    win=$(find_window '大厅自动更新' 90)
    check "window shown" test -n "$win"
    check "window is 368 x 91" test "$(geometry "$win")" = "368x91"
    shot_filling "$win" "$png"
    check "file bar part-filled" is_bar_colour "$(pixel "$png" 12 41)"
    check "file bar not full" is_trough_colour "$(pixel "$png" 350 41)"
    check "total bar part-filled" is_bar_colour "$(pixel "$png" 12 56)"
    check "total bar not full" is_trough_colour "$(pixel "$png" 350 56)"
    check "button drawn" not is_bar_colour "$(pixel "$png" 326 77)"
    answer_until_exit
}

setup_skin() {
    mkdir -p "$INST/data"
    convert -size 420x130 gradient:'#2a5d9f-#0d2b55' "BMP3:$INST/data/update.bmp"
}
run_skin() {
    start_updater
    local win
    win=$(find_window '大厅自动更新' 90)
    check "window takes the skin's size" test "$(geometry "$win")" = "420x130"
    shot_filling "$win" "$WORK/window-other-skin.png"
    check "bars keep their place" is_bar_colour "$(pixel "$WORK/window-other-skin.png" 12 41)"
    answer_until_exit
}

run_key() {  # key
    start_updater
    local win
    win=$(find_window '大厅自动更新' 90)
    sleep 1
    answer "$win" "$1"
    poll 30 no_window '大厅自动更新'
    check "$1 closes the window" test "$(window_count '大厅自动更新')" = 0
    answer_until_exit
}

# The log with its line numbers, times and the install folder masked: what is left must
# be the same lines whichever build wrote it.
masked_log() {  # log file, install folder as the program names it
    LC_ALL=C DIR=$(gbk "$2") perl -0777 -pe '
        s/\Q$ENV{DIR}\E/<install>/g;
        s/\[\d\d\/\d\d\/\d\d \d\d:\d\d:\d\d\]/[date]/g;
        s/^\[ *\d+\]\[\d\d:\d\d:\d\d\]/[n][time]/mg' "$1"
}
# With several files in flight, each file's lines come when its first bytes do: the
# same lines, in any order.
same_log() {  # windows-install linux-install
    local win lin
    win=$(masked_log "$1/updatelog.txt" "$(native_path "$1")")
    lin=$(masked_log "$2/updatelog.txt" "$2")
    [ "$(LC_ALL=C sort <<<"$win")" = "$(LC_ALL=C sort <<<"$lin")" ] && return 0
    diff <(iconv -f GBK -t UTF-8 <<<"$win") <(iconv -f GBK -t UTF-8 <<<"$lin") | head -n 20
    return 1
}
check_same_as_linux() {
    local lin
    lin="$(dirname "$INST")/淺籠 linux"
    mkdir -p "$lin" && cp "$LBUILD/HalcyraUpdate" "$lin/"
    (cd "$lin" && timeout 120 ./HalcyraUpdate </dev/null >/dev/null 2>&1)
    check "the Linux updater installs" same_tree "$REL" "$lin"
    check "log holds the same lines" same_log "$INST" "$lin"
    check "log is not empty" test "$(masked_log "$INST/updatelog.txt" x | wc -l)" -gt 5
    check "md5.xml holds the same bytes" same_file "$INST/md5.xml" "$lin/md5.xml"
    check "installed manifests the same" same_file "$INST/Vadarodazu.xml" "$lin/Vadarodazu.xml"
}
