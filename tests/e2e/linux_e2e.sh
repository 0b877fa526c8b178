#!/usr/bin/env bash
# End-to-end tests of the Linux updater: the real program, a real install folder, and
# nginx on 127.0.0.1 serving releases made by the publishing tool. Prints one line
# "e2e: N passed, N failed" at the end; exits non-zero when anything failed.
#   tests/e2e/linux_e2e.sh BUILD_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:?build folder}" && pwd)
. "$HERE/nginx.sh"
. "$HERE/common.sh"
PUBLISH="$BUILD/HalcyraPublish"

PORT=$(build_port "$BUILD")
UPDATER=$BUILD/HalcyraUpdate
LOBBY_STANDIN=$BUILD/tests/fake_lobby
# The lobby itself comes with the first update when the release carries it.
INSTALL_LOBBY=1
WORK=$(mktemp -d /tmp/updater-e2e.XXXXXX)
chmod 755 "$WORK"  # nginx's workers must read it
WWW=$WORK/www
MAIN_PID=$BASHPID
cleanup() {
    [ "$BASHPID" = "$MAIN_PID" ] || return 0
    nginx_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
[ -n "${E2E_KEEP:-}" ] && trap - EXIT


# ---- fixtures ----------------------------------------------------------------------

# Runs the updater in $INST; its stdout and stderr go to $INST.out and $INST.err.
run_updater() {
    rm -f "$INST/lobby-ran.txt"
    : >"$NGINX_DIR/access.log"
    (cd "$INST" && timeout 120 ./HalcyraUpdate </dev/null >"$INST.out" 2>"$INST.err")
}

failure_shown() { grep -qF '更新失败，请到' "$INST.err"; }
requests() { grep -c "GET ${1:-}" "$NGINX_DIR/access.log"; }
same_file() { cmp -s "$1" "$2"; }
installed_manifest_is_servers() { same_file "$INST/Vadarodazu.xml" "$WWW/DownLoad/Vadarodazu.xml"; }
md5xml_records() {  # digest
    [ "$(cat "$INST/md5.xml")" = "$(printf '<root>\r\n    <file md5="%s" />\r\n</root>\r' "$1")" ]
}
server_manifest_md5() { md5sum "$WWW/DownLoad/Vadarodazu.xml" | cut -d' ' -f1; }
no_files_left_in_update() { [ -z "$(find "$INST/Update" -type f 2>/dev/null)" ]; }


# ---- cases ---------------------------------------------------------------------------

mkdir -p "$WWW/DownLoad"
nginx_start "$WWW" "$PORT" || exit 1

CASE="first run"
make_release "$WORK/rel1" 1
publish "$WORK/rel1"
INSTALL_LOBBY= new_install a
run_updater
check "every file installed" same_tree "$WORK/rel1" "$INST"
check "GBK name stored as UTF-8 on disk" test -f "$INST/skin/更新文件.txt"
check "empty file created" test -f "$INST/empty.dat" -a ! -s "$INST/empty.dat"
check "empty file not requested" not grep -q 'empty.dat' "$NGINX_DIR/access.log"
check "installed manifest is the server's" installed_manifest_is_servers
check "md5.xml records the manifest" md5xml_records "$(server_manifest_md5)"
check "downloaded manifest removed" test ! -e "$INST/Update/Vadarodazu.xml"
check "no file left in Update" no_files_left_in_update
check "lobby (installed by this run) started with A" lobby_started
check "log ends with download finished" log_has "下载好了"
check "log numbers lines" log_has "[    1]"
check "no failure shown" not failure_shown

CASE="second run, nothing changed"
run_updater
check "only the manifest fetched" test "$(requests)" = 1
check "lobby started" lobby_started
check "md5.xml still records the manifest" md5xml_records "$(server_manifest_md5)"

CASE="a changed file"
printf 'lobby 2\n' >"$WORK/rel1/readme.txt"
publish "$WORK/rel1"
run_updater
check "manifest and the one changed file fetched" test "$(requests)" = 2
check "changed file installed" same_file "$WORK/rel1/readme.txt" "$INST/readme.txt"
check "lobby started" lobby_started

CASE="first run over a current install without a manifest"
new_install b
cp -r "$WORK/rel1/." "$INST/"
run_updater
check "nothing but the manifest fetched (files digested on disk)" test "$(requests)" = 1
check "installed manifest written" installed_manifest_is_servers
check "lobby started" lobby_started

CASE="a first run keeps verified temporary copies"
new_install r
mkdir -p "$INST/Update/Vadarodazu/data"
cp "$WORK/rel1/data/big.bin" "$INST/Update/Vadarodazu/data/big.bin"
printf 'damaged' >"$INST/Update/Vadarodazu/readme.txt"
run_updater
check "the verified copy is not fetched again" not grep -q 'big.bin' "$NGINX_DIR/access.log"
check "the damaged copy is fetched again" grep -q 'readme.txt' "$NGINX_DIR/access.log"
check "both installed" same_tree "$WORK/rel1" "$INST"
check "lobby started" lobby_started

CASE="Brenthor.exe"
cp "$WORK/rel1/readme.txt" "$WORK/rel1/Brenthor.exe"
printf 'new brenthor\n' >"$WORK/rel1/Brenthor.exe"
publish "$WORK/rel1"
printf 'old brenthor\n' >"$INST/Brenthor.exe"
run_updater
check "not replaced during the run" grep -q 'old brenthor' "$INST/Brenthor.exe"
check "kept in the temporary tree" test -f "$INST/Update/Vadarodazu/Brenthor.exe"
check "replacement recorded" grep -q 'Brenthor.exe' "$INST/pending-replacements.txt"
check "lobby started" lobby_started
run_updater
check "replaced when the updater next starts" grep -q 'new brenthor' "$INST/Brenthor.exe"
check "list of replacements consumed" test ! -e "$INST/pending-replacements.txt"
rm -f "$WORK/rel1/Brenthor.exe"
publish "$WORK/rel1"

CASE="a file in use, answered No"
new_install c
run_updater
printf 'lobby 3\n' >"$WORK/rel1/readme.txt"
publish "$WORK/rel1"
before=$(md5sum <"$INST/readme.txt")
flock -x -o "$INST/readme.txt" sleep 30 &
LOCKER=$!
sleep 0.3
run_updater
check "prompt shown" grep -qF '文件已被打开，请关闭游戏大厅后重试' "$INST.err"
check "installed file unchanged" test "$(md5sum <"$INST/readme.txt")" = "$before"
check "failure shown" failure_shown
check "lobby not started" not lobby_started
check "installed manifest kept" not installed_manifest_is_servers
kill $LOCKER 2>/dev/null
wait $LOCKER 2>/dev/null

CASE="a file in use, Yes while locked, then Yes after release"
flock -x -o "$INST/readme.txt" sleep 30 &
LOCKER=$!
sleep 0.3
rm -f "$INST/lobby-ran.txt"
(
    sleep 1.5
    printf 'y\n'
    sleep 1.5
    kill $LOCKER 2>/dev/null
    sleep 0.3
    printf 'y\n'
    sleep 3
) | (cd "$INST" && timeout 60 script -qfec ./HalcyraUpdate /dev/null >"$INST.err" 2>&1)
wait $LOCKER 2>/dev/null
check "prompt shown twice" test "$(grep -c '文件已被打开' "$INST.err")" -ge 2
check "file installed after release" same_file "$WORK/rel1/readme.txt" "$INST/readme.txt"
check "run went on and finished" log_has "下载好了"
check "lobby started" lobby_started
check "installed manifest is the server's" installed_manifest_is_servers

CASE="server down"
nginx_stop
run_updater
check "failure shown" failure_shown
check "lobby not started" not lobby_started
check "manifest kept" test -s "$INST/Vadarodazu.xml"
nginx_start "$WWW" "$PORT" || exit 1

CASE="an HTML error page instead of the manifest"
mv "$WWW/DownLoad/Vadarodazu.xml" "$WORK/manifest.saved"
run_updater
check "nginx's 404 page refused" failure_shown
check "lobby not started" not lobby_started
mv "$WORK/manifest.saved" "$WWW/DownLoad/Vadarodazu.xml"

CASE="a truncated file on the server"
new_install d
head -c 1000 "$WORK/rel1/data/big.bin" >"$WWW/DownLoad/Vadarodazu/data/big.bin"
run_updater
check "failure shown" failure_shown
check "lobby not started" not lobby_started
check "nothing installed" test ! -e "$INST/readme.txt"
check "no installed manifest with records" test ! -s "$INST/Vadarodazu.xml"
publish "$WORK/rel1"

CASE="a wrong size in the manifest"
new_install e
write_manifest "a.txt|$(md5_of abc)|4"
serve_file a.txt abc
run_updater
check "failure shown" failure_shown
check "not installed" test ! -e "$INST/a.txt"

CASE="upper-case md5"
new_install f
write_manifest "a.txt|$(md5_of abc | tr a-f A-F)|3" "b.txt|$(md5_of xyz)|3"
serve_file a.txt abc
serve_file b.txt xyz
run_updater
check "run fails: a listed file can never be verified" failure_shown
check "lobby not started" not lobby_started
check "listed file with upper-case md5 not installed" test ! -e "$INST/a.txt"
check "logged as not matching" log_has "下载失败Vadarodazu/a.txt:MD5与清单不符"
check "no installed manifest with records" test ! -s "$INST/Vadarodazu.xml"

CASE="1999 entries"
new_install g
lines=()
x_md5=$(md5_of x)
mkdir -p "$WWW/DownLoad/Vadarodazu/m"
for i in $(seq 1 1999); do
    lines+=("m/f$i.txt|$x_md5|1")
    printf x >"$WWW/DownLoad/Vadarodazu/m/f$i.txt"
done
write_manifest "${lines[@]}"
run_updater
check "all 1999 installed" test "$(find "$INST/m" -type f | wc -l)" = 1999
check "lobby started" lobby_started

CASE="2000 entries"
new_install h
write_manifest "${lines[@]}" "m/f2000.txt|$(md5_of x)|1"
serve_file m/f2000.txt x
run_updater
check "only the manifest fetched" test "$(requests)" = 1
check "too many files logged" log_has "要下载的文件太多，更新失败"
check "failure shown" failure_shown
check "lobby not started" not lobby_started

CASE="names that would leave the install folder"
for bad in '../evil.txt' 'a/../../evil.txt' 'C:\\evil.txt' 'a.txt:stream' 'con.txt' 'sub/NUL' \
    'sub/.../x' 'x<y.txt' 'Update/Vadarodazu.xml' 'Update/Vadarodazu/x.txt' 'md5.xml' 'updatelog.txt'; do
    new_install i
    write_manifest "ok.txt|$(md5_of ok)|2" "$bad|$(md5_of evil)|4"
    serve_file ok.txt ok
    run_updater
    check "refused before any download: $bad" test "$(requests)" = 1
    check "log names the entry: $bad" log_has "文件名不合法，更新失败"
    check "failure shown: $bad" failure_shown
    check "nothing written outside: $bad" test ! -e "$WORK/evil.txt" -a ! -e "/etc/evil.txt"
done

CASE="names with a leading separator or a . part stay inside"
new_install l
write_manifest "/etc/evil.txt|$(md5_of ok)|2" "\\\\server\\share\\evil.txt|$(md5_of ok)|2" \
    "./dot.txt|$(md5_of ok)|2"
serve_file etc/evil.txt ok
serve_file server/share/evil.txt ok
serve_file dot.txt ok
run_updater
check "run succeeds" lobby_started
check "installed inside the install folder" test -f "$INST/etc/evil.txt" -a -f "$INST/server/share/evil.txt" -a -f "$INST/dot.txt"
check "nothing written outside" test ! -e /etc/evil.txt

CASE="the publishing tool refuses what the updater would refuse"
for bad in html doctype own-file; do
    rm -rf "$WORK/relbad" && mkdir -p "$WORK/relbad/data"
    printf 'fine' >"$WORK/relbad/data/ok.txt"
    case $bad in
        html) printf '<html><body>help</body></html>' >"$WORK/relbad/help.htm" ;;
        doctype) printf '<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01//EN">' >"$WORK/relbad/doc.htm" ;;
        own-file) mkdir -p "$WORK/relbad/Update" && printf 'x' >"$WORK/relbad/Update/x.txt" ;;
    esac
    "$PUBLISH" "$WORK/relbad" "$WORK/wwwbad" >"$WORK/pub.out" 2>&1
    check "refused: $bad" test $? != 0
    check "says why: $bad" grep -q 'refused:' "$WORK/pub.out"
    check "nothing published: $bad" test ! -e "$WORK/wwwbad/Vadarodazu.xml"
