#!/usr/bin/env bash
# End-to-end tests of the Linux updater against servers and machines that misbehave:
# wrong bytes, error answers, compressed or shifted bodies, endless and dripping
# answers, a closed standard output, an install folder too deep for the paths, the
# updater replacing itself, a damaged install, kills at random moments and a full disk.
# A run that reports success must have every listed file in place; any other run must
# fail, keep the installed manifest and leave no file torn. Prints one line
# "hostile-e2e: N passed, N failed" at the end.
#   tests/e2e/hostile_e2e.sh BUILD_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:?build folder}" && pwd)
. "$HERE/nginx.sh"
. "$HERE/common.sh"
PUBLISH="$BUILD/HalcyraPublish"

# The port of the host the updater was built with.
PORT=$(build_port "$BUILD")
UPDATER=$BUILD/HalcyraUpdate
LOBBY_STANDIN=$BUILD/tests/fake_lobby
WORK=$(mktemp -d /tmp/updater-hostile.XXXXXX)
chmod 755 "$WORK"
WWW=$WORK/www
RULES=$WORK/rules.json
REQUESTS=$WORK/requests.log
MAIN_PID=$BASHPID
TMPFS=
cleanup() {
    [ "$BASHPID" = "$MAIN_PID" ] || return 0
    [ -n "$HOSTILE_PID" ] && kill "$HOSTILE_PID" 2>/dev/null
    nginx_stop
    [ -n "$TMPFS" ] && umount "$TMPFS" 2>/dev/null
    [ -n "${E2E_KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

rules() { printf '%s' "$1" >"$RULES"; }



STATUS=
run_updater() {
    timing
    rm -f "$INST/lobby-ran.txt" "$INST/lobby-fds.txt"
    : >"$REQUESTS"
    (cd "$INST" && timeout 150 ./HalcyraUpdate </dev/null >"${CAPTURE:-$INST}.out" 2>"${CAPTURE:-$INST}.err")
    STATUS=$?
}
only_requested() {  # the one path asked for
    DETAIL=$(tr '\n' ' ' <"$REQUESTS")
    [ "$(cat "$REQUESTS")" = "/DownLoad/$1" ]
}
timing() { [ -n "${E2E_TIMING:-}" ] && echo "$SECONDS s: $CASE" >&2; return 0; }
failure_shown() { grep -qF '更新失败，请到' "${CAPTURE:-$INST}.err"; }
same_file() { cmp -s "$1" "$2"; }

# A failed run: the failure text, exit status 1, no lobby, and the install as it was.
failed_cleanly() {  # install snapshot it must still equal
    check "failure shown" failure_shown
    check "exit status 1" exit_status 1
    check "lobby not started" lobby_not_started
    check "installed manifest kept" same_file "$1/Vadarodazu.xml" "$INST/Vadarodazu.xml"
    check "md5.xml kept" same_file "$1/md5.xml" "$INST/md5.xml"
    check "installed files kept" same_tree "$1" "$INST"
}
succeeded() {  # release
    check "exit status 0" exit_status 0
    check "lobby started" lobby_started
    check "every file in place" same_tree "$1" "$INST"
    check "installed manifest is the server's" same_file "$WWW/DownLoad/Vadarodazu.xml" "$INST/Vadarodazu.xml"
}

mkdir -p "$WWW/DownLoad"
hostile_start || exit 1

# ---- a first install, kept as the state every case starts from ------------------------

CASE="baseline"
make_release "$WORK/v1" 1 100000
publish "$WORK/v1"
new_install base
run_updater
succeeded "$WORK/v1"
check "the descriptors the lobby inherited are the standard streams only" \
    test "$(sort -n "$INST/lobby-fds.txt" | tr '\n' ' ')" = "0 1 2 "
V1=$WORK/v1-installed
cp -a "$INST" "$V1"
rm -f "$V1/updatelog.txt" "$V1/lobby-ran.txt" "$V1/lobby-fds.txt"

make_release "$WORK/v2" 2 100000
cp "$WORK/v1/data/big.bin" "$WORK/v2/data/big.bin"
publish "$WORK/v2"

# ---- files that are not what the manifest lists ---------------------------------------

for rule in '{"wrong_bytes": true}' '{"gzip": true}' '{"shift": 3}' '{"endless": true}'; do
    CASE="readme.txt answered with $rule"
    new_install "r" "$V1"
    rules "{\"Vadarodazu/readme.txt\": $rule}"
    run_updater
    failed_cleanly "$V1"
    check "the cause logged" log_has "下载失败Vadarodazu/readme.txt:"
    check "nothing past the listed size in the temporary tree" \
        test "$(stat -c %s "$INST/Update/Vadarodazu/readme.txt" 2>/dev/null || echo 0)" -le 8
    rules ""
    run_updater
    CASE="$CASE, then a healthy server"
    succeeded "$WORK/v2"
done

CASE="an md5 of 31 characters"
new_install m "$V1"
cp "$WWW/DownLoad/Vadarodazu.xml" "$WORK/manifest.v2"
sed -i -E 's/(filename="readme.txt" md5=")[0-9a-f]/\1/' "$WWW/DownLoad/Vadarodazu.xml"
run_updater
failed_cleanly "$V1"
cp "$WORK/manifest.v2" "$WWW/DownLoad/Vadarodazu.xml"

# Read as UTF-8, a GBK name may keep its bytes or be garbled (a lead byte that UTF-8
# takes for a three-byte sequence swallows what follows). Either way the outcome must
# be honest: every file in place, or a failure that changed nothing.
cp -a "$WORK/v2" "$WORK/v5"
printf 'hm\n' >"$WORK/v5/skin/嗯"
publish "$WORK/v5"
cp "$WWW/DownLoad/Vadarodazu.xml" "$WORK/manifest.v5"
for head in 'declared' 'bom'; do
    CASE="a manifest that calls itself UTF-8 while its names are GBK ($head)"
    new_install u "$V1"
    if [ "$head" = declared ]; then head='<?xml version="1.0" encoding="UTF-8" ?>'; else head=$'\xef\xbb\xbf'; fi
    { printf '%s\n' "$head"; sed 1d "$WORK/manifest.v5"; } >"$WWW/DownLoad/Vadarodazu.xml"
    run_updater
    if [ "$STATUS" = 0 ]; then
        check "reported success: every file in place" same_tree "$WORK/v5" "$INST"
    else
        failed_cleanly "$V1"
    fi
done
publish "$WORK/v2"

# ---- manifests that are no manifest ------------------------------------------------------

for rule in '{"status": 500, "body": "Internal Server Error"}' \
    '{"status": 200, "body": "<!DOCTYPE html>\n<html><head><title>Maintenance</title></head><body><p>Back soon</p></body></html>"}' \
    '{"status": 200, "body": ""}' '{"endless": true}'; do
    CASE="the manifest answered with $(printf '%s' "$rule" | head -c 40)"
    new_install s "$V1"
    rules "{\"Vadarodazu.xml\": $rule}"
    run_updater
    failed_cleanly "$V1"
    check "nothing but the manifest asked for" only_requested Vadarodazu.xml
    check "the downloaded copy is bounded" \
        test "$(stat -c %s "$INST/Update/Vadarodazu.xml" 2>/dev/null || echo 0)" -le 16777216
    rules ""
done

CASE="a manifest that drips one byte every 0.5 s"
new_install d "$V1"
rules '{"Vadarodazu.xml": {"drip": 0.5}}'
start=$(date +%s)
run_updater
took=$(($(date +%s) - start))
failed_cleanly "$V1"
check "the run ended by itself within two minutes (${took} s)" test "$took" -lt 120
check "the stall logged" log_has "传输太慢"
rules ""

CASE="cancelled while the manifest arrives"
new_install c "$V1"
rules '{"Vadarodazu.xml": {"drip": 0.5}}'
(cd "$INST" && timeout --preserve-status -s INT 1 ./HalcyraUpdate </dev/null >"$INST.out" 2>"$INST.err")
STATUS=$?
check "exit status 2" exit_status 2
check "lobby not started" lobby_not_started
check "installed manifest kept" same_file "$V1/Vadarodazu.xml" "$INST/Vadarodazu.xml"
rules ""

# ---- Brenthor.exe ----------------------------------------------------------------------------

CASE="Brenthor.exe with the right length but wrong bytes"
cp -a "$WORK/v2" "$WORK/v3"
printf 'new brenthor\n' >"$WORK/v3/Brenthor.exe"
publish "$WORK/v3"
new_install b "$V1"
rules '{"Vadarodazu/Brenthor.exe": {"wrong_bytes": true}}'
run_updater
failed_cleanly "$V1"
check "not scheduled for the restart" not grep -qs Brenthor "$INST/pending-replacements.txt"
rules ""
run_updater
CASE="Brenthor.exe from a healthy server"
check "exit status 0" exit_status 0
check "scheduled for the restart" grep -qs Brenthor "$INST/pending-replacements.txt"
publish "$WORK/v2"

# ---- the console, the install folder --------------------------------------------------------

CASE="standard output is a pipe whose reader has gone"
new_install p "$V1"
rm -f "$INST/lobby-ran.txt"
(cd "$INST" && timeout 60 ./HalcyraUpdate </dev/null 2>"$INST.err" | true; exit "${PIPESTATUS[0]}")
STATUS=$?
succeeded "$WORK/v2"
check "the log is complete" log_has "下载好了"

CASE="an install folder too deep for the paths"
deep=$WORK/$(printf 'd%.0s' $(seq 1 120))/$(printf 'e%.0s' $(seq 1 120))/$(printf 'f%.0s' $(seq 1 40))
mkdir -p "$deep"
cp "$BUILD/HalcyraUpdate" "$deep/"
: >"$REQUESTS"
touch "$WORK/deep.start"
sleep 1  # file times in whole seconds on some file systems
(cd "$deep" && timeout 60 ./HalcyraUpdate </dev/null >"$WORK/deep.out" 2>"$WORK/deep.err")
STATUS=$?
check "the run ends by itself" test "$STATUS" != 124
check "exit status 1" exit_status 1
check "failure shown" grep -qF '更新失败，请到' "$WORK/deep.err"
check "no log written at the top of the file system" not test /updatelog.txt -nt "$WORK/deep.start"
check "nothing fetched" test ! -s "$REQUESTS"

CASE="a release that carries the updater itself"
cp -a "$WORK/v2" "$WORK/v4"
cp "$BUILD/HalcyraUpdate" "$WORK/v4/HalcyraUpdate"
printf 'new build' >>"$WORK/v4/HalcyraUpdate"
publish "$WORK/v4"
new_install o "$V1"
run_updater
succeeded "$WORK/v4"
check "the old updater set aside" test -e "$INST/HalcyraUpdate.old~"
run_updater
check "the new updater runs and succeeds" exit_status 0
check "the old copy removed at its next start" test ! -e "$INST/HalcyraUpdate.old~"
publish "$WORK/v2"

CASE="an installed file cut short while the manifest calls it current"
new_install t "$V1"
run_updater
head -c 500 "$WORK/v2/data/big.bin" >"$INST/data/big.bin"
run_updater
succeeded "$WORK/v2"
check "the damaged file fetched again" grep -q 'big.bin' "$REQUESTS"

# ---- links, special files, hostile folders ----------------------------------------------

OUTSIDE=$WORK/outside
reset_outside() {
    rm -rf "$OUTSIDE"
    mkdir -p "$OUTSIDE/photos"
    printf 'beach' >"$OUTSIDE/photos/beach.jpg"
    printf 'root only' >"$OUTSIDE/secret.conf"
    chmod 600 "$OUTSIDE/secret.conf"
}
outside_untouched() {
    [ "$(cd "$OUTSIDE" && find . | sort | tr '\n' ' ')" = ". ./photos ./photos/beach.jpg ./secret.conf " ] &&
        [ "$(cat "$OUTSIDE/photos/beach.jpg")" = beach ] && [ "$(cat "$OUTSIDE/secret.conf")" = "root only" ]
}
is_real_folder() { [ -d "$1" ] && [ ! -L "$1" ]; }
is_real_file() { [ -f "$1" ] && [ ! -L "$1" ]; }

for planted in Update Update/Vadarodazu Update/Vadarodazu/skin; do
    CASE="the temporary folder $planted is a link to a folder outside"
    reset_outside
    new_install l "$V1"
    rm -rf "${INST:?}/$planted"
    mkdir -p "$(dirname "$INST/$planted")"
    ln -s "$OUTSIDE/photos" "$INST/$planted"
    chown -h nobody "$INST/$planted" 2>/dev/null
    run_updater
    succeeded "$WORK/v2"
    check "nothing created, written or deleted outside" outside_untouched
    check "a real folder in its place" is_real_folder "$INST/$planted"
done

CASE="a link planted in the temporary tree where a download goes"
reset_outside
new_install l "$V1"
mkdir -p "$INST/Update/Vadarodazu"
ln -s "$OUTSIDE/secret.conf" "$INST/Update/Vadarodazu/readme.txt"
run_updater
succeeded "$WORK/v2"
check "the file it pointed to is untouched" outside_untouched
check "the installed file is a real file" is_real_file "$INST/readme.txt"

CASE="an installed file that is a link"
reset_outside
new_install l "$V1"
rm "$INST/readme.txt"
ln -s "$OUTSIDE/secret.conf" "$INST/readme.txt"
run_updater
succeeded "$WORK/v2"
check "replaced by a real file, not written through" is_real_file "$INST/readme.txt"
check "the file it pointed to is untouched" outside_untouched

CASE="a folder of the install that is a link"
reset_outside
new_install l "$V1"
cp -a "$INST/skin/." "$OUTSIDE/photos/" && rm -rf "$INST/skin"
ln -s "$OUTSIDE/photos" "$INST/skin"
cp -a "$OUTSIDE" "$WORK/outside-before"
run_updater
check "failure shown" failure_shown
check "exit status 1" exit_status 1
check "the cause logged" log_has "安装目录中有链接"
check "nothing written through it" diff -r "$WORK/outside-before" "$OUTSIDE"
rm -rf "$WORK/outside-before"

for where in install temporary; do
    CASE="a pipe named like an entry in the $where tree"
    new_install f "$V1"
    if [ "$where" = install ]; then
        rm "$INST/data/big.bin"
        mkfifo "$INST/data/big.bin"
    else
        mkdir -p "$INST/Update/Vadarodazu"
        rm "$INST/Vadarodazu.xml"  # no installed manifest: the temporary copy is looked at
        mkfifo "$INST/Update/Vadarodazu/readme.txt"
    fi
    run_updater
    check "the run ends by itself" test "$STATUS" != 124
    for f in "$INST/data/big.bin" "$INST/Update/Vadarodazu/readme.txt"; do
        check "no pipe left in place of $(basename "$f")" test ! -p "$f"
        [ -p "$f" ] && rm -f "$f"  # a later comparison would wait on it for ever
    done
    succeeded "$WORK/v2"
done

CASE="a pending list written by another user"
reset_outside
new_install q "$V1"
printf '%s\t%s\n' "$INST/readme.txt" "$OUTSIDE/secret.conf" >"$INST/pending-replacements.txt"
chown nobody "$INST/pending-replacements.txt"
run_updater
check "ignored: nothing moved" outside_untouched
check "said so" grep -q 'ignoring' "$INST.err"
CASE="a pending list anyone may write"
rm -f "$INST/pending-replacements.txt"
printf '%s\t%s\n' "$INST/readme.txt" "$OUTSIDE/secret.conf" >"$INST/pending-replacements.txt"
chmod 666 "$INST/pending-replacements.txt"
run_updater
check "ignored: nothing moved" outside_untouched
CASE="a pending list of our own that points outside"
rm -f "$INST/pending-replacements.txt"
printf '%s\t%s\n' "$INST/readme.txt" "$OUTSIDE/secret.conf" >"$INST/pending-replacements.txt"
chmod 600 "$INST/pending-replacements.txt"
run_updater
check "nothing moved outside the folder" outside_untouched
check "the list is used up" test ! -e "$INST/pending-replacements.txt"

for folder in 'Señor' 'François-Ø' '한국어' 'lobby\new'; do
    CASE="an install folder named $folder"
    mkdir -p "$WORK/names/$folder" "$WORK/names/lobby"
    cp "$BUILD/HalcyraUpdate" "$WORK/names/$folder/"
    before=$(cd "$WORK/names" && find . | sort)
    (cd "$WORK/names/$folder" && timeout 60 ./HalcyraUpdate </dev/null >"$WORK/names.out" 2>"$WORK/names.err")
    STATUS=$?
    check "exit status 1" exit_status 1
    check "says why" grep -q '游戏目录的路径太长，或含有无法表示的字符' "$WORK/names.err"
    check "no other folder created or written" test "$(cd "$WORK/names" && find . | sort)" = "$before"
    rm -rf "$WORK/names"
done

hostile_stop

# ---- kills at random moments ----------------------------------------------------------------

CASE="killed at random moments"
nginx_start "$WWW" "$PORT" || exit 1
make_release "$WORK/k1" 1 100000
for i in $(seq 1 300); do head -c $((20000 + RANDOM * 4)) /dev/urandom >"$WORK/k1/data/f$i.bin"; done
publish "$WORK/k1"
new_install kbase
run_updater
check "the first release installed" exit_status 0
K1=$WORK/k1-installed
cp -a "$INST" "$K1"
cp -a "$WORK/k1" "$WORK/k2"
for f in "$WORK"/k2/data/f*.bin "$WORK/k2/readme.txt"; do printf 'v2' >>"$f"; done
publish "$WORK/k2"
# The digests of both versions of every file, to judge 300 files in one pass.
(cd "$WORK/k1" && find . -type f -print0 | xargs -0 md5sum) >"$WORK/k1.sums"
(cd "$WORK/k2" && find . -type f -print0 | xargs -0 md5sum) >"$WORK/k2.sums"
new_install ktime "$K1"
start=$(date +%s%N)
run_updater
span=$((($(date +%s%N) - start) / 1000000))
check "a full run of the second release" exit_status 0
torn=0 unfinished=0
for i in $(seq 1 20); do
    new_install kill "$K1"
    (cd "$INST" && exec ./HalcyraUpdate </dev/null >/dev/null 2>&1) &
    pid=$!
    sleep "$(awk -v s="$span" -v r="$RANDOM" 'BEGIN { printf "%.3f", s * 1.1 * r / 32768 / 1000 }')"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    # Every installed file of the release is its old or its new version, never a mix.
    bad=$(cd "$INST" && find ./data ./readme.txt -type f -print0 | xargs -0 md5sum |
        awk 'FILENAME != "-" { known[$0] = 1; next } !($0 in known)' "$WORK/k1.sums" "$WORK/k2.sums" -)
    [ -z "$bad" ] || { torn=$((torn + 1)); echo "torn after kill $i: $bad"; }
    run_updater
    if ! exit_status 0 || ! (cd "$INST" && md5sum -c --quiet "$WORK/k2.sums" >/dev/null 2>&1); then
        unfinished=$((unfinished + 1))
    fi
done
check "no installed file torn by 20 kills" test "$torn" = 0
check "every rerun reached the release exactly" test "$unfinished" = 0

# ---- a full disk -------------------------------------------------------------------------------

CASE="a full disk"
make_release "$WORK/f1" 1 100000
for i in $(seq 1 10); do head -c 200000 /dev/urandom >"$WORK/f1/data/f$i.bin"; done
publish "$WORK/f1"
new_install fbase
run_updater
F1=$WORK/f1-installed
cp -a "$INST" "$F1"
rm -f "$F1/updatelog.txt" "$F1/lobby-ran.txt" "$F1/lobby-fds.txt"
cp -a "$WORK/f1" "$WORK/f2"
for f in "$WORK"/f2/data/f*.bin; do head -c 200000 /dev/urandom >"$f"; done
publish "$WORK/f2"
TMPFS=$WORK/small
mkdir -p "$TMPFS"
# Room for the installed release and about half of what the new one brings.
room=$(( $(du -sk "$F1" | cut -f1) + 1200 ))
if mount -t tmpfs -o "size=${room}k" tmpfs "$TMPFS" 2>/dev/null; then
    INST=$TMPFS/lobby
    CAPTURE=$WORK/full-disk  # what the updater prints goes elsewhere than the full disk
    cp -a "$F1" "$INST"
    run_updater
    failed_cleanly "$F1"
    check "the cause logged" log_has "下载失败"
    mount -o remount,size=64m "$TMPFS"
    run_updater
    CASE="a full disk, then space freed"
    succeeded "$WORK/f2"
    CAPTURE=
    umount "$TMPFS" && TMPFS=
else
    echo "SKIP [a full disk] cannot mount a tmpfs here"
fi

echo "hostile-e2e: $PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
