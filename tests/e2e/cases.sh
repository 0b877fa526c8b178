# The end-to-end cases that run.sh runs, one row each:
#   row NAME on=linux|wine|both [field=value...]
# on       the targets it runs on: what the engine decides the Linux target shows well
#          enough; what differs between the targets (files and names on disk, GBK paths,
#          the updater replacing itself, files in use, message boxes) runs on both.
# server   nginx [DIRECTIVES] (the default: nginx), squid, s3, hostile RULES, mitm, tls NAME,
#          down
# release  what the server serves, made by release_NAME below (default v2); - for an
#          empty server the hook fills
# install  empty (the updater alone), fresh (with the lobby), a saved install (default
#          base: release v1 installed); folder= names the install folder
# run      updater (the default), signed, https, s3 (the builds of those names), cancel
#          (stopped a moment in), kill (killed a moment in), pipe (standard output gone),
#          - (no run)
# expect   installed (the default), kept, nothing, failed, cancelled, - (see run.sh)
# log      a line the updater's log must hold
# asked    what the server must have been asked for: manifest, none, nofiles, names
# shown    a message the user must have been shown (its text)
# absent   paths that must not exist after the run (below the install unless absolute)
# outside  untouched: a folder outside the install ($OUTSIDE) is made before the setup and
#          must be as it was after the run
# hook     NAME [ARGS]: setup_NAME before the run, run_NAME in its place, check_NAME
#          after it, then_NAME after the rerun of then=, each where it exists
# then     rerun against the same server behaving well and expect this outcome
# save     keep the install as it is after the case, for later cases' install=

# ---- releases ---------------------------------------------------------------------------

release_v1() { make_release "$R" 1 && publish_r; }
# Only the text files change: data/big.bin stays.
release_v2() {
    make_release_once v1 && make_release "$R" 2 && cp "$WORK/rel/v1/data/big.bin" "$R/data/big.bin" && publish_r
}
release_v2_brenthor() { based_on v2 && printf 'new brenthor%s' "$EOL" >"$R/Brenthor.exe" && publish_r; }
release_v2_updater() {
    based_on v2 && cp "$BUILD/$EXE" "$R/$EXE" && printf 'new build' >>"$R/$EXE" && publish_r
}
# A name of one character that UTF-8 would read as the lead of a longer one.
release_v2_gbk_tail() { based_on v2 && printf 'hm\n' >"$R/skin/嗯" && publish_r; }
# A pak of 24 MiB (with a block index), then changed in two places: 100 kB overwritten,
# 1000 bytes inserted.
release_delta1() {
    make_release "$R" 1 && mkdir -p "$R/paks" && head -c 25000000 /dev/urandom >"$R/paks/world.pak" &&
        publish_r
}
release_delta2() {
    based_on delta1 || return 1
    local pak=$R/paks/world.pak
    head -c 100000 /dev/urandom | dd of="$pak" bs=100000 seek=5000000 oflag=seek_bytes conv=notrunc \
        status=none
    { head -c 15000000 "$pak" && head -c 1000 /dev/urandom && tail -c +15000001 "$pak"; } >"$pak.new" &&
        mv "$pak.new" "$pak" && publish_r
}
# The same two, signed: the index's digest is in the signed manifest.
release_signed_delta1() { based_on delta1 && publish_r "$KEYS/release.key"; }
release_signed_delta2() {
    make_release_once delta2 && based_on signed_delta1 &&
        cp "$WORK/rel/delta2/paks/world.pak" "$R/paks/world.pak" && publish_r "$KEYS/release.key"
}
# A pak past 4 GiB (4 GiB and 1 MiB): zeros (a hole) but for its last 64 KiB.
PAK_SIZE=4296015872
release_pak() {
    make_release "$R" 1 && mkdir -p "$R/paks" &&
        truncate -s $((PAK_SIZE - 65536)) "$R/paks/world.pak" &&
        head -c 65536 /dev/urandom >>"$R/paks/world.pak" && publish_r
}
# Long enough to watch: 1.5 MB.
release_big() { make_release "$R" 1 1500000 && publish_r; }
# 淺 (9C 5C) and 籠 (BB 5C) end in the byte of "\": a scan that is not GBK-aware takes it
# for a folder separator.
release_gbk() {
    mkdir -p "$R/data/淺籠" "$R/籠"
    printf 'lobby gbk%s' "$EOL" >"$R/readme.txt"
    printf '淺%s' "$EOL" >"$R/data/淺籠/籠.txt"
    : >"$R/data/淺籠/空淺.dat"
    head -c 300000 /dev/urandom >"$R/籠/淺.bin"
    printf '表%s' "$EOL" >"$R/籠/表格.txt"
    cp "$LOBBY_STANDIN" "$R/Halcyra.exe"
    publish_r
}
# 300 files, then every one of them changed.
release_many1() {
    make_release "$R" 1 100000
    for i in $(seq 1 300); do head -c $((20000 + RANDOM * 4)) /dev/urandom >"$R/data/f$i.bin"; done
    publish_r
}
release_many2() {
    based_on many1 || return 1
    for f in "$R"/data/f*.bin "$R/readme.txt"; do printf 'v2' >>"$f"; done
    publish_r
}
# Ten files of 200 kB, then ten others.
release_large1() {
    make_release "$R" 1 100000
    for i in $(seq 1 10); do head -c 200000 /dev/urandom >"$R/data/f$i.bin"; done
    publish_r
}
release_large2() {
    based_on large1 || return 1
    for f in "$R"/data/f*.bin; do head -c 200000 /dev/urandom >"$f"; done
    publish_r
}
release_huge() {
    make_release "$R" 1 && for i in 1 2 3 4; do head -c 50000000 /dev/urandom >"$R/data/h$i.bin"; done && publish_r
}
# Names published as UTF-8 (for an object store), Chinese names among them.
release_utf8_v1() { make_release "$R" 1 && "$PUBLISH" --utf8-names "$R" "$P/DownLoad" >/dev/null; }
release_utf8_v2() { make_release "$R" 2 && "$PUBLISH" --utf8-names "$R" "$P/DownLoad" >/dev/null; }
# Signed with the test key; each based on the one before, so that its serial is one more.
release_signed1() { make_release "$R" 1 300000 && publish_r "$KEYS/release.key"; }
release_signed2() { based_on signed1 && make_release "$R" 2 300000 && publish_r "$KEYS/release.key"; }
release_signed3() { based_on signed2 && make_release "$R" 3 300000 && publish_r "$KEYS/release.key"; }
# The served release is not signed with that key: its serial is taken from the chain's own.
release_signed3_other_key() {
    based_on signed2 && make_release "$R" 3 300000 &&
        "$PUBLISH" --sign "$(other_key)" --serial-file "$P/release.serial" --ignore-served-serial \
            "$R" "$P/DownLoad" >/dev/null
}
release_signed3_both_keys() {
    based_on signed2 && make_release "$R" 3 300000 && publish_r "$(other_key)" "$KEYS/release.key"
}
# Signed to expire in a day.
release_signed3_expiring() {
    based_on signed2 && make_release "$R" 3 300000 &&
        "$PUBLISH" --sign "$KEYS/release.key" --serial-file "$P/release.serial" --expires 1 "$R" \
            "$P/DownLoad" >/dev/null
}
release_signed3_unsigned() { based_on signed2 && make_release "$R" 3 300000 && publish_r; }
# Release 1's signed manifest and files served again over release 2.
release_signed1_again() {
    based_on signed2 || return 1
    cp "$WORK/pub/signed1/DownLoad/Vadarodazu.xml"* "$P/DownLoad/"
    cp -a "$WORK/rel/signed1/." "$P/DownLoad/Vadarodazu/"
    rm -rf "$R" && cp -a "$WORK/rel/signed1" "$R"
}
other_key() {
    [ -f "$WORK/other/release.key" ] || "$PUBLISH" keygen "$WORK/other" >/dev/null 2>&1
    echo "$WORK/other/release.key"
}