done
rm -rf "$WORK/relbad" && mkdir -p "$WORK/relbad/淺" && printf 'x' >"$WORK/relbad/淺/籠.txt"
"$PUBLISH" "$WORK/relbad" "$WORK/wwwbad" >"$WORK/pub.out" 2>&1
check "a name whose second byte is 0x5C is published" test -f "$WORK/wwwbad/Vadarodazu/$(printf '淺/籠.txt' | iconv -f UTF-8 -t GBK)"

CASE="an abandoned run, then a good one"
publish "$WORK/rel1"
new_install j
nginx_stop
nginx_start "$WWW" "$PORT" "limit_rate 100k;" || exit 1
(cd "$INST" && timeout -s INT 1 ./HalcyraUpdate </dev/null >"$INST.out" 2>"$INST.err")
check "cancelled run did not start the lobby" not lobby_started
check "no half-written installed file" test ! -e "$INST/data/big.bin"
nginx_stop
nginx_start "$WWW" "$PORT" || exit 1
run_updater
check "next run completes" same_tree "$WORK/rel1" "$INST"
check "lobby started" lobby_started

CASE="in a terminal, over a slow line"
# As a shell user sees it: the log's lines scroll, the progress line stays below them and
# never shares a line with one; at the end it is gone.
publish "$WORK/rel1"
new_install t
nginx_stop
nginx_start "$WWW" "$PORT" "limit_rate 100k;" || exit 1
tmux -L updater-e2e kill-server 2>/dev/null
tmux -L updater-e2e new-session -d -x 160 -y 50 \
    "cd '$INST' && ./HalcyraUpdate </dev/null; echo \"exit status \$?\"; sleep 30"
