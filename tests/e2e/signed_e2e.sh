#!/usr/bin/env bash
# End-to-end tests of signed releases and of https, for one target (the Linux updater, or
# the Windows exe under Wine and Xvfb), against nginx on 127.0.0.1:
#   - a man in the middle (mitm_proxy.py in front of nginx) swaps a file and rewrites its
#     md5 and size in the manifest: the build without a key installs the attacker's file,
#     the build with the maker's key refuses the run and installs nothing;
#   - a missing, truncated, foreign or other-key signature, a manifest changed after
#     signing, a replayed older release, a file swapped on the server: refused, and the
#     install stays as it was;
#   - the https build against nginx with a certificate of a test CA put in the system's
#     store for the run (root only; skipped otherwise), and against one no CA vouches for.
# Prints "signed-e2e: N passed, N failed" at the end.
#   tests/e2e/signed_e2e.sh BUILD SIGNED_BUILD HTTPS_BUILD LINUX_BUILD KEY_FOLDER
# BUILD is the target's ordinary build (its tests' lobby stand-in is used), SIGNED_BUILD
# the same target built with KEY_FOLDER/release.pub, HTTPS_BUILD with
# UPDATER_SERVER_SCHEME=https; LINUX_BUILD holds HalcyraPublish.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:?build folder}" && pwd)
SIGNED=$(cd "${2:?signed build folder}" && pwd)
HTTPS=$(cd "${3:?https build folder}" && pwd)
LBUILD=$(cd "${4:?Linux build folder}" && pwd)
KEYS=$(cd "${5:?key folder}" && pwd)
. "$HERE/nginx.sh"
. "$HERE/common.sh"
PUBLISH="$LBUILD/HalcyraPublish"
PORT=$(build_port "$SIGNED")
WORK=$(mktemp -d /tmp/updater-signed-e2e.XXXXXX)
chmod 755 "$WORK"
WWW=$WORK/www
CA_FILE=/usr/local/share/ca-certificates/halcyra-updater-test-ca.crt
MAIN_PID=$BASHPID
PROXY_PID=
cleanup() {
    [ "$BASHPID" = "$MAIN_PID" ] || return 0
    nginx_stop
    [ -n "$PROXY_PID" ] && kill "$PROXY_PID" 2>/dev/null
    [ "$WINDOWS" = 1 ] && wine_stop
    if [ -f "$CA_FILE" ] && [ -n "${CA_ADDED:-}" ]; then
        rm -f "$CA_FILE"
        update-ca-certificates >/dev/null 2>&1
    fi
    [ -n "${E2E_KEEP:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

if [ -f "$BUILD/HalcyraUpdate.exe" ]; then
    WINDOWS=1
    EXE=HalcyraUpdate.exe
    WBUILD=$BUILD
    LOBBY_STANDIN=$BUILD/tests/fake_lobby.exe
    EOL=$'\r\n'
    LOBBY_WAIT_SECONDS=20
    . "$HERE/wine.sh"
else
    WINDOWS=0
    EXE=HalcyraUpdate
    LOBBY_STANDIN=$BUILD/tests/fake_lobby
    EOL=$'\n'
    INSTALL_LOBBY=1
fi

# Runs the updater of $INST to its end; STATUS is its exit status. Under Wine every
# message box is answered.
run_once() {
    if [ "$WINDOWS" = 1 ]; then
        run_answering
        return
    fi
    rm -f "$INST/lobby-ran.txt"
    (cd "$INST" && timeout 120 "./$EXE" </dev/null >"$INST.out" 2>"$INST.err")
    STATUS=$?
}
use_build() { UPDATER=$1/$EXE; }
# Requests for files of the release (not the manifest or its signature) nginx answered.
file_requests() { grep -c 'GET /DownLoad/Vadarodazu/' "$NGINX_DIR/access.log"; }
publish_signed() {  # release folder [secret key...]
    local release=$1 key args=()
    shift
    for key in "${@:-$KEYS/release.key}"; do args+=(--sign "$key"); done
    mkdir -p "$WWW/DownLoad"
    "$PUBLISH" "${args[@]}" "$release" "$WWW/DownLoad" >/dev/null
}
same_as() { cmp -s "$1" "$2"; }
# No file of a release in a new install (the updater writes an empty manifest in place
# of a missing one as it starts).
nothing_installed() {
    DETAIL=$(cd "$INST" && find . -type f | sort | tr '\n' ' ')
    [ ! -e "$INST/readme.txt" ] && [ ! -e "$INST/data" ] && [ ! -s "$INST/Vadarodazu.xml" ]
}
refused() {  # log line: exit status 1, the line in the log, no file fetched
    check "exit status 1" exit_status 1
    check "log: $1" log_has "$1"
    check "no file of the release fetched" test "$(file_requests)" = 0
    check "lobby not started" lobby_not_started
}
install_kept() {  # the install to compare with
    check "installed manifest kept" same_as "$1/Vadarodazu.xml" "$INST/Vadarodazu.xml"
    check "installed files kept" same_tree "$1" "$INST"
}

certificate() {  # name subject signing-CA-name (empty: self-signed CA)
    local dir=$WORK/tls
    mkdir -p "$dir"
    openssl req -newkey rsa:2048 -nodes -keyout "$dir/$1.key" -out "$dir/$1.csr" -subj "/CN=$2" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >"$dir/$1.ext"
    openssl x509 -req -in "$dir/$1.csr" -CA "$dir/$3.crt" -CAkey "$dir/$3.key" -CAcreateserial \
        -out "$dir/$1.crt" -days 2 -extfile "$dir/$1.ext" 2>/dev/null
}
authority() {  # name
    mkdir -p "$WORK/tls"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/tls/$1.key" -out "$WORK/tls/$1.crt" \
        -days 2 -subj "/CN=Halcyra updater $1" 2>/dev/null
}

# The test CA goes into the system's store before Wine starts, so that the prefix takes
# it with the system's other certificate authorities.
TLS=0
if [ "$(id -u)" = 0 ] && [ -d /usr/local/share/ca-certificates ]; then
    authority test-ca
    authority rogue-ca
    certificate server 127.0.0.1 test-ca
    certificate rogue 127.0.0.1 rogue-ca
    CA_ADDED=1
    cp "$WORK/tls/test-ca.crt" "$CA_FILE"
    update-ca-certificates >/dev/null 2>&1
    TLS=1
fi
[ "$WINDOWS" = 1 ] && wine_start

make_release "$WORK/rel1" 1 300000
make_release "$WORK/rel2" 2 300000
CASE="the maker's key pair"
keygen() { "$PUBLISH" keygen "$1" >/dev/null 2>&1; }
check "keygen makes a pair" keygen "$WORK/other"
check "the secret key is the owner's alone" test "$(stat -c %a "$WORK/other/release.key")" = 600
check "the public key is one line of 64 hexadecimal digits" \
    grep -qxE '[0-9a-f]{64}' "$WORK/other/release.pub"
cp "$WORK/other/release.key" "$WORK/other-key-before"
check "keygen never overwrites a key" not keygen "$WORK/other"
check "the key kept" same_as "$WORK/other-key-before" "$WORK/other/release.key"
printf 'the attacker was here%s' "$EOL" >"$WORK/evil.txt"

# ---- a man in the middle -------------------------------------------------------------

publish_signed "$WORK/rel1"
UPSTREAM=$((PORT + 100))
nginx_start "$WWW" "$UPSTREAM" || exit 1
python3 "$HERE/mitm_proxy.py" "$PORT" "$UPSTREAM" readme.txt "$WORK/evil.txt" >"$WORK/proxy.log" &
PROXY_PID=$!
poll 5 port_open "$PORT" || { echo "the proxy did not start" >&2; exit 1; }

CASE="man in the middle, the build without a key"
use_build "$BUILD"
new_install mitm-plain
run_once
check "exit status 0: the forged release taken" exit_status 0
check "the attacker's file installed" same_as "$WORK/evil.txt" "$INST/readme.txt"
check "the rest of the release installed" same_as "$WORK/rel1/data/big.bin" "$INST/data/big.bin"

CASE="man in the middle, the build with the maker's key"
use_build "$SIGNED"
new_install mitm-signed
: >"$NGINX_DIR/access.log"
run_once
refused "清单的签名不对，更新失败"
check "nothing installed" nothing_installed
check "the signature was asked for" grep -q 'Vadarodazu.xml.sig$' "$WORK/proxy.log"
kill "$PROXY_PID" 2>/dev/null
wait "$PROXY_PID" 2>/dev/null
PROXY_PID=
nginx_stop

# ---- the maker's server, and forgeries on it -------------------------------------------

nginx_start "$WWW" "$PORT" || exit 1

CASE="a signed release, the build without a key"
use_build "$BUILD"
new_install plain
run_once
check "exit status 0" exit_status 0
check "installed" same_tree "$WORK/rel1" "$INST"

CASE="a signed release, the build with the key"
use_build "$SIGNED"
new_install signed
run_once
check "exit status 0" exit_status 0
check "installed" same_tree "$WORK/rel1" "$INST"
check "installed manifest: the signed bytes" same_as "$WWW/DownLoad/Vadarodazu.xml" "$INST/Vadarodazu.xml"
check "log: signature verified" log_has "清单的签名验证通过"
check "lobby started" lobby_started
S1=$WORK/signed-1
cp -a "$INST" "$S1"
rm -f "$S1/updatelog.txt" "$S1/lobby-ran.txt"
cp "$WWW/DownLoad/Vadarodazu.xml" "$WORK/rel1.xml"
cp "$WWW/DownLoad/Vadarodazu.xml.sig" "$WORK/rel1.sig"

CASE="the next signed release"
publish_signed "$WORK/rel2"
run_once
check "exit status 0" exit_status 0
check "installed" same_tree "$WORK/rel2" "$INST"
check "serial 2 published" grep -q 'serial="2"' "$WWW/DownLoad/Vadarodazu.xml"
# Started late under emulation: let it write its record before the install is copied.
check "lobby started" lobby_started
S2=$WORK/signed-2
cp -a "$INST" "$S2"
rm -f "$S2/updatelog.txt" "$S2/lobby-ran.txt"
cp -a "$WWW" "$WORK/www-2"

make_release "$WORK/rel3" 3 300000
forge() {  # case name, then the install of release 2 is run against what $WWW now holds
    CASE=$1
    INST=$WORK/install-forged
    rm -rf "$INST" && cp -a "$S2" "$INST"
    : >"$NGINX_DIR/access.log"
    run_once
}
restore() { rm -rf "$WWW" && cp -a "$WORK/www-2" "$WWW"; }

restore
publish_signed "$WORK/rel3"
rm "$WWW/DownLoad/Vadarodazu.xml.sig"
forge "release 3 without its signature"
refused "没有拿到清单的签名，更新失败"
install_kept "$S2"

restore
publish_signed "$WORK/rel3"
truncate -s 63 "$WWW/DownLoad/Vadarodazu.xml.sig"
forge "a truncated signature"
refused "清单的签名不对，更新失败"
install_kept "$S2"

restore
publish_signed "$WORK/rel3"
cp "$WORK/rel1.sig" "$WWW/DownLoad/Vadarodazu.xml.sig"
forge "the signature of another manifest"
refused "清单的签名不对，更新失败"
install_kept "$S2"

restore
publish_signed "$WORK/rel3" "$WORK/other/release.key"
forge "signed with another key"
refused "清单的签名不对，更新失败"
install_kept "$S2"

restore
publish_signed "$WORK/rel3"
sed -i 's/size="300000"/size="300001"/' "$WWW/DownLoad/Vadarodazu.xml"
forge "one byte of the manifest changed after signing"
refused "清单的签名不对，更新失败"
install_kept "$S2"

restore
cp "$WORK/rel1.xml" "$WWW/DownLoad/Vadarodazu.xml"
cp "$WORK/rel1.sig" "$WWW/DownLoad/Vadarodazu.xml.sig"
cp -a "$WORK/rel1/." "$WWW/DownLoad/Vadarodazu/"
forge "release 1 served again after release 2"
refused "清单的版本号1低于已安装的2，更新失败"
install_kept "$S2"

restore
publish_signed "$WORK/rel3"
head -c 300000 /dev/urandom >"$WWW/DownLoad/Vadarodazu/data/big.bin"
forge "a file swapped on the server after signing"
check "exit status 1" exit_status 1
check "log: the file refused" log_has "下载失败Vadarodazu/data/big.bin:MD5与清单不符"
check "lobby not started" lobby_not_started
install_kept "$S2"

restore
publish_signed "$WORK/rel3" "$WORK/other/release.key" "$KEYS/release.key"
CASE="release 3 signed with another key and the build's, as while a key is replaced"
INST=$WORK/install-two-keys
rm -rf "$INST" && cp -a "$S2" "$INST"
run_once
check "exit status 0" exit_status 0
check "installed" same_tree "$WORK/rel3" "$INST"
check "two signatures published" test "$(stat -c %s "$WWW/DownLoad/Vadarodazu.xml.sig")" = 128
check "lobby started" lobby_started

restore
"$PUBLISH" "$WORK/rel3" "$WWW/DownLoad" >/dev/null
forge "an unsigned release"
check "the old signature removed by the publishing tool" test ! -e "$WWW/DownLoad/Vadarodazu.xml.sig"
refused "没有拿到清单的签名，更新失败"
install_kept "$S2"
nginx_stop

# ---- https --------------------------------------------------------------------------------

if [ "$TLS" = 0 ]; then
    echo "SKIP https: the test CA can only be put in the system's store as root"
else
    publish_signed "$WORK/rel1"
    use_build "$HTTPS"

    CASE="https, a certificate of a CA in the system's store"
    nginx_start_tls "$WWW" "$PORT" "$WORK/tls/server.crt" "$WORK/tls/server.key" || exit 1
    new_install https
    run_once
    check "exit status 0" exit_status 0
    check "installed" same_tree "$WORK/rel1" "$INST"
    check "fetched over https" grep -q 'GET /DownLoad/Vadarodazu/data/big.bin' "$NGINX_DIR/access.log"
    nginx_stop

    CASE="https, a certificate no CA in the store vouches for"
    nginx_start_tls "$WWW" "$PORT" "$WORK/tls/rogue.crt" "$WORK/tls/rogue.key" || exit 1
    new_install https-rogue
    run_once
    check "exit status 1" exit_status 1
    check "log: the certificate did not verify" log_has "服务器的证书没有通过验证，更新失败"
    check "nothing installed" nothing_installed
    nginx_stop
fi

echo "signed-e2e: $PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