# ---- the cases --------------------------------------------------------------------------

# A first install, kept as the state most cases start from.
row "first run" on=both release=v1 install=empty log=下载好了 hook=first_run save=base
row "second run, nothing changed" on=linux release=v1 asked=manifest hook=md5_recorded
row "changed files" on=linux asked='Vadarodazu.xml Vadarodazu/readme.txt Vadarodazu/skin/更新文件.txt'
row "first run over a current install without a manifest" on=linux release=v1 install=fresh asked=manifest \
    hook=release_files
row "a first run keeps verified temporary copies" on=linux release=v1 install=fresh hook=temporary_copies
row "an installed file cut short while the manifest calls it current" on=linux hook=cut_short
row "standard output is a pipe whose reader has gone" on=linux run=pipe log=下载好了
row "a second copy while the first runs" on=both release=big install=empty \
    server="hostile {\"Vadarodazu/data/big.bin\": {\"slow_until\": \"$WORK/second-copy-ended\"}}" \
    hook=second_copy
row "Halcyra.exe swapped for another program while a file downloads" on=linux release=big \
    server="hostile {\"Vadarodazu/data/big.bin\": {\"slow_until\": \"$WORK/lobby-swapped\"}}" expect=failed \
    log=大厅程序与清单不符，更新失败:Halcyra.exe absent=evil-ran.txt hook=lobby_swapped then=installed
row "a release that carries the updater itself" on=both release=v2_updater hook=new_updater then=installed
row "a file in use, answered No" on=both expect=kept shown=文件已被打开，请关闭游戏大厅后重试 hook=in_use
row "Brenthor.exe staged, then swapped for other bytes of its size before the restart" on=linux \
    release=v2_brenthor expect=- hook=brenthor_swapped
row "Brenthor.exe with the right length but wrong bytes, then whole" on=both release=v2_brenthor \
    server='hostile {"Vadarodazu/Brenthor.exe": {"wrong_bytes": true}}' expect=kept hook=brenthor then=installed

# ---- files that are not what the manifest lists
for rule in wrong_bytes gzip shift endless; do
    case $rule in wrong_bytes | gzip) on=both ;; *) on=linux ;; esac
    case $rule in shift) json='"shift": 3' ;; *) json="\"$rule\": true" ;; esac
    row "readme.txt answered with $rule" on=$on server="hostile {\"Vadarodazu/readme.txt\": {$json}}" expect=kept \
        log=下载失败Vadarodazu/readme.txt: hook=temporary_copy_bounded then=installed
done
row "a truncated file on the server" on=linux install=fresh expect=nothing hook=truncated_on_server
row "a wrong size in the manifest" on=linux release=- install=fresh expect=nothing absent=a.txt hook=wrong_size
row "an upper-case md5" on=linux release=- install=fresh expect=nothing absent=a.txt hook=upper_case_md5 \
    log=下载失败Vadarodazu/a.txt:MD5与清单不符
row "an md5 of 31 characters" on=linux expect=kept asked=manifest log=清单中的MD5不合法，更新失败:readme.txt \
    hook=md5_31
# Read as UTF-8, a GBK name may keep its bytes or be garbled (a lead byte that UTF-8
# takes for a three-byte sequence swallows what follows). Either way the outcome must be
# honest: every file in place, or a failure that changed nothing.
row "a manifest that declares itself UTF-8 while its names are GBK" on=linux release=v2_gbk_tail expect=- \
    hook='utf8_manifest declared'
row "a manifest with a UTF-8 BOM while its names are GBK" on=linux release=v2_gbk_tail expect=- \
    hook='utf8_manifest bom'
row "a release of 1999 files" on=linux release=- install=fresh hook='many_files 1999'
row "a release of 2000 files" on=linux release=- install=fresh expect=nothing asked=manifest \
    log=要下载的文件太多，更新失败 hook='many_files 2000'

# ---- manifests that are no manifest, servers that are not there
row "the server down" on=both server=down expect=kept
row "nginx's 404 page instead of the manifest" on=linux expect=kept hook=no_manifest
# The manifest answered with something else: refused, and nothing else asked for.
not_a_manifest=(expect=kept asked=manifest hook=manifest_bounded)
m=Vadarodazu.xml
# A 500 may pass (a deploy, an overloaded backend): asked again twice, then refused.
row "the manifest answered with 500" on=both expect=kept asked="$m $m $m" log=下载中断，1秒后重试 \
    hook=manifest_bounded server="hostile {\"$m\": {\"status\": 500, \"body\": \"Internal Server Error\"}}"
row "the manifest answered with a maintenance page" on=linux "${not_a_manifest[@]}" \
    server="hostile {\"$m\": {\"status\": 200, \"body\": \"<!DOCTYPE html>\\n<html><head><title>Maintenance</title></head><body><p>Back soon</p></body></html>\"}}"
row "the manifest answered empty" on=both "${not_a_manifest[@]}" server="hostile {\"$m\": {\"status\": 200, \"body\": \"\"}}"
row "the manifest answered without end" on=linux "${not_a_manifest[@]}" server="hostile {\"$m\": {\"endless\": true}}"
# Stalls: the window that stalled, one more attempt on a fresh connection, then the end,
# whatever the retries allow.
row "a manifest that drips one byte every 0.5 s" on=linux server="hostile {\"$m\": {\"drip\": 0.5}}" expect=kept \
    log=传输太慢 asked="$m $m" hook=stall_timed
for stall in '"trickle": 2' '"silent": true'; do
    row "data/big.bin answered with $stall" on=linux server="hostile {\"Vadarodazu/data/big.bin\": {$stall}}" \
        release=big install=empty expect=kept log=下载失败Vadarodazu/data/big.bin hook='stall_timed data/big.bin'
done
row "cancelled while the manifest arrives" on=linux server="hostile {\"$m\": {\"drip\": 0.5}}" run=cancel \
    expect=cancelled
row "cancelled during a download, then a good run" on=both server='nginx limit_rate 100k;' release=big \
    install=empty run=cancel expect=cancelled absent=data/big.bin then=installed
row "killed while a large file arrives, then run again" on=linux server='nginx limit_rate 100k;' \
    release=big install=empty run=kill expect=- hook=killed_part then=installed

# ---- names in the manifest and of the install folder
for bad in '../evil.txt' 'a/../../evil.txt' 'C:\\evil.txt' 'a.txt:stream' 'con.txt' 'sub/NUL' \
    'sub/.../x' 'x<y.txt' 'Update/Vadarodazu.xml' 'Update/Vadarodazu/x.txt' 'md5.xml' 'updatelog.txt'; do
    row "a name that would leave the install folder: $bad" on=linux release=- install=fresh expect=nothing \
        asked=manifest log=文件名不合法，更新失败 absent="$WORK/evil.txt /etc/evil.txt" hook="bad_name $bad"
done
row "a name that holds CR LF and a line of the log" on=linux release=- install=fresh expect=nothing asked=manifest \
    log='文件名不合法，更新失败:x.txt\x0D\x0A[    9]' hook=forged_line
row "names with a leading separator or a . part stay inside" on=linux release=- install=fresh \
    absent=/etc/evil.txt hook=leading_separator
row "an install folder with spaces and 淺 籠 in its path" on=both release=gbk install=empty \
    folder='淺 籠/大厅 目录籠' log=下载好了 hook=gbk_names
row "names written with backslashes in the manifest" on=both release=- install=empty hook=backslash_names
deep_or_unrepresentable=游戏目录的路径太长，或含有无法表示的字符
row "an install folder too deep for the paths" on=both install=empty expect=failed asked=none \
    shown=$deep_or_unrepresentable hook=too_deep
