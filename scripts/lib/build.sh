# Configuring and building the CMake presets, and the updater's release variants. The
# tools' output goes to build/logs/; a failure shows its last lines.

# quiet_step LOG WHAT COMMAND...
quiet_step() {
    local out=$1 what=$2 rc=0
    shift 2
    mkdir -p "$(dirname "$out")"
    "$@" >>"$out" 2>&1 || rc=$?
    if [ "$rc" != 0 ]; then
        tail -n 25 "$out" >&2
        fail "$what failed (status $rc; all of it in $out)"
    fi
}

# configure_and_build PRESET [TARGET]
configure_and_build() {
    local preset=$1 out="$ROOT/build/logs/$1.log"
    mkdir -p "$ROOT/build/logs"
    : >"$out"
    quiet_step "$out" "configuring $preset" cmake --preset "$preset"
    quiet_step "$out" "building $preset" cmake --build "$ROOT/build/$preset" -j"$JOBS" ${2:+--target "$2"}
    report_warnings "$out" "$preset"
}

# The compiler's warnings in a build's log, named on the terminal (the build is meant to
# have none, with every compiler the set-up installs).
report_warnings() {  # log label
    local n
    n=$(grep -c 'warning:' "$1" || true)
    [ "$n" = 0 ] && return 0
    log "$2: $n compiler warning(s):"
    grep 'warning:' "$1" | sort -u | head -n 10 >&2 || true  # head may end the pipe early
}

# build_release_variants PRESET: the updater alone, from PRESET's settings, built with the
# public key of the test key pair (build/release-key, made once) in build/PRESET-signed,
# with UPDATER_SERVER_SCHEME=https in build/PRESET-https, and for a release in an object
# store (bucket "halcyra", names in URLs as UTF-8) in build/PRESET-s3. Needs build/linux
# (the publishing tool) and PRESET built first: their fetched sources are reused.
RELEASE_KEYS=$ROOT/build/release-key
build_release_variants() {
    local preset=$1 v val extra=() out="$ROOT/build/logs/$1-variants.log"
    [ -f "$RELEASE_KEYS/release.key" ] || "$ROOT/build/linux/HalcyraPublish" keygen "$RELEASE_KEYS" >/dev/null
    for v in TINYXML_SOURCE_DIR SODIUM_SOURCE_DIR; do
        val=$(sed -nE "s/^$v:PATH=(.+)$/\1/p" "$ROOT/build/$preset/CMakeCache.txt")
        [ -z "$val" ] || extra+=("-D$v=$val")
    done
    quiet_step "$out" "configuring $preset-signed" cmake --preset "$preset" -B "$ROOT/build/$preset-signed" \
        -DUPDATER_BUILD_TESTS=OFF "-DUPDATER_RELEASE_PUBKEY=$(cat "$RELEASE_KEYS/release.pub")" "${extra[@]}"
    quiet_step "$out" "building $preset-signed" \
        cmake --build "$ROOT/build/$preset-signed" -j"$JOBS" --target HalcyraUpdate
    quiet_step "$out" "configuring $preset-https" cmake --preset "$preset" -B "$ROOT/build/$preset-https" \
        -DUPDATER_BUILD_TESTS=OFF -DUPDATER_SERVER_SCHEME=https "${extra[@]}"
    quiet_step "$out" "building $preset-https" cmake --build "$ROOT/build/$preset-https" -j"$JOBS" --target HalcyraUpdate
    quiet_step "$out" "configuring $preset-s3" cmake --preset "$preset" -B "$ROOT/build/$preset-s3" \
        -DUPDATER_BUILD_TESTS=OFF -DUPDATER_SERVER_HOST=127.0.0.1:8642/halcyra -DUPDATER_URL_NAMES=utf8 "${extra[@]}"
    quiet_step "$out" "building $preset-s3" cmake --build "$ROOT/build/$preset-s3" -j"$JOBS" --target HalcyraUpdate
    report_warnings "$out" "$preset variants"
}
