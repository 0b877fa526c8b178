# The Linux updater as run.sh runs it: ./HalcyraUpdate in the install folder, standard
# input closed (a question is answered No), standard output and error in $OUT and $ERR,
# where a failure shows as "更新失败，请到 ...". Replacements of files in use are listed in
# pending-replacements.txt and made as the updater next starts. Also the cases that need
# a terminal.

EXE=HalcyraUpdate
LOBBY_STANDIN=$BUILD/tests/fake_lobby
EOL=$'\n'
OUT=$WORK/out.txt
ERR=$WORK/err.txt

target_start() { :; }
target_stop() { kill_holder; }

# Runs the updater of $INST to its end ($RUN: cancel sends Ctrl-C once a file's download
# has begun, kill sends SIGKILL once 200 kB of data/big.bin are on disk, pipe gives it a
# standard output whose reader has gone); STATUS is its exit status.
target_run() {
    rm -f "$INST/lobby-ran.txt" "$INST/lobby-fds.txt"
    case $RUN in
        cancel) run_cancelled ;;
        kill) run_killed ;;
        pipe) (cd "$INST" && timeout 60 "./$EXE" </dev/null 2>"$ERR" | true; exit "${PIPESTATUS[0]}") ;;
        *) (cd "$INST" && timeout 150 "./$EXE" </dev/null >"$OUT" 2>"$ERR") ;;
    esac
    STATUS=$?
}
downloads_begun() {  # count: "开始下载" lines in the log (the manifest's is the first)
    local n
    n=$(LC_ALL=C grep -c "$(gbk 开始下载)" "$INST/updatelog.txt" 2>/dev/null)
    [ "${n:-0}" -ge "$1" ]
}
# A command put in the background has Ctrl-C ignored: env gives the updater the default
# back, and Ctrl-C comes once, as from a terminal.
run_cancelled() {
    (cd "$INST" && exec env --default-signal=INT "./$EXE" </dev/null >"$OUT" 2>"$ERR") &
    local pid=$!
    poll 60 downloads_begun 2
    kill -INT "$pid"
    poll 150 not running "$pid" || kill -KILL "$pid"
    wait "$pid"
}
part_on_disk() { [ "$(stat -c %s "$INST/Update/Vadarodazu/data/big.bin" 2>/dev/null || echo 0)" -ge 200000 ]; }
run_killed() {
    (cd "$INST" && exec "./$EXE" </dev/null >"$OUT" 2>"$ERR") &
    local pid=$!
    poll 60 part_on_disk
    kill -KILL "$pid"
    wait "$pid"
}
# The same in the background, until target_wait_bg; target_started once it holds the
# single-instance guard (taken before the log is opened).
BG_PID=
target_start_bg() {
    rm -f "$INST/lobby-ran.txt"
    (cd "$INST" && exec timeout 150 "./$EXE" </dev/null >"$OUT.bg" 2>"$ERR.bg") &
    BG_PID=$!
}
target_started() { poll 10 test -s "$INST/updatelog.txt"; }
target_wait_bg() {
    wait "$BG_PID"
    STATUS=$?
    mv "$OUT.bg" "$OUT" && mv "$ERR.bg" "$ERR"
}

failure_shown() { grep -qF '更新失败，请到' "$ERR"; }
shown() { grep -qF -- "$1" "$ERR"; }  # text of a message or question
shows_nothing() { [ ! -s "$ERR" ]; }
second_copy_told() { DETAIL=$(head -c 200 "$ERR"); grep -q '^another copy of the updater is running (process [0-9]* of user 0)' "$ERR"; }
native_path() { printf '%s' "$1"; }   # a folder as the updater names it

# A file replaced at the updater's next start.
replacement_pending() { grep -qs "$1" "$INST/pending-replacements.txt"; }
restart() {
    local status=$STATUS
    target_run
    STATUS=$status
}
replacements_done() { [ ! -e "$INST/pending-replacements.txt" ]; }

# A file of the install held in use, as by a running lobby.
HOLDER_PID=
hold() {  # name
    rm -f "$WORK/held"
    (cd "$INST" && exec "$BUILD/tests/hold_file" "$1" 120000 >"$WORK/held") &
    HOLDER_PID=$!
    poll 60 grep -q held "$WORK/held"
}
kill_holder() {
    [ -n "$HOLDER_PID" ] && kill "$HOLDER_PID" 2>/dev/null && wait "$HOLDER_PID" 2>/dev/null
    HOLDER_PID=
    return 0
}

# ---- cases of the terminal --------------------------------------------------------------

target_rows() {
    row "a file in use, answered Yes in a terminal while held, then Yes after release" on=linux \
        log=下载好了 hook=in_use_terminal
    row "in a terminal, over a slow line" on=linux server='nginx limit_rate 100k;' release=v1 install=fresh \
        hook=slow_terminal
}

# A terminal asks with y/n: Yes while the file is held asks again; Yes after it was let
# go installs it and the run goes on.
# Each answer is typed once its question is on the screen.
asked_times() { [ "$(grep -c '文件已被打开，请关闭游戏大厅后重试' "$ERR" 2>/dev/null)" -ge "$1" ]; }
run_in_use_terminal() {
    hold readme.txt
    rm -f "$INST/lobby-ran.txt"
    : >"$ERR"
    (
        poll 60 asked_times 1
        printf 'y\n'
        poll 60 asked_times 2
        local holder=$HOLDER_PID
        kill_holder
        poll 30 not running "$holder"
        printf 'y\n'
        poll 60 test -e "$INST/lobby-ran.txt"
    ) | (cd "$INST" && timeout 120 script -qfec "./$EXE" /dev/null >"$ERR" 2>&1)
    STATUS=$?
    kill_holder
}
check_in_use_terminal() {
    check "asked twice" test "$(grep -c '文件已被打开，请关闭游戏大厅后重试' "$ERR")" -ge 2
}

# As a shell user sees it: the log's lines scroll, the progress line stays below them and
# never shares a line with one; at the end it is gone.
run_slow_terminal() {
    tmux -L updater-e2e kill-server 2>/dev/null
    tmux -L updater-e2e new-session -d -x 160 -y 50 \
        "cd '$INST' && ./$EXE </dev/null; echo \"exit status \$?\"; sleep 30"
    poll 10 eval 'tmux -L updater-e2e capture-pane -p | grep "total \[" >/dev/null'
    check "a progress line while it downloads" eval 'tmux -L updater-e2e capture-pane -p | grep "下载速度:" >/dev/null'
    poll 60 eval 'tmux -L updater-e2e capture-pane -p | grep "^exit status" >/dev/null'
    SCREEN=$(tmux -L updater-e2e capture-pane -p -S -100)
    tmux -L updater-e2e kill-server
    STATUS=$(sed -n 's/^exit status //p' <<<"$SCREEN")
    : >"$ERR"
}
log_lines() { iconv -f GBK -t UTF-8 "$INST/updatelog.txt" | tr -d '\r' | tail -n +2; }
check_slow_terminal() {
    check "every log line on a line of its own" test "$(grep -E '^\[ *[0-9]+\]' <<<"$SCREEN")" = "$(log_lines)"
    check "no progress line left" not grep -q 'total \[' <<<"$SCREEN"
}