for folder in 한국어 Señor François-Ø 'lobby\new'; do
    row "an install folder named $folder" on=$([ "$folder" = 한국어 ] && echo both || echo linux) \
        install=empty folder="$folder" expect=failed shown=$deep_or_unrepresentable hook=unrepresentable_folder
done

# ---- links, special files, hostile folders
for planted in Update Update/Vadarodazu Update/Vadarodazu/skin; do
    row "the temporary folder $planted is a link to a folder outside" on=linux outside=untouched \
        hook="planted_link $planted"
done
row "a link planted in the temporary tree where a download goes" on=linux outside=untouched \
    hook=link_in_temporary_tree
row "an installed file that is a link" on=linux outside=untouched hook=installed_link
row "a folder of the install that is the player's own link to a folder elsewhere" on=linux \
    hook='linked_folder mine'
row "a folder of the install that is another user's link" on=linux expect=failed \
    log=安装目录中有链接 hook='linked_folder theirs'
row "the player's own link, to a path through another user's link" on=linux expect=failed \
    log=安装目录中有链接 hook='linked_folder through'
row "a pipe named like an entry in the install tree" on=linux hook='pipe_planted install'
row "a pipe named like an entry in the temporary tree" on=linux hook='pipe_planted temporary'
for planted in 'Update nobody' 'Update/Vadarodazu nobody' 'Update anyone'; do
    row "another user's temporary tree ($planted) holding a genuine Halcyra.exe" on=linux \
        hook="foreign_tree $planted"
done
row "a part kept in another user's temporary tree" on=linux release=big install=empty hook=foreign_part
row "data/ a link to another file system, the copy's name given to other bytes before its rename" \
    on=linux release=big install=empty expect=failed log=文件没有安装，更新失败 \
    hook=copy_swapped then=installed
row "installed files planted with modes 4777 and 2777" on=linux hook=planted_modes
row "the single-instance guard's name taken by another user" on=linux hook=guard_taken
row "a pending list written by another user" on=linux outside=untouched hook='pending_list other'
row "a pending list anyone may write" on=linux outside=untouched hook='pending_list anyone'
row "a pending list of our own that points outside" on=linux outside=untouched hook='pending_list own'
row "another user's pending list, and a release that carries Brenthor.exe" on=linux release=v2_brenthor \
    outside=untouched hook=foreign_list_brenthor

# ---- kills at random moments, a full disk
row "a release of 300 files" on=linux release=many1 install=empty save=many1
row "killed at random moments" on=linux release=many2 install=many1 hook=kills
row "a release of larger files" on=both release=large1 install=empty save=large1
row "a disk without room for the release, then space freed" on=both release=large2 install=large1 \
    expect=kept asked=manifest log=磁盘空间不足，更新失败 hook=full_disk then=installed

# ---- servers that take few connections per client (nginx's limit_conn answers 503)
for n in 1 2; do
    row "a server that takes $n connection(s) per client, 300 files" on=both release=many1 install=empty \
        server="nginx limit_conn_zone \$binary_remote_addr zone=perip:1m; limit_conn perip $n; limit_conn_status 503; limit_rate 4m; sendfile_max_chunk 16k;" \
        hook=connection_limit
done

# ---- a cache on the way that ignores reloads: release 1, then release 2 published
row "through a caching proxy, a release published after the first update" on=both server=squid release=v1 \
    install=fresh hook=new_release_through_cache

# ---- an object store, which takes keys literally: names published as UTF-8
row "an object store holding the release under the published keys" on=both server=s3 run=s3 release=utf8_v1 \
    install=fresh save=utf8_v1
row "an object store, the next release" on=both server=s3 run=s3 release=utf8_v2 install=utf8_v1

# ---- a link that breaks: each connection reset after 16 MB
row "a link that resets each connection after 16 MB, a release of 200 MB" on=both release=huge install=empty \
    server="flaky 16" log=字节继续下载 hook=bytes_sent

# ---- a modern game's paks: past 4 GiB, sparse but for a tail of its own
row "a release with a pak past 4 GiB, a first install" on=both release=pak install=empty
row "the pak past 4 GiB, gone on from a part kept past 4 GiB" on=both release=pak install=empty \
    log=从第4294967396字节继续下载 hook=pak_resumed

# ---- a changed large file costs only its changed blocks
row "a pak of 24 MiB, a first install" on=both release=delta1 install=empty save=delta1 \
    log=不能按块更新Vadarodazu/paks/world.pak:没有已安装的文件，下载整个文件
row "the pak changed in two places, built from the blocks installed" on=both release=delta2 install=delta1 \
    server="nginx log_format sent '\$body_bytes_sent'; access_log $WORK/sent.log sent;" \
    log=按块更新Vadarodazu/paks/world.pak:下载了 hook=delta_sent
row "the changed pak from a server that takes one range per request" on=both release=delta2 \
    install=delta1 server="nginx max_ranges 1;" log=按块更新Vadarodazu/paks/world.pak:下载了
row "the changed pak from a server that ignores ranges" on=both release=delta2 install=delta1 \
    server="nginx max_ranges 0;" log=不能按块更新Vadarodazu/paks/world.pak:服务器不支持分段下载，下载整个文件
row "the changed pak from a server that sends the wrong part" on=linux release=delta2 install=delta1 \
    server='hostile {"Vadarodazu/paks/world.pak": {"shift": 1000}}' expect=kept \
    log=不能按块更新Vadarodazu/paks/world.pak:服务器返回的分段不对，下载整个文件
row "the changed pak with a block index that is not the manifest's" on=both release=delta2 install=delta1 \
    log=不能按块更新Vadarodazu/paks/world.pak:块索引与清单不符，下载整个文件 hook=delta_index_changed
row "a signed release's pak, a first install" on=both run=signed release=signed_delta1 install=empty \
    save=signed_delta1
row "a signed release's changed pak, built from the blocks installed" on=both run=signed \
    release=signed_delta2 install=signed_delta1 log=按块更新Vadarodazu/paks/world.pak:下载了
row "a signed release's changed pak with a block index that is not the signed manifest's" on=both \
    run=signed release=signed_delta2 install=signed_delta1 hook=delta_index_changed \
    log=不能按块更新Vadarodazu/paks/world.pak:块索引与清单不符，下载整个文件
row "the changed pak, its changed bytes on the server not the listed ones" on=linux release=delta2 \
    install=delta1 expect=kept hook=delta_pak_changed \
    log=不能按块更新Vadarodazu/paks/world.pak:拼出的文件MD5与清单不符，下载整个文件
row "the changed pak from an object store (one range per request)" on=both server=s3 run=s3 \
    release=delta2 install=delta1 log=按块更新Vadarodazu/paks/world.pak:下载了 hook=own_build
row "the changed pak through a caching proxy" on=both server=squid release=delta2 install=delta1 \
    log=按块更新Vadarodazu/paks/world.pak:下载了
row "the changed pak, its first range cut by a reset" on=both release=delta2 install=delta1 \
    server='hostile {"Vadarodazu/paks/world.pak": {"reset_once": 30000}}' log=下载中断 hook=delta_resumed

# ---- the publishing tool
for bad in html doctype own-file block-index-name; do
    row "the publishing tool refuses: $bad" on=linux server=- release=- install=- run=- hook="publish_refused $bad"
done
row "the publishing tool takes a name whose second byte is 0x5C" on=linux server=- release=- install=- run=- \
    hook=publish_5c
row "the maker's key pair" on=linux server=- release=- install=- run=- hook=keygen
row "the publishing tool's progress, on a terminal and in a log" on=linux server=- release=- install=- \
    run=- hook=publish_progress
row "the publishing tool counts only a served serial its key signed" on=linux server=- release=- install=- run=- \
    hook=publish_serials

