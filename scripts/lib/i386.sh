# 32-bit programs on a kernel that runs none.
#
# Some kernels are built without IA-32 emulation: execve of an i386 ELF gives ENOEXEC,
# and 32-bit Wine cannot start. There the i386 programs run through qemu-i386 (user
# mode), registered as their interpreter in a binfmt_misc instance of our own: a user
# and mount namespace that maps uids and gids 0-65535 one to one (so nginx can still
# drop to "nobody"), with binfmt_misc mounted afresh inside it. The machine's own
# binfmt_misc is never touched. scripts/with-i386 runs a command that way.
#
# qemu-i386 is the static build from Debian's qemu-user 8 or later: from Debian 13's own
# main, or on Debian 12 from bookworm-backports (10.x; bookworm's own 7.2 makes every
# Wine process spend a minute or more probing memory). Only that one package is
# downloaded (apt-get download) and qemu-i386 unpacked from it into the build folder:
# nothing is installed, and the package's binfmt registrations never run.

QEMU_I386="$ROOT/build/qemu/qemu-i386"

# Whether this kernel (or the binfmt_misc in force here) starts 32-bit x86 programs:
# runs a 93-byte i386 program that only calls exit(0).
runs_i386() {
    local probe rc=0
    probe=$(mktemp /tmp/updater-i386-probe.XXXXXX)
    {
        printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
        printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
        printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
        printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
        printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
        printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'  # mov eax, 1; xor ebx, ebx; int 0x80
    } >"$probe"
    chmod 700 "$probe"
    "$probe" 2>/dev/null || rc=1
    rm -f "$probe"
    return "$rc"
}

# The major version of a qemu-i386 binary, or nothing.
qemu_major() {
    [ -x "$1" ] || return 0
    "$1" --version 2>/dev/null | sed -nE '1s/.*version ([0-9]+)\..*/\1/p' || true
}

have_i386_emulator() {
    local major
    major=$(qemu_major "$QEMU_I386")
    [ -n "$major" ] && [ "$major" -ge 8 ]
}

# The version of qemu-user the release offers (Debian 12: bookworm-backports), as apt
# sees it now; nothing when none is to be had (apt-cache then fails).
qemu_candidate() {
    local target=()
    [ "$SUITE" != bookworm ] || target=(-t bookworm-backports)
    { apt-cache policy "${target[@]}" qemu-user 2>/dev/null || true; } |
        sed -n 's/^ *Candidate: //p' | grep -v '^(none)$' || true
}
# Whether a qemu-user version is one to take: 8 or later (on Debian 12, the backport).
qemu_usable() {
    local major
    [ "$SUITE" != bookworm ] || [[ "$1" == *bpo* ]] || return 1
    major=$(sed -nE 's/^([0-9]+:)?([0-9]+)\..*/\2/p' <<<"$1")
    [ -n "$major" ] && [ "$major" -ge 8 ]
}

ensure_i386_emulator() {
    runs_i386 && return 0
    have_i386_emulator && return 0
    require_supported_suite
    local version
    version=$(qemu_candidate)
    if ! qemu_usable "$version"; then
        ensure_emulator_source || true
        apt_step "apt-get update" apt-get update -q || fail "the package lists could not be read"
        version=$(qemu_candidate)
    fi
    if ! qemu_usable "$version"; then
        log "no qemu-user 8 or later for $SUITE (candidate: ${version:-none})"
        return 1
    fi
    log "fetching qemu-i386 from qemu-user $version"
    local dir
    dir=$(mktemp -d)
    chmod 755 "$dir"  # apt's download user writes here
    if ! (cd "$dir" && apt_step "apt-get download" apt-get download -q "qemu-user=$version"); then
        rm -rf "$dir"
        return 1
    fi
    dpkg-deb --fsys-tarfile "$dir"/qemu-user_*.deb | tar -x -C "$dir" ./usr/bin/qemu-i386
    mkdir -p "$(dirname "$QEMU_I386")"
    install -m 755 "$dir/usr/bin/qemu-i386" "$QEMU_I386"
    rm -rf "$dir"
    if ! have_i386_emulator; then
        log "$QEMU_I386 is not a usable qemu-i386 (version $(qemu_major "$QEMU_I386"))"
        return 1
    fi
}
# run_with_i386 COMMAND...: runs the command where 32-bit programs start; the exit
# status is the command's.
run_with_i386() {
    if runs_i386; then
        "$@"
        return
    fi
    ensure_i386_emulator || return 1
    binfmt_ns "$QEMU_I386" "$@"
}

# binfmt_ns INTERPRETER COMMAND...: runs the command in a user and mount namespace of its
# own whose binfmt_misc hands every i386 ELF program to INTERPRETER; the exit status is
# the command's.
binfmt_ns() {
    local interpreter=$1
    shift
    # unshare(1) in util-linux 2.38 maps more than one id only through newuidmap; as
    # root we write the maps ourselves once the child has entered its namespace.
    local fifo pid ours i rc=0
    fifo=$(mktemp -u /tmp/updater-i386.XXXXXX)
    mkfifo "$fifo"
    # The i386 ELF header (executables and shared objects), as Debian's binfmt.d has it.
    local magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    # The first shell starts before its ids are mapped, and so without capabilities; it
    # waits for the maps, then starts the second, which has them as root of its own
    # namespace. F: the interpreter is opened at registration.
    local setup='
        fail() { echo "with-i386: $1" >&2; exit 125; }
        mount -t binfmt_misc none /proc/sys/fs/binfmt_misc ||
            fail "cannot mount a binfmt_misc of our own (Linux 6.7 or later is needed)"
        printf "%s" ":updater-i386:M::$1:$2:$3:F" >/proc/sys/fs/binfmt_misc/register ||
            fail "cannot register $3 for i386 programs"
        shift 3
        exec "$@"'
    unshare --user --mount --propagation private -- bash -c '
        read -r _ <"$1" || exit 125
        shift
        exec bash -c "$0" i386 "$@"' "$setup" "$fifo" "$magic" "$mask" "$interpreter" "$@" <&0 &
    pid=$!
    ours=$(readlink /proc/self/ns/user)
    for i in $(seq 1 200); do
        [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" != "$ours" ] && break
        sleep 0.01
    done
    if echo '0 0 65536' >"/proc/$pid/uid_map" && echo '0 0 65536' >"/proc/$pid/gid_map"; then
        echo go >"$fifo"
    else
        log "could not map the ids of the private namespace"
        kill "$pid" 2>/dev/null
    fi
    wait "$pid" || rc=$?
    rm -f "$fifo"
    return "$rc"
}
