# The Windows updater under Wine and Xvfb, for the end-to-end suites: the Wine loader, a
# private X server and Wine prefix in $WORK, and running the exe in $INST while the
# message boxes it shows are answered. Sourced after nginx.sh and common.sh.
#   wine_start   (needs WBUILD and WORK; sets LOADER, DISPLAY, WINEPREFIX)
#   wine_stop

XVFB_PID=
wine_start() {
    if [ -n "${WINE_LOADER:-}" ]; then
        LOADER=$WINE_LOADER
        [ "$LOADER" = /usr/lib/wine/wine64 ] && export WINEARCH=win64 || export WINEARCH=win32
    elif file "$WBUILD/HalcyraUpdate.exe" | grep -q 'x86-64'; then
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
}
wreg() { timeout 30 "$LOADER" reg add "$@" /f >/dev/null 2>&1; }

wine_stop() {
    WINEPREFIX=$WORK/prefix timeout 20 wineserver -k 2>/dev/null
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    XVFB_PID=
}

UPD_PID=
start_updater() {
    # One updater at a time: a copy still running (a case before that went wrong) would
    # hold the single-instance guard and turn this one away.
    if [ -n "$UPD_PID" ] && ! wait_exit "$UPD_PID" 60; then
        echo "FAIL [$CASE] the updater of the case before was still running: stopped"
        FAILED=$((FAILED + 1))
        kill "$UPD_PID" 2>/dev/null
        WINEPREFIX=$WINEPREFIX timeout 30 wineserver -k 2>/dev/null
    fi
    rm -f "$INST/lobby-ran.txt"
    (cd "$INST" && exec "$LOADER" HalcyraUpdate.exe >/dev/null 2>&1) &
    UPD_PID=$!
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
# Runs the exe to its end, answering every message box; STATUS is its exit status and
# BOXES the number of boxes answered.
run_answering() {
    start_updater
    BOXES=0
    TITLES=
    local box name deadline=$((SECONDS + 240))
    while kill -0 "$UPD_PID" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
        box=$(xdotool search --name '^(HalcyraUpdate|自动更新失败)$' 2>/dev/null | head -n 1)
        # The progress window is briefly named after the program, before it takes its
        # title: Return there would be Cancel. A message box keeps its name.
        if [ -n "$box" ]; then
            sleep 0.3
            name=$(xdotool getwindowname "$box" 2>/dev/null)
            case $name in HalcyraUpdate | 自动更新失败) ;; *) box= ;; esac
        fi
        if [ -n "$box" ]; then
            TITLES="$TITLES$name;"
            answer "$box" Return
            BOXES=$((BOXES + 1))
            sleep 0.5
        fi
        sleep 0.1
    done
    if kill -0 "$UPD_PID" 2>/dev/null; then
        kill "$UPD_PID" 2>/dev/null
        TITLES="${TITLES}still running after 240 s;"
    fi
    wait "$UPD_PID" 2>/dev/null
    STATUS=$?
}
boxes_answered() {  # at least this many
    DETAIL="boxes answered: ${TITLES:-none}"
    [ "$BOXES" -ge "$1" ]
}