# ---- signed releases: a man in the middle, forgeries on the maker's server, https
row "man in the middle, the build without a key" on=linux server=mitm release=signed1 install=fresh expect=- \
    hook=forged_taken
row "man in the middle, the build with the maker's key" on=both server=mitm release=signed1 install=fresh \
    run=signed expect=nothing asked=nofiles log=清单的签名不对，更新失败 hook=signature_asked
row "a signed release, the build without a key" on=linux release=signed1 install=fresh
row "a signed release, the build with the key" on=both release=signed1 install=fresh run=signed \
    log=清单的签名验证通过 save=signed1
row "the next signed release" on=linux release=signed2 install=signed1 run=signed hook=serial_2 save=signed2
# Release 2 installed by the signed build, served something it must refuse.
refused=(on=linux install=signed2 run=signed expect=kept asked=nofiles)
sig_bad=清单的签名不对，更新失败
sig_missing=没有拿到清单的签名，更新失败
row "release 3 without its signature" "${refused[@]}" release=signed3 log=$sig_missing hook=signature_removed
row "a truncated signature" "${refused[@]}" release=signed3 log=$sig_bad hook=signature_truncated
row "the signature of another manifest" "${refused[@]}" release=signed3 log=$sig_bad hook=signature_of_release_1
row "signed with another key" "${refused[@]}" release=signed3_other_key log=$sig_bad
row "one byte of the manifest changed after signing" "${refused[@]}" release=signed3 log=$sig_bad \
    hook=manifest_changed
row "release 1 served again after release 2" "${refused[@]}" release=signed1_again \
    log=清单的版本号1低于已安装的2，更新失败
row "an unsigned release" "${refused[@]}" release=signed3_unsigned log=$sig_missing hook=old_signature_removed
row "the installed serial raised by another user" on=linux release=signed3 install=signed2 run=signed \
    log=已安装的清单没有有效的签名，不以它为准 hook=installed_serial_raised
row "a file swapped on the server after signing" on=linux release=signed3 install=signed2 run=signed \
    expect=kept log=下载失败Vadarodazu/data/big.bin:BLAKE2b与清单不符 hook=file_swapped
row "a signed release that expires tomorrow" on=both release=signed3_expiring install=signed1 run=signed \
    log=清单的签名验证通过
row "release 3 signed with another key and the build's, as while a key is replaced" on=linux \
    release=signed3_both_keys install=signed2 run=signed hook=two_signatures
row "https, a certificate of a CA in the system's store" on=both server='tls server' release=signed1 \
    install=fresh run=https hook=over_https
row "https, a certificate no CA in the store vouches for" on=both server='tls rogue' release=signed1 \
    install=fresh run=https expect=nothing log=服务器的证书没有通过验证，更新失败

# ---- hooks ------------------------------------------------------------------------------

md5xml_records() {  # digest
    [ "$(cat "$INST/md5.xml")" = "$(printf '<root>\r\n    <file md5="%s" />\r\n</root>\r' "$1")" ]
}
check_md5_recorded() {
    check "md5.xml records the manifest" md5xml_records "$(md5sum <"$WWW/DownLoad/Vadarodazu.xml" | cut -d' ' -f1)"
}
check_first_run() {
    check_md5_recorded
    check "GBK name stored as UTF-8 on disk" test -f "$INST/skin/更新文件.txt"
    check "empty file created" test -f "$INST/empty.dat" -a ! -s "$INST/empty.dat"
    check "empty file not requested" not was_requested empty.dat
    check "downloaded manifest removed" test ! -e "$INST/Update/Vadarodazu.xml"
    check "no file left in Update" test -z "$(find "$INST/Update" -type f 2>/dev/null)"
    check "log numbers lines" log_has "[    1]"
    [ "$TARGET" = linux ] || return 0
    check "the descriptors the lobby inherited are the standard streams only" \
        test "$(sort -n "$INST/lobby-fds.txt" | tr '\n' ' ')" = "0 1 2 "
    check "without a terminal, standard output holds the log's lines alone" \
        test "$(tr -d '\r' <"$OUT")" = "$(log_lines)"
}

setup_release_files() { cp -r "$REL/." "$INST/"; }
setup_temporary_copies() {
    mkdir -p "$INST/Update/Vadarodazu/data"
    cp "$REL/data/big.bin" "$INST/Update/Vadarodazu/data/big.bin"
    printf 'damaged' >"$INST/Update/Vadarodazu/readme.txt"
}
check_temporary_copies() {
    check "the verified copy is not fetched again" not was_requested data/big.bin
    check "the damaged copy is fetched again" was_requested readme.txt
}
setup_cut_short() { head -c 500 "$REL/data/big.bin" >"$INST/data/big.bin"; }
check_cut_short() { check "the damaged file fetched again" was_requested data/big.bin; }

# The first copy on a slow line; a second, in another folder, ends at once and silently.
# The first copy's big.bin comes slowly until the second copy has ended: the second must
# end while the first still runs, not wait for it.
# Once data/big.bin has begun to arrive (it comes slowly until then), another program
# takes the lobby's name.
setup_lobby_swapped() {
    rm -f "$WORK/lobby-swapped"
    (
        poll 60 downloads_begun 2
        rm -f "$INST/Halcyra.exe"
        printf '#!/bin/sh\ntouch "%s/evil-ran.txt"\n' "$INST" >"$INST/Halcyra.exe"
        chmod 755 "$INST/Halcyra.exe"
        touch "$WORK/lobby-swapped"
    ) &
}
then_lobby_swapped() { check "the other program never started" test ! -e "$INST/evil-ran.txt"; }
setup_second_copy() { rm -f "$WORK/second-copy-ended"; }
run_second_copy() {
    local first=$INST
    target_start_bg
    target_started
    INST=$first-second
    mkdir -p "$INST" && cp "$BUILD/$EXE" "$INST/"
    target_run
    check "the first copy still runs when the second has ended" running "$BG_PID"
    touch "$WORK/second-copy-ended"
    check "a second copy: exit status 3" exit_status 3
    check "a second copy writes no log" test ! -e "$INST/updatelog.txt"
    check "a second copy says so on a terminal only" second_copy_told
    INST=$first
    target_wait_bg
}

check_new_updater() {
    check "the new updater in place" same_file "$REL/$EXE" "$INST/$EXE"
    check "the running one set aside" test -e "$INST/$EXE.old~"
}
then_new_updater() { check "the old copy removed at its next start" test ! -e "$INST/$EXE.old~"; }

setup_in_use() { check "readme.txt held open by another program" hold readme.txt; }
check_in_use() { kill_holder; }

setup_brenthor() { printf 'old brenthor%s' "$EOL" >"$INST/Brenthor.exe"; }
check_brenthor() { check "not scheduled for the restart" not replacement_pending Brenthor.exe; }
then_brenthor() {
    check "lobby started before the restart" lobby_started
    check "not replaced during the run" grep -q 'old brenthor' "$INST/Brenthor.exe"
    check "kept in the temporary tree" same_file "$REL/Brenthor.exe" "$INST/Update/Vadarodazu/Brenthor.exe"
    check "scheduled for the restart" replacement_pending Brenthor.exe
    restart
    check "replaced at the restart" grep -q 'new brenthor' "$INST/Brenthor.exe"
    check "nothing left scheduled" replacements_done
}

setup_brenthor_swapped() { setup_brenthor; }
check_brenthor_swapped() {
    check "scheduled for the restart with its digest" replacement_pending "Brenthor.exe.*md5:"
    printf 'evil brenthr%s' "$EOL" >"$INST/Update/Vadarodazu/Brenthor.exe"
    restart
    check "the swapped file not put in place" not grep -q 'evil' "$INST/Brenthor.exe"
    check "said so" grep -q 'not replacing' "$ERR"
}

