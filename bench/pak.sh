#!/usr/bin/env bash
# A modern game's pak: the Linux updater installs a release holding one 4.5 GiB file
# (random bytes, so that nothing is skipped) from nginx on 127.0.0.1 into an empty
# install, timed against `curl -o` of the same file plus `md5sum` over it, in the same
# run: wall time, CPU time per MiB, and the updater's peak resident memory. With --wine
# the 32-bit Windows exe does the same under Wine and Xvfb (its peak resident memory is
# its working set's). Each timed run starts once the files of the one before are written
# back (sync). Needs about 14 GB of free disk (the release, one installed copy and curl's
# copy).
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
cd "$ROOT"
WINE=0
[ "${1:-}" = --wine ] && WINE=1
configure_and_build linux
if [ "$WINE" = 1 ]; then
    configure_and_build "$(windows_test_preset)"
    wine_env || exit 1
fi
. "$ROOT/tests/e2e/nginx.sh"
. "$ROOT/bench/measure.sh"

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

rm -rf "$B/install" "$B/ref"
mkdir -p "$B/install" "$B/ref"
cp "$ROOT/build/linux/HalcyraUpdate" "$B/install/"
sync
read -r ours_s ours_cpu ours_kib < <(cd "$B/install" && measure ./HalcyraUpdate)
cmp -s "$B/release/paks/world.pak" "$B/install/paks/world.pak" ||
    { echo "the installed pak differs from the release" >&2; exit 1; }
LOG_TAILS="HalcyraUpdate: $(tail -n 2 "$B/install/updatelog.txt" | iconv -f GBK -t UTF-8 | tr '\n' ' ')"
rm -rf "$B/install"
if [ "$WINE" = 1 ]; then
    mkdir -p "$B/install"
    cp "$ROOT/build/$(windows_test_preset)/HalcyraUpdate.exe" "$B/install/"
    sync
    read -r wine_s wine_cpu wine_kib < <(measure_wine "$B/install")
    cmp -s "$B/release/paks/world.pak" "$B/install/paks/world.pak" ||
        { echo "the pak the Windows exe installed differs from the release" >&2; exit 1; }
    LOG_TAILS+=$'\n'"HalcyraUpdate.exe: $(tail -n 2 "$B/install/updatelog.txt" | iconv -f GBK -t UTF-8 | tr '\n' ' ')"
    rm -rf "$B/install"
fi
sync
read -r ref_s ref_cpu _ < <(measure sh -c "curl -s -o '$B/ref/world.pak' \
    'http://127.0.0.1:$PORT/DownLoad/Vadarodazu/paks/world.pak' && md5sum '$B/ref/world.pak'")
rm -rf "$B/ref"

mib=$((SIZE / 1048576))
printf '%-36s %10s %14s %10s\n' case wall_s cpu_ms_per_MiB peak_MiB
printf '%-36s %10s %14.3f %10.1f\n' "first install: HalcyraUpdate" "$ours_s" \
    "$(awk -v c="$ours_cpu" -v m="$mib" 'BEGIN{print c * 1000 / m}')" \
    "$(awk -v k="$ours_kib" 'BEGIN{print k / 1024}')"
[ "$WINE" = 0 ] || printf '%-36s %10s %14.3f %10.1f\n' "first install: HalcyraUpdate.exe, wine" \
    "$wine_s" "$(awk -v c="$wine_cpu" -v m="$mib" 'BEGIN{print c * 1000 / m}')" \
    "$(awk -v k="$wine_kib" 'BEGIN{print k / 1024}')"
printf '%-36s %10s %14.3f %10s\n' "curl -o + md5sum" "$ref_s" \
    "$(awk -v c="$ref_cpu" -v m="$mib" 'BEGIN{print c * 1000 / m}')" -
printf '%-36s %9.3fx %13.3fx\n' "ratio" "$(awk -v a="$ours_s" -v b="$ref_s" 'BEGIN{print a/b}')" \
    "$(awk -v a="$ours_cpu" -v b="$ref_cpu" 'BEGIN{print (b > 0 ? a/b : 0)}')"
[ "$WINE" = 0 ] || printf '%-36s %9.3fx %13.3fx\n' "ratio, wine" \
    "$(awk -v a="$wine_s" -v b="$ref_s" 'BEGIN{print a/b}')" \
    "$(awk -v a="$wine_cpu" -v b="$ref_cpu" 'BEGIN{print (b > 0 ? a/b : 0)}')"
echo "the log's last lines:"
printf '%s\n' "$LOG_TAILS"
