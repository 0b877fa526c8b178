# Sourced by the benches: how long a run took and how much memory it held.

# "wall_s cpu_s peak_kib" of a command, from GNU time (peak 0 where it is missing).
measure() {
    local out
    out=$(mktemp)
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%e %U %S %M' -o "$out" "$@" >/dev/null 2>&1
        awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$out"
    else
        local TIMEFORMAT='%R %U %S'
        { time "$@" >/dev/null 2>&1; } 2>"$out"
        awk '{ printf "%s %.2f 0\n", $1, $2 + $3 }' "$out"
    fi
    rm -f "$out"
}

# The 32-bit Windows exe of the folder FOLDER run there under Wine and Xvfb: "wall_s cpu_s
# peak_kib", the times of Wine and Xvfb together, the peak that of the exe's own process
# (its VmHWM, read until it ends: GNU time would report Xvfb's).
measure_wine() {  # folder
    local out kib pid peak=0
    out=$(mktemp)
    (cd "$1" && measure "$ROOT/scripts/with-i386" xvfb-run -a "$(wine_loader)" HalcyraUpdate.exe \
        >"$out") &
    while kill -0 $! 2>/dev/null; do
        for pid in $(pgrep -f '^HalcyraUpdate\.exe'); do
            kib=$(sed -nE 's/^VmHWM:[[:space:]]*([0-9]+) kB/\1/p' "/proc/$pid/status" 2>/dev/null)
            [ "${kib:-0}" -le "$peak" ] || peak=$kib
        done
        sleep 0.2
    done
    wait $!
    awk -v k="$peak" '{ print $1, $2, k }' "$out"
    rm -f "$out"
}