check_temporary_copy_bounded() {
    check "nothing past the listed size in the temporary tree" test \
        "$(stat -c %s "$INST/Update/Vadarodazu/readme.txt" 2>/dev/null || echo 0)" -le "$(stat -c %s "$REL/readme.txt")"
}
check_manifest_bounded() {
    check "the downloaded copy is bounded" \
        test "$(stat -c %s "$INST/Update/Vadarodazu.xml" 2>/dev/null || echo 0)" -le 16777216
}
setup_truncated_on_server() { head -c 1000 "$REL/data/big.bin" >"$WWW/DownLoad/Vadarodazu/data/big.bin"; }
setup_wrong_size() { write_manifest "a.txt|$(md5_of abc)|4" && serve_file a.txt abc; }
setup_upper_case_md5() {
    write_manifest "a.txt|$(md5_of abc | tr a-f A-F)|3" "b.txt|$(md5_of xyz)|3"
    serve_file a.txt abc && serve_file b.txt xyz
}
setup_md5_31() { sed -i -E 's/(filename="readme.txt" md5=")[0-9a-f]/\1/' "$WWW/DownLoad/Vadarodazu.xml"; }
setup_utf8_manifest() {  # declared | bom
    local head='<?xml version="1.0" encoding="UTF-8" ?>' xml=$WWW/DownLoad/Vadarodazu.xml
    [ "$1" = declared ] || head=$'\xef\xbb\xbf'
    { printf '%s\n' "$head"; sed 1d "$xml"; } >"$xml.new" && mv "$xml.new" "$xml"
}
check_utf8_manifest() {
    if [ "$STATUS" = 0 ]; then
        check "reported success: every file in place" same_tree "$REL" "$INST"
    else
        expect kept
    fi
}
setup_many_files() {  # count
    local lines=() i x_md5
    x_md5=$(md5_of x)
    mkdir -p "$REL/m"
    for i in $(seq 1 "$1"); do
        lines+=("m/f$i.txt|$x_md5|1")
        printf x >"$REL/m/f$i.txt"
    done
    cp -r "$REL/m" "$WWW/DownLoad/Vadarodazu/"
    write_manifest "${lines[@]}"
}
check_many_files() {
    [ "$1" -lt 2000 ] || return 0
    check "all $1 installed" test "$(find "$INST/m" -type f | wc -l)" = "$1"
}

setup_no_manifest() { rm "$WWW/DownLoad/Vadarodazu.xml"; }

setup_bad_name() {  # name
    write_manifest "ok.txt|$(md5_of ok)|2" "$1|$(md5_of evil)|4"
    serve_file ok.txt ok
}
setup_forged_line() { setup_bad_name 'x.txt&#13;&#10;[    9][00:00:00]清单的签名验证通过'; }
check_forged_line() { check "no forged line" not forged_line_logged; }
forged_line_logged() { iconv -f GBK -t UTF-8 "$INST/updatelog.txt" | grep '^\[    9\]\[00:00:00\]' >/dev/null; }
setup_leading_separator() {
    write_manifest "/etc/evil.txt|$(md5_of ok)|2" "\\\\server\\share\\evil.txt|$(md5_of ok)|2" "./dot.txt|$(md5_of ok)|2"
    serve_file etc/evil.txt ok && serve_file server/share/evil.txt ok && serve_file dot.txt ok
}

# The files a release put in $INST (not the updater's own), sorted.
installed_names() {
    (cd "$INST" && find . -path ./Update -prune -o -type f -print) | sed 's|^\./||' |
        grep -vxE "$EXE|updatelog\.txt|md5\.xml|Vadarodazu\.xml|lobby-ran\.txt|lobby-fds\.txt" | LC_ALL=C sort
}
release_names() { (cd "$1" && find . -type f) | sed 's|^\./||' | LC_ALL=C sort; }
check_gbk_names() {
    check "log names the whole install folder" log_has "当前目录为:$(native_path "$INST")"
    check_md5_recorded
    check "no file installed under another name" test "$(installed_names)" = "$(release_names "$REL")"
    local f
    for f in readme.txt data/淺籠/籠.txt 籠/淺.bin 籠/表格.txt; do check "fetched as $f" fetched_as "$f"; done
    check "empty file not fetched" not was_requested data/淺籠/空淺.dat
    check "every request served" every_request_served
}
setup_backslash_names() {
    serve_file 'data/淺籠/籠.txt' 'one' && serve_file '籠/淺/表.txt' 'two' && serve_file 'top.txt' 'three'
    cp "$LOBBY_STANDIN" "$REL/Halcyra.exe" && cp "$LOBBY_STANDIN" "$WWW/DownLoad/Vadarodazu/Halcyra.exe"
    write_manifest "data\\淺籠\\籠.txt|$(md5_of one)|3" "籠\\淺\\表.txt|$(md5_of two)|3" \
        "top.txt|$(md5_of three)|5" \
        "Halcyra.exe|$(md5sum <"$LOBBY_STANDIN" | cut -d' ' -f1)|$(stat -c %s "$LOBBY_STANDIN")"
}
check_backslash_names() {
    local f
    for f in data/淺籠/籠.txt 籠/淺/表.txt top.txt Halcyra.exe; do check "fetched as $f" fetched_as "$f"; done
    check "every request served" every_request_served
    check "no file installed under another name" test "$(installed_names)" = \
        "$(printf '%s\n' Halcyra.exe data/淺籠/籠.txt top.txt 籠/淺/表.txt | LC_ALL=C sort)"
}

