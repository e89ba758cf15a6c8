#!/usr/bin/env bash
# The installed data files pass the validators of the system that reads them:
# udev (udevadm verify where systemd has it, else a check of the rule's
# syntax and meaning here), desktop-file-validate, appstreamcli and man.
# usage: check_data.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source=$1 build=$2
source "$(dirname "$0")/common.sh"
need() {
    command -v "$1" >/dev/null || { echo "FAIL: $1 is missing (Debian package $2, see scripts/install-deps.sh)"; exit 1; }
}
need desktop-file-validate desktop-file-utils
need appstreamcli appstream
need man man-db

rules=$source/data/70-vesk-firmup.rules
if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
    udevadm verify --resolve-names=never "$rules" || fail "udevadm verify $rules"
else
    echo "udevadm verify is not available (systemd older than 253): checking the rule here"
fi
# Either way: each rule line is comma-separated KEY OP "VALUE" terms with the
# operators udev allows for the key, and the rule does what it is there for.
# uaccess is applied by 73-seat-late.rules, so the file must sort before it.
match_key='(ACTION|SUBSYSTEM|SUBSYSTEMS|KERNEL|KERNELS|DEVPATH|DRIVER|DRIVERS|ENV\{[A-Za-z0-9_]+\}|ATTR\{[A-Za-z0-9_]+\}|ATTRS\{[A-Za-z0-9_]+\}|TAG|TAGS)'
assign_key='(TAG|ENV\{[A-Za-z0-9_]+\}|MODE|GROUP|OWNER|RUN(\{[a-z]+\})?|SYMLINK)'
term_re="^(${match_key}(==|!=)|${assign_key}(=|\\+=|-=|:=))\"[^\"]*\"$"
number=$(basename "$rules" | sed -n 's/^\([0-9][0-9]*\)-.*\.rules$/\1/p')
[ -n "$number" ] && [ "$number" -lt 73 ] || fail "$(basename "$rules") does not sort before 73-seat-late.rules"
lines=0
while IFS= read -r line; do
    [[ -z $line || $line == \#* ]] && continue
    lines=$((lines + 1))
    IFS=',' read -ra terms <<<"$line"
    for term in "${terms[@]}"; do
        term=${term# }
        [[ $term =~ $term_re ]] || fail "udev rule term not understood: '$term'"
    done
    for want in 'SUBSYSTEM=="usb"' 'ENV{DEVTYPE}=="usb_device"' 'ATTR{idVendor}=="11cc"' 'TAG+="uaccess"'; do
        [[ ", $line," == *", $want,"* ]] || fail "udev rule lacks $want"
    done
done <"$rules"
[ "$lines" = 1 ] || fail "expected one rule line in $rules, found $lines"

out=$(desktop-file-validate "$source/data/com.vesk.firmup.desktop" 2>&1) && [ -z "$out" ] ||
    fail "desktop-file-validate: $out"

out=$(appstreamcli validate --no-net "$build/data/com.vesk.firmup.metainfo.xml" 2>&1) ||
    fail "appstreamcli validate: $out"

for page in "$source"/data/man/*.1; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) && [ -z "$out" ] ||
        fail "man $(basename "$page"): $out"
done

[ "$failures" = 0 ] || exit 1
echo "data files: udev rule, desktop entry, metainfo and man pages valid"
