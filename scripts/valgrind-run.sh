#!/bin/sh
# A full simulated update under Valgrind's memcheck: a Pell DL master with
# three slaves (firmware, booters and languages due) through
# vesk-firmup-cli update on the virtual clock. Builds its own non-sanitized
# Debug tree (memcheck and the sanitizers do not mix). Exit status 1 on any
# memory error or leak.
#
#   scripts/valgrind-run.sh [BUILD_DIR]      (default: build-valgrind)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-valgrind}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=OFF -DVESK_TESTS=OFF -DVESK_BENCH=OFF >/dev/null
cmake --build "$build" --target vesk-firmup-cli vesk-sim

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sim="$build/sim/tool/vesk-sim"
files="$work/files"
mkdir -p "$files/_BOOTER" "$files/_ACCESSORI" "$work/locks"
chmod 700 "$work/locks"
make() { "$sim" make-firmware --base "$1" --size 0x400 --version "$2" --out "$files/$3"; }
make 0xFE0000 46.05.00 Pell_460500_fw.mhx
make 0xFC0000 46.05.00 Pell_460500_lng.mhx
make 0xFF0000 01.05.10 Slv_Lambda_010510_fw.mhx
make 0xFFC000 01.02 _BOOTER/Booter_Slv_Lambda_0102.mhx
make 0xE0000 02.00.00 Slv_GPS_020000_fw.mot
make 0xFC000 01.05 _BOOTER/Booter_Dovo4eGPS0304_0105.mot
make 0xFC0000 01.06.00 Slv_Varnel_010600_fw.mhx
make 0xFC0000 01.06.00 Slv_Varnel_010600_lng.mhx
make 0xDF0000 01.03 _BOOTER/Booter_Slv_Varnel_0103.mhx
cat > "$work/scenario.json" <<'JSON'
{"time_scale": 0, "instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
  "slaves": [
    {"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00", "booter": "01.00"},
    {"number": 2, "code": 2017, "serial": 72, "firmware": "01.00.00", "booter": "01.00"},
    {"number": 3, "code": 2021, "serial": 73, "firmware": "01.00.00", "booter": "01.00"}]}]}
JSON
XDG_RUNTIME_DIR="$work/locks" HOME="$work" valgrind --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1 --track-origins=yes \
    --suppressions=scripts/valgrind.supp \
    "$build/src/cli/vesk-firmup-cli" update --yes --simulate "$work/scenario.json" --folder "$files"
