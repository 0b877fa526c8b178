# Wine for the Windows tests: the 32-bit product (preset "windows") under 32-bit Wine, in
# a prefix of our own made once per build folder.

windows_test_preset() { echo windows; }
wine_loader() { echo /usr/lib/wine/wine; }

# A Wine prefix of our own, made once per build folder; false (with a line saying so) when
# it could not be made.
wine_env() {
    local preset
    preset=$(windows_test_preset)
    export WINEPREFIX="$ROOT/build/wineprefix-$preset"
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=zh_CN.UTF-8
    export WINEARCH=win32
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating the Wine prefix $WINEPREFIX"
        run_with_i386 timeout 300 "$(wine_loader)" wineboot -i >/dev/null 2>&1 || true
        run_with_i386 timeout 60 wineserver -w || true
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            log "wineboot made no prefix in $WINEPREFIX"
            return 1
        fi
    fi
}
