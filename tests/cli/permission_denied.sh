#!/usr/bin/env bash
# An instrument whose device node a plain user may not open (mode 0600, owned
# by root), served by vesk-sim run: the commands that need it say it was
# found but refused and exit 4; list shows it as "access": "denied". Needs
# root to serve the node as root's and to run the commands as nobody.
# usage: permission_denied.sh VESK_SIM VESK_CLI
set -uo pipefail
sim=$1 cli=$2
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
    echo "needs root and setpriv to run a command as a plain user"
    exit 77
fi
source "$(dirname "$0")/../install/common.sh"
chmod 755 "$tmp"
mkdir -m 777 "$tmp/home"
cat >"$tmp/one.json" <<'JSON'
{"instruments": [{"code": 65, "serial": 0, "firmware": "46.03.00", "net_rebuild_ms": 0, "path": "usb:1-2"}]}
JSON
# The testbed is root's: nobody may read it and talk to its sockets, but the
# node stays root's own.
cat >"$tmp/as-nobody.sh" <<'SH'
chmod 1777 "$UMOCKDEV_DIR"
find "$UMOCKDEV_DIR/ioctl" -type s -exec chmod 777 {} +
chmod 600 "$UMOCKDEV_DIR"/dev/bus/usb/*/*
home=$1; shift
HOME=$home XDG_SEAT=seat0 setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
SH
run() {  # stdout, stderr and status of the command run as nobody
    "$sim" run "$tmp/one.json" -- sh "$tmp/as-nobody.sh" "$tmp/home" "$cli" "$@" >"$tmp/out" 2>"$tmp/err"
    echo $? >"$tmp/status"
}

found="found a Vesk instrument at usb:1-2 but cannot open it: permission denied"
for command in plan "update --yes" dump; do
    set -- $command
    [ "$1" = dump ] && set -- dump "$tmp/home/dump.bin"
    run "$@"
    cat "$tmp/err"
    [ "$(cat "$tmp/status")" = 4 ] || fail "$command: exit $(cat "$tmp/status"), not 4"
    grep -qF "vesk-firmup-cli $1: $found" "$tmp/err" || fail "$command: no \"$found\" on stderr"
    grep -q "No gauge\|no instrument" "$tmp/err" "$tmp/out" && fail "$command: also says nothing is connected"
done
run update --json --yes
grep -q '"event":"result".*"outcome":"access_denied"' "$tmp/out" || fail "update --json: no access_denied result: $(cat "$tmp/out")"
grep '"event":"plan"' "$tmp/out" | grep -qF "\"status\":\"$found\"" || fail "update --json: the plan's status: $(cat "$tmp/out")"
run plan --json
[ "$(cat "$tmp/status")" = 4 ] || fail "plan --json: exit $(cat "$tmp/status"), not 4"
python3 -c 'import json,sys; p=json.load(open(sys.argv[1])); assert p["status"]==sys.argv[2] and p["status_colour"]=="red", p' \
    "$tmp/out" "$found" || fail "plan --json: $(cat "$tmp/out")"

run list --json
[ "$(cat "$tmp/status")" = 0 ] || fail "list: exit $(cat "$tmp/status")"
python3 -c 'import json,sys; l=json.load(open(sys.argv[1])); assert l==[{"path":"usb:1-2","access":"denied"}], l' \
    "$tmp/out" || fail "list --json: $(cat "$tmp/out")"

[ "$failures" = 0 ] || exit 1
echo "refused instrument: exit 4 and the reason, as a plain user"
