#!/usr/bin/env bash
# cmake --install into a temporary prefix: the programs with their read-only
# data in lib/vesk-firmup/ (where they look for it), a link to each in bin/,
# and the files the system and the desktop read in their places. Nothing else.
# usage: check_install.sh BUILD_DIR SOURCE_DIR VERSION WINDOW_BUILT(0|1)
set -uo pipefail
build=$1 source=$2 version=$3 window=$4
source "$(dirname "$0")/common.sh"

if ! cmake --install "$build" --prefix "$tmp/usr" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi
p=$tmp/usr

programs=(vesk-firmup-cli vesk-sim)
[ "$window" = 1 ] && programs+=(vesk-firmup)
expected=()
for prog in "${programs[@]}"; do
    expected+=("lib/vesk-firmup/$prog" "bin/$prog" "share/man/man1/$prog.1.gz")
    [ -x "$p/lib/vesk-firmup/$prog" ] || fail "$prog is not an executable in lib/vesk-firmup/"
    [ "$(readlink "$p/bin/$prog")" = "../lib/vesk-firmup/$prog" ] ||
        fail "bin/$prog is not the link ../lib/vesk-firmup/$prog"
done
[ "$window" = 1 ] || expected+=(share/man/man1/vesk-firmup.1.gz)
expected+=(
    lib/vesk-firmup/vesk-firmup.xmv
    lib/vesk-firmup/.installed
    lib/vesk-firmup/libvesk-sim-preload.so
    lib/udev/rules.d/70-vesk-firmup.rules
    share/applications/com.vesk.firmup.desktop
    share/metainfo/com.vesk.firmup.metainfo.xml
    share/icons/hicolor/scalable/apps/com.vesk.firmup.svg
    share/bash-completion/completions/vesk-firmup-cli
    share/doc/vesk-firmup/copyright
    share/doc/vesk-firmup/changelog.Debian.gz
    share/lintian/overrides/vesk-firmup
)
# The language files and their flags, as the tree has them.
if [ -d "$source/language" ]; then
    while IFS= read -r f; do expected+=("lib/vesk-firmup/language/$f"); done \
        < <(cd "$source/language" && find . \( -type f -o -type l \) | sed 's|^\./||')
    diff -r "$source/language" "$p/lib/vesk-firmup/language" >/dev/null || fail "language/ differs from the tree's"