poll 10 eval 'tmux -L updater-e2e capture-pane -p | grep -q "total \["'
check "a progress line while it downloads" eval 'tmux -L updater-e2e capture-pane -p | grep -q "下载速度:"'
poll 60 eval 'tmux -L updater-e2e capture-pane -p | grep -q "^exit status"'
SCREEN=$(tmux -L updater-e2e capture-pane -p -S -100)
tmux -L updater-e2e kill-server
nginx_stop
nginx_start "$WWW" "$PORT" || exit 1
log_lines() { iconv -f GBK -t UTF-8 "$INST/updatelog.txt" | tr -d '\r' | tail -n +2; }
check "every log line on a line of its own" test "$(grep -E '^\[ *[0-9]+\]' <<<"$SCREEN")" = "$(log_lines)"
check "no progress line left" not grep -q 'total \[' <<<"$SCREEN"
check "then the run's end" grep -qx 'exit status 0' <<<"$SCREEN"
check "without a terminal, the log's lines alone" test "$(tr -d '\r' <"$WORK/install-a.out")" = "$(
    INST=$WORK/install-a log_lines)"

CASE="a second copy while the first runs"
new_install k
"$BUILD/tests/updater_tests" --guard-hold QVHalcyra 4000 &
HOLDER=$!
sleep 0.5
start=$(date +%s%N)
(cd "$INST" && timeout 20 ./HalcyraUpdate </dev/null >"$INST.out" 2>"$INST.err")
elapsed=$((($(date +%s%N) - start) / 1000000))
check "ends at once (${elapsed} ms)" test "$elapsed" -lt 2000
check "writes no log" test ! -e "$INST/updatelog.txt"
check "shows nothing" test ! -s "$INST.err"
wait $HOLDER

echo "e2e: $PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