setup_too_deep() {
    INST=$(dirname "$INST")/$(printf 'd%.0s' $(seq 1 120))/$(printf 'e%.0s' $(seq 1 120))/$(printf 'f%.0s' $(seq 1 40))
    mkdir -p "$INST" && cp "$BUILD/$EXE" "$INST/"
    touch "$WORK/deep.start"
    sleep 1  # file times in whole seconds on some file systems
}
check_too_deep() {
    check "the run ends by itself" test "$STATUS" != 124
    check "no log written at the top of the file system" not test /updatelog.txt -nt "$WORK/deep.start"
}
# A folder whose name GBK cannot hold: the updater must work on no other folder.
setup_unrepresentable_folder() {
    mkdir -p "$(dirname "$INST")/lobby"
    FOLDERS_BEFORE=$(cd "$(dirname "$INST")" && find . | sort)
}
check_unrepresentable_folder() {
    check "no other folder created or written" test "$(cd "$(dirname "$INST")" && find . | sort)" = "$FOLDERS_BEFORE"
    check "nothing written in it" test "$(ls "$INST")" = "$EXE"
}

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
setup_planted_link() {  # folder below the install
    rm -rf "${INST:?}/$1"
    mkdir -p "$(dirname "$INST/$1")"
    ln -s "$OUTSIDE/photos" "$INST/$1"
    chown -h nobody "$INST/$1" 2>/dev/null
    return 0
}
check_planted_link() { check "a real folder in its place" is_real_folder "$INST/$1"; }
setup_link_in_temporary_tree() {
    mkdir -p "$INST/Update/Vadarodazu"
    ln -s "$OUTSIDE/secret.conf" "$INST/Update/Vadarodazu/readme.txt"
}
check_link_in_temporary_tree() { check "the installed file is a real file" is_real_file "$INST/readme.txt"; }
setup_installed_link() {
    rm "$INST/readme.txt" && ln -s "$OUTSIDE/secret.conf" "$INST/readme.txt"
}
check_installed_link() { check "replaced by a real file, not written through" is_real_file "$INST/readme.txt"; }
setup_linked_folder() {  # mine | theirs
    reset_outside
    cp -a "$INST/skin/." "$OUTSIDE/photos/" && rm -rf "$INST/skin"
    ln -s "$OUTSIDE/photos" "$INST/skin"
    case $1 in
        theirs) chown -h nobody "$INST/skin" ;;
        through)
            ln -s "$OUTSIDE/photos" "$OUTSIDE/via" && chown -h nobody "$OUTSIDE/via"
            ln -sfn "$OUTSIDE/via" "$INST/skin"
            ;;
    esac
    rm -rf "$WORK/outside-before" && cp -a "$OUTSIDE" "$WORK/outside-before"
}
check_linked_folder() {
    if [ "$1" = mine ]; then
        check "still a link" test -L "$INST/skin"
        check "the folder it leads to updated" diff -r -x beach.jpg "$REL/skin" "$OUTSIDE/photos"
    else
        check "nothing written through it" diff -r "$WORK/outside-before" "$OUTSIDE"
    fi
}
setup_pipe_planted() {  # install | temporary
    if [ "$1" = install ]; then
        rm "$INST/data/big.bin" && mkfifo "$INST/data/big.bin"
    else
        mkdir -p "$INST/Update/Vadarodazu"
        rm "$INST/Vadarodazu.xml"  # no installed manifest: the temporary copy is looked at
        mkfifo "$INST/Update/Vadarodazu/readme.txt"
    fi
}
check_pipe_planted() {
    check "the run ends by itself" test "$STATUS" != 124
    local f
    for f in "$INST/data/big.bin" "$INST/Update/Vadarodazu/readme.txt"; do
        check "no pipe left in place of $(basename "$f")" test ! -p "$f"
        [ -p "$f" ] && rm -f "$f"  # a later comparison would wait on it for ever
    done
}
# Any user may listen on the guard's abstract address before the updater does.
GUARD_SQUATTER=
guard_taken() { grep -q '@QVHalcyra$' /proc/net/unix; }
setup_guard_taken() {
    /usr/bin/python3 -c 'import os, socket, time
os.setgroups([])
os.setgid(65534)
os.setuid(65534)
s = socket.socket(socket.AF_UNIX)
s.bind("\0QVHalcyra")
s.listen(8)
time.sleep(600)' &
    GUARD_SQUATTER=$!
    poll 10 guard_taken || skip "no process of another user could listen"
}
check_guard_taken() { kill "$GUARD_SQUATTER" && wait "$GUARD_SQUATTER" 2>/dev/null; return 0; }
# The first 4 GiB and 100 bytes of the pak (zeros) kept by a run that ended, with the
# server's validator.
setup_pak_resumed() {
    local served=$WWW/DownLoad/Vadarodazu/paks/world.pak kept=4294967396 md5
    mkdir -p "$INST/Update/Vadarodazu/paks"
    truncate -s $kept "$INST/Update/Vadarodazu/paks/world.pak"
    md5=$(sed -n 's|.*filename="paks/world.pak" md5="\([0-9a-f]*\)".*|\1|p' "$WWW/DownLoad/Vadarodazu.xml")
    printf '%s\t%s\t"%x-%x"\tpaks/world.pak\n' "$md5" $kept "$(stat -c %Y "$served")" \
        "$(stat -c %s "$served")" >"$INST/Update/partial.txt"
}
check_pak_resumed() { check "the rest asked for with a range" grep -q '^206 ' "$REQUESTS"; }
check_stall_timed() {  # [file asked for twice]
    [ -z "${1:-}" ] || check "asked for twice" test "$(grep -c "$1" "$REQUESTS")" = 2
    echo "NOTE [$CASE] failed $ELAPSED ms after the start"
}
# A temporary tree (or one folder of it) that another user owns or anyone may write: what
# it holds is never installed, and the tree is made anew, the running user's own.
setup_foreign_tree() {  # folder nobody|anyone
    mkdir -p "$INST/Update/Vadarodazu"
    cp "$REL/Halcyra.exe" "$INST/Update/Vadarodazu/Halcyra.exe"
    case $2 in
        nobody) chown -R nobody "$INST/$1" ;;
        anyone) chmod 777 "$INST/$1" ;;
    esac
}
check_foreign_tree() {
    check "the installed lobby is this user's" test "$(stat -c %U "$INST/Halcyra.exe")" = "$(id -un)"
    check "nothing another user owns or may write left in the tree" \
        test -z "$(find "$INST/Update" -user nobody -o -perm /022)"
}
# A part of data/big.bin kept in a tree of another user's, its validator the server's own:
# never gone on from.
setup_foreign_part() {
    local served=$WWW/DownLoad/Vadarodazu/data/big.bin
    mkdir -p "$INST/Update/Vadarodazu/data"
    head -c 100000 "$REL/data/big.bin" >"$INST/Update/Vadarodazu/data/big.bin"
    printf '%s\t100000\t"%x-%x"\tdata/big.bin\n' "$(md5sum <"$REL/data/big.bin" | cut -c1-32)" \
        "$(stat -c %Y "$served")" "$(stat -c %s "$served")" >"$INST/Update/partial.txt"
    chown -R nobody "$INST/Update"
}
check_foreign_part() { check "not gone on from" not grep -q '^206 ' "$REQUESTS"; }
# data/ is the player's link to a folder on another file system, so each file is copied
# beside its target and renamed over it; another user gives the copy's name to other bytes
# at the last moment (in rename itself, by a preloaded shim).
OTHER_FS=
setup_copy_swapped() {
    OTHER_FS=$WORK/other-fs
    mkdir -p "$OTHER_FS"
    mountpoint -q "$OTHER_FS" || mount -t tmpfs -o size=16m tmpfs "$OTHER_FS" 2>/dev/null ||
        { OTHER_FS= && skip "cannot mount a tmpfs here" && return; }
    rm -rf "${OTHER_FS:?}/data" && mkdir "$OTHER_FS/data" && ln -s "$OTHER_FS/data" "$INST/data"
    cc -shared -fPIC -o "$WORK/swap_rename.so" -x c - -ldl <<'C' || skip "no C compiler"
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
int rename(const char* from, const char* to) {
    int (*real)(const char*, const char*) = dlsym(RTLD_NEXT, "rename");
    size_t n = strlen(from);
    if (n > 5 && strcmp(from + n - 5, ".new~") == 0) {
        char other[4200];
        snprintf(other, sizeof other, "%s.other", from);
        int fd = open(other, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0 && write(fd, "other bytes\n", 12) == 12 && close(fd) == 0) real(other, from);
    }
    return real(from, to);
}
C
    export LD_PRELOAD=$WORK/swap_rename.so
}
check_copy_swapped() {
    unset LD_PRELOAD
    check "the other bytes are not installed" not grep -rqs 'other bytes' "$OTHER_FS/data"
}
cleanup_other_fs() { [ -z "$OTHER_FS" ] || umount "$OTHER_FS" 2>/dev/null; }
# Targets another user left set-user-ID, set-group-ID and writable by anyone.
setup_planted_modes() { chmod 4777 "$INST/readme.txt" && chmod 2777 "$INST/skin/更新文件.txt"; }
check_planted_modes() {
    check "installed without set-ID bits or others' write" no_unsafe_mode "$INST/readme.txt" "$INST/skin/更新文件.txt"
}
no_unsafe_mode() {
    local f mode
    for f; do
        mode=$(stat -c %a "$f")
        DETAIL="$f $mode"
        [ $((8#$mode & 8#7022)) = 0 ] || return 1
    done
}
setup_pending_list() {  # other | anyone | own
    printf '%s\t%s\n' "$INST/readme.txt" "$OUTSIDE/secret.conf" >"$INST/pending-replacements.txt"
    case $1 in
        other) chown nobody "$INST/pending-replacements.txt" ;;
        anyone) chmod 666 "$INST/pending-replacements.txt" ;;
        own) chmod 600 "$INST/pending-replacements.txt" ;;
    esac
}
check_pending_list() {
    case $1 in
        other) check "said so" grep -q 'ignoring' "$ERR" ;;
    esac
    check "the list is gone" test ! -e "$INST/pending-replacements.txt"
}
# Another user's list, and a release that carries Brenthor.exe: it is scheduled in a list
# of the updater's own, and replaced at the next start.
setup_foreign_list_brenthor() { setup_pending_list anyone; }
check_foreign_list_brenthor() {
    check "scheduled in a list of this user's own" own_list_holds Brenthor.exe
    restart
    check "replaced at the next start" same_file "$REL/Brenthor.exe" "$INST/Brenthor.exe"
}
own_list_holds() {
    local list=$INST/pending-replacements.txt
    DETAIL=$(stat -c '%U %a' "$list" 2>&1)
    [ "$DETAIL" = "root 600" ] && grep -q "$1" "$list"
}