fi
printf '%s\n' "${expected[@]}" | sort >"$tmp/expected"
(cd "$p" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$tmp/actual"
diff -u "$tmp/expected" "$tmp/actual" >"$tmp/diff" || {
    cat "$tmp/diff"
    fail "the installed files are not the expected ones"
}

# The programs run from their links and find nothing missing; an installed
# copy writes its logs to the user's folder, even when it could write its own.
out=$("$p/bin/vesk-firmup-cli" --version 2>&1)
[ "$out" = "vesk-firmup-cli $version" ] || fail "vesk-firmup-cli --version printed: $out"
XDG_STATE_HOME=$tmp/state VESK_SIMULATE=/nonexistent "$p/bin/vesk-firmup-cli" list >/dev/null 2>&1
[ ! -e "$p/lib/vesk-firmup/logs" ] || fail "the installed program wrote logs/ into its own folder"
[ -d "$tmp/state/vesk-firmup/logs" ] || fail "no logs/ in \$XDG_STATE_HOME/vesk-firmup/"
"$p/bin/vesk-sim" --help 2>&1 | grep -q "run: vesk-sim run SCENARIO -- COMMAND" || fail "vesk-sim --help lacks run"

# An installed copy looks for update files in the user's data folder, made on
# first use; plan names it and lists the instrument, with a file there or not.
home="$tmp/home dir"
cat >"$tmp/pell.json" <<'JSON'
{"instruments": [{"code": 65, "serial": 0, "firmware": "46.03.00", "net_rebuild_ms": 0, "path": "usb:1-2"}]}
JSON
updates="$home/.local/share/vesk-firmup/updates/"
plan() { env -u XDG_DATA_HOME HOME="$home" XDG_STATE_HOME="$tmp/state" "$p/bin/vesk-firmup-cli" plan --simulate "$tmp/pell.json" 2>&1; }
out=$(plan)
for want in "Update folder searched: $updates" "M  Pell DL Logger  0   00.00   46.03.00  none       no update file" \
    "No update files for this instrument in $updates"; do
    grep -qF -- "$want" <<<"$out" || fail "installed plan without files: no '$want' in
$out"
done
[ -d "$updates/_BOOTER" ] && [ -d "$updates/_ACCESSORI" ] || fail "the update folder was not made with its subfolders"
for kind in fw lng; do
    "$p/bin/vesk-sim" make-firmware --base 0xFC0000 --size 0x100 --version 46.05.00 --out "$updates/Pell_460500_$kind.mhx"
done
out=$(plan)
for want in "Update folder searched: $updates" "will get 46.05.00" "1 unit to update: run \`vesk-firmup-cli update\`"; do
    grep -qF -- "$want" <<<"$out" || fail "installed plan with a file: no '$want' in
$out"
done
# A data folder where the update folder cannot be made: its own error, naming
# the folder and the cause, not a plan without files.
touch "$tmp/not-a-folder"
out=$(XDG_DATA_HOME="$tmp/not-a-folder" XDG_STATE_HOME="$tmp/state" "$p/bin/vesk-firmup-cli" plan --simulate "$tmp/pell.json" 2>&1)
status=$?
[ "$status" = 1 ] || fail "plan with an update folder that cannot be made: exit $status"
grep -qF "vesk-firmup-cli plan: the update folder $tmp/not-a-folder/ cannot be created: Not a directory" \
    <<<"$out" || fail "plan with an update folder that cannot be made said: $out"

# The version file, in the element-and-property form the program reads.
xmv=$p/lib/vesk-firmup/vesk-firmup.xmv
IFS=. read -r major minor patch <<<"$version"
for want in '<info_version_sw><e c="InfoSW" i="InfoSW.0">' "<p n=\"MAJOR\">$major</p>" "<p n=\"MINOR\">$minor</p>" \
    "<p n=\"REVISION\">$patch</p>" '<p n="TYPE">release</p>' '<p n="PRODUCT_NAME">Vesk Firmware Updater</p>' \
    '<p n="EXE_NAME">vesk-firmup</p>'; do
    grep -qF "$want" "$xmv" || fail "the version file lacks $want"
done

# Each man page decompresses and names its program for whatis.
for prog in vesk-firmup vesk-firmup-cli vesk-sim; do
    lexgrog "$p/share/man/man1/$prog.1.gz" 2>&1 | grep -q "\"$prog - " || fail "man page $prog.1.gz has no NAME line"
done

# The completion offers the installed program's commands and options, and
# files or folders where an option takes them.
mkdir -p "$tmp/work/folder" && touch "$tmp/work/scenario.json"
completion=$(cd "$tmp/work" && PATH="$p/bin:$PATH" bash --norc -c '
    source "$1"
    complete_words() {
        COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=()
        _vesk_firmup_cli
        echo "$* => ${COMPREPLY[*]}"
    }
    complete_words vesk-firmup-cli l
    complete_words vesk-firmup-cli --ver
    complete_words vesk-firmup-cli --verbose sr
    complete_words vesk-firmup-cli list --s
    complete_words vesk-firmup-cli srec2bin --no
    complete_words vesk-firmup-cli list --simulate sc
    complete_words vesk-firmup-cli list --folder fo
    complete_words vesk-firmup-cli srec2bin --base ""
    complete_words vesk-firmup-cli read c
    complete_words vesk-firmup-cli write --simulate scenario.json ""
    complete_words vesk-firmup-cli read config sc
' _ "$p/share/bash-completion/completions/vesk-firmup-cli" 2>&1)
while IFS= read -r want; do
    grep -qxF -- "$want" <<<"$completion" || fail "completion: expected '$want' in
$completion"
done <<'EOF_CASES'
vesk-firmup-cli l => list
vesk-firmup-cli --ver => --version --verbose
vesk-firmup-cli --verbose sr => srec2bin
vesk-firmup-cli list --s => --simulate
vesk-firmup-cli srec2bin --no => --no-header
vesk-firmup-cli list --simulate sc => scenario.json
vesk-firmup-cli list --folder fo => folder
vesk-firmup-cli srec2bin --base  => 
vesk-firmup-cli read c => config
vesk-firmup-cli write --simulate scenario.json  => config sensors ecu finish-lines
vesk-firmup-cli read config sc => scenario.json
EOF_CASES

[ "$failures" = 0 ] || exit 1
echo "install layout: ${#expected[@]} files as expected"
