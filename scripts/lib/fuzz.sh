# The fuzz targets (tests/fuzz, preset "fuzz").

# Their names: tests/fuzz/fuzz_NAME.cpp.
fuzz_targets() {
    local f
    for f in "$ROOT"/tests/fuzz/fuzz_*.cpp; do
        f=${f##*/fuzz_}
        echo "${f%.cpp}"
    done
}

# run_fuzzer NAME SECONDS CORPUS LOG: runs fuzz_NAME for SECONDS over the folder CORPUS,
# which gains the inputs found; libFuzzer's output goes to LOG. An input that fails is
# kept as build/fuzz/artifacts/NAME-crash-... Returns libFuzzer's status (0: no fault).
run_fuzzer() {
    local name=$1 seconds=$2 corpus=$3 out=$4
    local artifacts="$ROOT/build/fuzz/artifacts"
    local args=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1
                -artifact_prefix="$artifacts/$name-")
    [ -f "$ROOT/tests/fuzz/$name.dict" ] && args+=(-dict="$ROOT/tests/fuzz/$name.dict")
    case $name in
        manifest) args+=(-max_len=65536) ;;  # room for more elements than the array holds
        log) args+=(-max_len=8192) ;;
    esac
    mkdir -p "$artifacts"
    # The time limit is libFuzzer's; the outer one only catches a hang of the run itself.
    timeout $((seconds + 300)) "$ROOT/build/fuzz/tests/fuzz/fuzz_$name" "${args[@]}" "$corpus" >"$out" 2>&1
}

# fuzz_report LOG: one line of a run's numbers: executions, coverage, corpus.
fuzz_report() {
    local out=$1 execs last
    execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$out" | tail -n 1)
    last=$(grep -E '^#[0-9]+.* cov: ' "$out" | tail -n 1)
    if [ -z "$execs" ]; then execs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last"); fi
    printf 'execs %s, cov %s, ft %s, corpus %s' "${execs:-?}" \
        "$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")" \
        "$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")" \
        "$(sed -nE 's/.* corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$last")"
}

# fuzz_failure LOG: what a failed run reported (to stderr).
fuzz_failure() {
    grep -E -A1 'check failed|ERROR: AddressSanitizer|runtime error' "$1" | head -n 12 >&2 || true
    grep -E 'SUMMARY: |Test unit written' "$1" >&2 || true
}