# 20 runs killed at random moments of a run's span: every installed file is its old or its
# new version, never a mix, and a rerun reaches the release exactly.
check_kills() {
    (cd "$WORK/rel/many1" && find . -type f -print0 | xargs -0 md5sum) >"$WORK/many1.sums"
    (cd "$REL" && find . -type f -print0 | xargs -0 md5sum) >"$WORK/many2.sums"
    local span=$ELAPSED home=$INST status=$STATUS torn=0 unfinished=0 i pid bad
    for i in $(seq 1 20); do
        INST=$home-kill
        rm -rf "$INST" && cp -a "$WORK/state/many1" "$INST"
        (cd "$INST" && exec "./$EXE" </dev/null >/dev/null 2>&1) &
        pid=$!
        sleep "$(awk -v s="$span" -v r="$RANDOM" 'BEGIN { printf "%.3f", s * 1.1 * r / 32768 / 1000 }')"
        kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        bad=$(cd "$INST" && find ./data ./readme.txt -type f -print0 | xargs -0 md5sum |
            awk 'FILENAME != "-" { known[$0] = 1; next } !($0 in known)' "$WORK/many1.sums" "$WORK/many2.sums" -)
        [ -z "$bad" ] || { torn=$((torn + 1)); echo "torn after kill $i: $bad"; }
        target_run
        if ! exit_status 0 || ! (cd "$INST" && md5sum -c --quiet "$WORK/many2.sums" >/dev/null 2>&1); then
            unfinished=$((unfinished + 1))
        fi
    done
    INST=$home
    STATUS=$status
    check "no installed file torn by 20 kills" test "$torn" = 0
    check "every rerun reached the release exactly" test "$unfinished" = 0
}

# Room for the installed release and about half of what the new one brings; the run's
# output goes elsewhere than the full disk.
TMPFS=
setup_full_disk() {
    TMPFS=$WORK/small
    mkdir -p "$TMPFS"
    local room=$(($(du -sk "$INST" | cut -f1) + 1200))
    if ! mount -t tmpfs -o "size=${room}k" tmpfs "$TMPFS" 2>/dev/null; then
        TMPFS=
        skip "cannot mount a tmpfs here"
        return
    fi
    cp -a "$INST" "$TMPFS/lobby" && INST=$TMPFS/lobby
}
check_full_disk() { mount -o remount,size=64m "$TMPFS"; }
cleanup_cases() {
    [ -z "$TMPFS" ] || umount "$TMPFS" 2>/dev/null
    cleanup_other_fs
}

setup_delta_sent() { : >"$WORK/sent.log"; }
check_delta_sent() {
    local sent
    sent=$(awk '{s += $1} END {print s + 0}' "$WORK/sent.log")
    DETAIL="$sent bytes sent"
    check "the server sent less than 1 % of the pak" test "$sent" -lt 250000
    check "the rest asked for with ranges" grep -q '^206 ' "$REQUESTS"
}
# A saved install run by the build the case names (its server's address).
setup_own_build() { cp "$(build_of "$RUN")/$EXE" "$INST/"; }
check_delta_resumed() {
    check "built from blocks all the same" log_has 按块更新Vadarodazu/paks/world.pak:下载了
    check "the rest asked for with ranges" grep -q '^206 .*world.pak$' "$REQUESTS"
}
setup_delta_pak_changed() {
    printf 'X' | dd of="$WWW/DownLoad/Vadarodazu/paks/world.pak" bs=1 seek=5000010 conv=notrunc status=none
}
setup_delta_index_changed() {
    printf 'X' | dd of="$WWW/DownLoad/Vadarodazu/paks/world.pak.blocks~" bs=1 seek=40 conv=notrunc status=none
}
setup_publish_refused() {  # html | doctype | own-file
    local rel=$WORK/refused
    rm -rf "$rel" "$WORK/www-refused" && mkdir -p "$rel/data"
    printf 'fine' >"$rel/data/ok.txt"
    case $1 in
        html) printf '<html><body>help</body></html>' >"$rel/help.htm" ;;
        doctype) printf '<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01//EN">' >"$rel/doc.htm" ;;
        own-file) mkdir -p "$rel/Update" && printf 'x' >"$rel/Update/x.txt" ;;
        block-index-name) printf 'x' >"$rel/data/ok.txt.blocks~" ;;
    esac
    "$PUBLISH" "$rel" "$WORK/www-refused" >"$WORK/publish.out" 2>&1
    STATUS=$?
}
check_publish_refused() {
    check "refused" test "$STATUS" != 0
    check "says why" grep -q 'refused:' "$WORK/publish.out"
    check "nothing published" test ! -e "$WORK/www-refused/Vadarodazu.xml"
}
check_publish_5c() {
    local rel=$WORK/name-5c
    rm -rf "$rel" && mkdir -p "$rel/淺" && printf 'x' >"$rel/淺/籠.txt"
    "$PUBLISH" "$rel" "$WORK/www-5c" >/dev/null 2>&1
    check "published" test -f "$WORK/www-5c/Vadarodazu/$(gbk '淺/籠.txt')"
}
check_publish_progress() {
    local rel=$WORK/progress
    rm -rf "$rel" && mkdir -p "$rel/paks" && head -c 3000000 /dev/urandom >"$rel/paks/a.pak" &&
        printf 'x' >"$rel/b.txt"
    script -qec "'$PUBLISH' '$rel' '$WORK/www-progress'" /dev/null >"$WORK/progress.tty" 2>&1
    DETAIL=$(tr '\r' '\n' <"$WORK/progress.tty" | tail -n 3)
    check "a terminal is shown files, bytes and rate" \
        grep -qE $'\r2/2 files, 2\\.9/2\\.9 MiB, [0-9.]+ MiB/s\e\\[K\r?$' "$WORK/progress.tty"
    "$PUBLISH" "$rel" "$WORK/www-progress" >"$WORK/progress.log" 2>&1
    DETAIL=$(cat -A "$WORK/progress.log")
    check "a log gets plain lines" test "$(cat "$WORK/progress.log")" = "published 2 files to $WORK/www-progress"
}
check_keygen() {
    local dir=$WORK/keygen
    keygen() { "$PUBLISH" keygen "$1" >/dev/null 2>&1; }
    check "keygen makes a pair" keygen "$dir"
    check "the secret key is the owner's alone" test "$(stat -c %a "$dir/release.key")" = 600
    check "the public key is one line of 64 hexadecimal digits" grep -qxE '[0-9a-f]{64}' "$dir/release.pub"
    cp "$dir/release.key" "$WORK/key-before"
    check "keygen never overwrites a key" not keygen "$dir"
    check "the key kept" same_file "$WORK/key-before" "$dir/release.key"
    check "--help says what every option does" help_tells --sign --serial-file --ignore-served-serial \
        --expires --utf8-names --no-block-index keygen
}
help_tells() {
    local text option
    text=$("$PUBLISH" --help) || return 1
    for option; do
        DETAIL=$option
        grep -qE "^  $option( [A-Z_]+)? +[a-z]" <<<"$text" || return 1
    done
}

