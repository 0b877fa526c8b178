#!/usr/bin/env bash
# A modern game's pak: the Linux updater installs a release holding one 4.5 GiB file
# (random bytes, so that nothing is skipped) from nginx on 127.0.0.1 into an empty
# install, timed against `curl -o` of the same file plus `md5sum` over it, in the same
# run: wall time, CPU time per MiB, and the updater's peak resident memory. Each timed run
# starts once the files of the one before are written back (sync). Needs about 14 GB of
# free disk (the release, one installed copy and curl's copy).
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
cd "$ROOT"
configure_and_build linux
. "$ROOT/tests/e2e/nginx.sh"

PORT=$(build_port "$ROOT/build/linux")
B=$ROOT/build/bench/pak
SIZE=4831838208
mkdir -p "$B"
chmod 755 "$ROOT/build" "$ROOT/build/bench" "$B"
if [ "$(stat -c %s "$B/release/paks/world.pak" 2>/dev/null || echo 0)" != "$SIZE" ]; then
    rm -rf "$B/release"
    mkdir -p "$B/release/paks"
    head -c "$SIZE" /dev/urandom >"$B/release/paks/world.pak"
fi
rm -rf "$B/www"
mkdir -p "$B/www/DownLoad"
"$ROOT/build/linux/HalcyraPublish" "$B/release" "$B/www/DownLoad" >/dev/null
MAIN_PID=$BASHPID
trap '[ "$BASHPID" = "$MAIN_PID" ] && nginx_stop' EXIT
nginx_start "$B/www" "$PORT"

# "wall_s cpu_s peak_kib" of a command, from GNU time (peak 0 where it is missing).
measure() {
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%e %U %S %M' -o "$B/time" "$@" >/dev/null 2>&1
        awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$B/time"
    else
        local TIMEFORMAT='%R %U %S'
        { time "$@" >/dev/null 2>&1; } 2>"$B/time"
        awk '{ printf "%s %.2f 0\n", $1, $2 + $3 }' "$B/time"
    fi
}

rm -rf "$B/install" "$B/ref"
mkdir -p "$B/install" "$B/ref"
cp "$ROOT/build/linux/HalcyraUpdate" "$B/install/"
sync
read -r ours_s ours_cpu ours_kib < <(cd "$B/install" && measure ./HalcyraUpdate)
cmp -s "$B/release/paks/world.pak" "$B/install/paks/world.pak" ||
    { echo "the installed pak differs from the release" >&2; exit 1; }
rm -rf "$B/install"
sync
read -r ref_s ref_cpu _ < <(measure sh -c "curl -s -o '$B/ref/world.pak' \
    'http://127.0.0.1:$PORT/DownLoad/Vadarodazu/paks/world.pak' && md5sum '$B/ref/world.pak'")
rm -rf "$B/ref"

mib=$((SIZE / 1048576))
printf '%-36s %10s %14s %10s\n' case wall_s cpu_ms_per_MiB peak_MiB
printf '%-36s %10s %14.3f %10.1f\n' "first install: HalcyraUpdate" "$ours_s" \
    "$(awk -v c="$ours_cpu" -v m="$mib" 'BEGIN{print c * 1000 / m}')" \
    "$(awk -v k="$ours_kib" 'BEGIN{print k / 1024}')"
printf '%-36s %10s %14.3f %10s\n' "curl -o + md5sum" "$ref_s" \
    "$(awk -v c="$ref_cpu" -v m="$mib" 'BEGIN{print c * 1000 / m}')" -
printf '%-36s %9.3fx %13.3fx\n' "ratio" "$(awk -v a="$ours_s" -v b="$ref_s" 'BEGIN{print a/b}')" \
    "$(awk -v a="$ours_cpu" -v b="$ref_cpu" 'BEGIN{print (b > 0 ? a/b : 0)}')"
