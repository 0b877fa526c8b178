#!/usr/bin/env bash
# Whole-update benchmark: the Linux updater installs a release of 1500 files (300 MiB)
# from nginx on 127.0.0.1 into an empty install, timed against curl fetching the same
# files (one invocation) plus md5sum over them, in the same run. Then a run with
# nothing changed: its time, and how many files of the install it opened (read with
# strace; the manifests, the log and md5.xml not counted). The release is published
# signed; the same first update by the updater built with the release key (signature,
# serial and a BLAKE2b of every file checked) is timed against the one without. Each timed
# run starts once the files of the one before are written back (sync), so that no run
# pays for another's writes.
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
cd "$ROOT"
configure_and_build linux
build_release_variants linux
. "$ROOT/tests/e2e/nginx.sh"

PORT=$(build_port "$ROOT/build/linux")
B=$ROOT/build/bench/update
mkdir -p "$B"
chmod 755 "$ROOT/build" "$ROOT/build/bench" "$B"
if [ ! -f "$B/release/d14/f1499.bin" ]; then
    rm -rf "$B/release"
    for i in $(seq 0 1499); do
        mkdir -p "$B/release/d$((i / 100))"
        head -c 209715 /dev/urandom >"$B/release/d$((i / 100))/f$i.bin"
    done
fi
rm -rf "$B/www"
mkdir -p "$B/www/DownLoad"
"$ROOT/build/linux/HalcyraPublish" --sign "$RELEASE_KEYS/release.key" "$B/release" \
    "$B/www/DownLoad" >/dev/null
MAIN_PID=$BASHPID
trap '[ "$BASHPID" = "$MAIN_PID" ] && nginx_stop' EXIT
nginx_start "$B/www" "$PORT"

(cd "$B/release" && find . -type f | sed 's|^\./||') >"$B/files"
while read -r f; do
    printf 'url = "http://127.0.0.1:%s/DownLoad/Vadarodazu/%s"\noutput = "%s/ref/%s"\n' "$PORT" "$f" "$B" "$f"
done <"$B/files" >"$B/curl.list"

ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

best_ours=0
best_ref=0
best_signed=0
for round in 1 2 3; do
    rm -rf "$B/install" "$B/ref" "$B/install-signed"
    mkdir -p "$B/install" "$B/ref" "$B/install-signed"
    cp "$ROOT/build/linux/HalcyraUpdate" "$B/install/"
    cp "$ROOT/build/linux-signed/HalcyraUpdate" "$B/install-signed/"
    sync  # the last run's 300 MiB written back first, not during this one
    t=$(date +%s%N)
    (cd "$B/install" && ./HalcyraUpdate >/dev/null 2>&1)
    ours=$(ms_since "$t")
    grep -q . "$B/install/md5.xml"

    sync  # the last run's 300 MiB written back first, not during this one
    t=$(date +%s%N)
    (cd "$B/install-signed" && ./HalcyraUpdate >/dev/null 2>&1)
    signed=$(ms_since "$t")
    grep -q . "$B/install-signed/md5.xml"
    if [ "$best_signed" = 0 ] || [ "$signed" -lt "$best_signed" ]; then best_signed=$signed; fi

    sync  # the last run's 300 MiB written back first, not during this one
    t=$(date +%s%N)
    curl -s --create-dirs -K "$B/curl.list"
    (cd "$B/ref" && xargs md5sum <"$B/files" >/dev/null)
    ref=$(ms_since "$t")
    if [ "$best_ours" = 0 ] || [ "$ours" -lt "$best_ours" ]; then best_ours=$ours; fi
    if [ "$best_ref" = 0 ] || [ "$ref" -lt "$best_ref" ]; then best_ref=$ref; fi
done
for inst in install install-signed; do
    diff -r "$B/release" "$B/$inst" -x HalcyraUpdate -x Update -x md5.xml -x updatelog.txt \
        -x Vadarodazu.xml >/dev/null || { echo "$inst differs from the release" >&2; exit 1; }
done

t=$(date +%s%N)
(cd "$B/install" && ./HalcyraUpdate >/dev/null 2>&1)
nochange=$(ms_since "$t")
(cd "$B/install" && strace -f -qq -e trace=openat -o "$B/trace" ./HalcyraUpdate >/dev/null 2>&1)
opened=$(grep -F "$B/install" "$B/trace" | grep -v ENOENT | grep -v O_DIRECTORY |
    grep -vE 'updatelog.txt|md5.xml|Vadarodazu.xml|/Update/|HalcyraUpdate"' | grep -c 'O_RDONLY' || true)

printf '%-40s %8s\n' case ms
printf '%-40s %8d\n' "first run: HalcyraUpdate" "$best_ours"
printf '%-40s %8d\n' "first run: curl + md5sum" "$best_ref"
printf '%-40s %7.3fx\n' "ratio" "$(awk -v a="$best_ours" -v b="$best_ref" 'BEGIN{print a/b}')"
printf '%-40s %8d\n' "first run: HalcyraUpdate with the key" "$best_signed"
printf '%-40s %7.3fx\n' "signed / unsigned" "$(awk -v a="$best_signed" -v b="$best_ours" 'BEGIN{print a/b}')"
printf '%-40s %8d\n' "no-change run: HalcyraUpdate" "$nochange"
printf '%-40s %8d\n' "no-change run: install files opened" "$opened"