setup_forged_taken() { printf 'the attacker was here%s' "$EOL" >"$WORK/evil.txt"; }
setup_signature_asked() { setup_forged_taken; }
check_forged_taken() {
    check "exit status 0: the forged release taken" exit_status 0
    check "the attacker's file installed" same_file "$WORK/evil.txt" "$INST/readme.txt"
    check "the rest of the release installed" same_file "$REL/data/big.bin" "$INST/data/big.bin"
}
check_signature_asked() { check "the signature was asked for" grep -q 'Vadarodazu.xml.sig\(?\|$\)' "$WORK/proxy.log"; }
check_serial_2() { check "serial 2 published" grep -q 'serial="2"' "$WWW/DownLoad/Vadarodazu.xml"; }
check_killed_part() { check "the part kept is listed" grep -q 'data/big.bin' "$INST/Update/partial.txt"; }
then_killed_part() { check "the rerun went on from it" grep -q '^206 ' "$REQUESTS"; }
setup_installed_serial_raised() {
    sed -i 's/serial="2"/serial="999999999999999999"/' "$INST/Vadarodazu.xml"
    chown nobody "$INST/Vadarodazu.xml" 2>/dev/null
    return 0
}
setup_signature_removed() { rm "$WWW/DownLoad/Vadarodazu.xml.sig"; }
setup_signature_truncated() { truncate -s 63 "$WWW/DownLoad/Vadarodazu.xml.sig"; }
setup_signature_of_release_1() { cp "$WORK/pub/signed1/DownLoad/Vadarodazu.xml.sig" "$WWW/DownLoad/"; }
setup_manifest_changed() { sed -i 's/size="300000"/size="300001"/' "$WWW/DownLoad/Vadarodazu.xml"; }
setup_file_swapped() { head -c 300000 /dev/urandom >"$WWW/DownLoad/Vadarodazu/data/big.bin"; }
check_two_signatures() {
    check "two signatures published" test "$(stat -c %s "$WWW/DownLoad/Vadarodazu.xml.sig")" = 128
}
check_old_signature_removed() {
    check "the old signature removed by the publishing tool" test ! -e "$WWW/DownLoad/Vadarodazu.xml.sig"
}
check_over_https() { check "fetched over https" was_requested data/big.bin; }
# Turned away on an extra connection, then every file fetched over those left, each
# "正在下载" line followed at once by its "开始下载" (or the line of a resumed body).
check_connection_limit() {
    check "some connections turned away" env LC_ALL=C grep -q '^503 ' "$REQUESTS"
    # Each connection the server turns away is closed, not asked again and again: about
    # one per extra connection (which of them meets the refusal is up to timing).
    check "turned away no more than 2 x 8 times" turned_away_at_most 16
    check "every file served at last" test "$(LC_ALL=C grep -c '^200 /DownLoad/Vadarodazu/' "$REQUESTS")" = \
        "$(cd "$REL" && find . -type f -size +0 | wc -l)"
    check "each file's log lines together" log_pairs
}
turned_away_at_most() {
    local n
    n=$(LC_ALL=C grep -c '^503 ' "$REQUESTS")
    DETAIL="$n times; the log: $(iconv -f GBK -t UTF-8 "$INST/updatelog.txt" | grep -cE '不接受更多连接') narrowed, $(
        iconv -f GBK -t UTF-8 "$INST/updatelog.txt" | grep -cE '重试') tried again"
    [ "$n" -le "$1" ]
}
log_pairs() {
    DETAIL=$(iconv -f GBK -t UTF-8 "$INST/updatelog.txt" |
        awk '/正在下载/ { want = 1; name = $0; next }
             want && !/开始下载|从第[0-9]+字节继续下载|文件大小为0/ { print name " / " $0; exit }
             { want = 0 }')
    [ -z "$DETAIL" ]
}
run_new_release_through_cache() {
    target_run
    check "release 1 installed through the proxy" same_tree "$REL" "$INST"
    make_release_once v2 || return 1
    rm -rf "$WWW" && cp -a "$WORK/pub/v2" "$WWW"
    REL=$WORK/rel/v2
    rm -f "$INST/lobby-ran.txt"
    target_run
    # A second player behind the same cache, from nothing: the files come from it.
    check "release 2 installed through the proxy" same_tree "$REL" "$INST"
    SECOND_PLAYER_FROM=$(wc -l <"$WORK/squid/access.log")
    INST=$(dirname "$INST")/second
    mkdir -p "$INST" && cp "$(build_of "$RUN")/$EXE" "$INST/" && cp "$LOBBY_STANDIN" "$INST/Halcyra.exe"
    target_run
}
check_new_release_through_cache() {
    local proxied=$WORK/squid/access.log second
    check "asked through the proxy" grep -q 'GET http://[^ ]*/Vadarodazu.xml' "$proxied"
    check "the manifest never taken from the cache" not grep -qE 'HIT/[0-9]+ [0-9]+ GET [^ ]*/Vadarodazu.xml' "$proxied"
    second=$(tail -n +$((SECOND_PLAYER_FROM + 1)) "$proxied" | grep ' GET [^ ]*/Vadarodazu/')
    DETAIL=$(awk '{print $4}' <<<"$second" | sort | uniq -c | tr '\n' ' ')
    check "the second player's files all cache hits" test -n "$second" -a -z "$(grep -v 'HIT/200' <<<"$second")"
}
# Each body goes on from the bytes kept: the server sends the release about once.
check_bytes_sent() {
    local release sent
    release=$(find "$REL" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
    sent=$(awk '{s += $1} END {print s + 0}' "$WORK/sent.log")
    DETAIL="$sent bytes sent for $release"
    check "the server sent less than 1.1 x the release" test "$sent" -lt $((release * 11 / 10))
}
# Whoever may write the server's folder cannot lower the next serial, nor make it
# unreadable: the served one counts only when signed with the key, the kept one never goes
# down.
check_publish_serials() {
    make_release_once signed1 || return 1
    local pub=$WORK/serials out=$WORK/serials.out
    rm -rf "$pub" && cp -a "$WORK/pub/signed1" "$pub"
    publish() { "$PUBLISH" --sign "$KEYS/release.key" --serial-file "$pub/release.serial" "$@" \
        "$WORK/rel/signed1" "$pub/DownLoad" >"$out" 2>&1; }
    served() { sed -nE 's/.*serial="([0-9]+)".*/\1/p' "$pub/DownLoad/Vadarodazu.xml"; }
    local poison
    for poison in 0 999999999999999999; do
        sed -i -E "s/serial=\"[0-9]+\"/serial=\"$poison\"/" "$pub/DownLoad/Vadarodazu.xml"
        publish
        check "serial $poison served unsigned: refused" test $? != 0
        check "serial $poison served unsigned: says why" grep -q 'not signed with the given keys' "$out"
        check "serial $poison served unsigned: left as served" test "$(served)" = "$poison"
    done
    publish --ignore-served-serial
    check "told to go on: one above the kept serial" test "$(served)" = 2
    rm "$pub/DownLoad/Vadarodazu.xml"
    publish
    check "the served manifest gone: still one above the kept serial" test "$(served)" = 3
    check "the kept serial private" test "$(stat -c %a "$pub/release.serial")" = 600
    publish --expires 2
    local expires
    expires=$(sed -nE 's/.*expires="([^"]+)".*/\1/p' "$pub/DownLoad/Vadarodazu.xml")
    check "--expires 2: a UTC time two days on" test "$(($(date -u -d "$expires" +%s) - $(date +%s)))" -gt 172000
    for bad in "--expires 0" "--expires 1x" "--expires 3651"; do
        # shellcheck disable=SC2086  # the option and its value are two words
        publish $bad
        check "$bad refused" test $? = 2
    done
    "$PUBLISH" --expires 1 "$WORK/rel/signed1" "$pub/DownLoad" >"$out" 2>&1
    check "--expires without --sign refused" test $? = 2
}
