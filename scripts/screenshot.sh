#!/usr/bin/env bash
# Takes the README's pictures of vesk-firmup under Xvfb, a simulated master
# with three slaves in front of it: docs/window.png (the plan),
# docs/window-run.png (a run in progress), docs/window-summary.png (the end
# of the run with its summary), docs/window-advanced.png (advanced mode) and
# docs/window-dark.png (the plan on a dark theme).
# usage: scripts/screenshot.sh [OUTPUT_FOLDER]   (VESK_BUILD_DIR: the build to use)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${VESK_BUILD_DIR:-build-screenshot}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BENCH=OFF > /dev/null
fi
cmake --build "$build" -j "$(nproc)" --target vesk-sim vesk_window_shots

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sim="$build/sim/tool/vesk-sim"
# Update files: the master's firmware and languages, two display firmwares, a
# display booter, a GPS firmware.
mkdir -p "$work/_BOOTER" "$work/_ACCESSORI"
"$sim" make-firmware --base 0xFC0000 --size 0x100 --version 46.05.00 --out "$work/Pell_460500_fw.mhx"
"$sim" make-firmware --base 0xFC0000 --size 0x100 --version 46.05.00 --out "$work/Pell_460500_lng.mhx"
"$sim" make-firmware --base 0xFF0000 --size 0x400 --version 01.02.03 --out "$work/Slv_Lambda_010203_fw.mhx"
"$sim" make-firmware --base 0xFF0000 --size 0x400 --version 01.05.10 --out "$work/Slv_Lambda_010510_fw.mhx"
"$sim" make-firmware --base 0xFFC000 --size 0x4000 --version 01.02 --out "$work/_BOOTER/Booter_Slv_Lambda_0102.mhx"
"$sim" make-firmware --base 0xE0000 --size 0x400 --version 02.00.00 --out "$work/Slv_GPS_020000_fw.mot"
cat > "$work/scenario.json" <<'JSON'
{"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0, "reenumerate_ms": 2000,
  "slaves": [{"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00", "booter": "01.02"},
             {"number": 2, "code": 2017, "serial": 72, "firmware": "01.00.00", "in_booter": true},
             {"number": 4, "code": 2006, "serial": 74, "firmware": "01.05.10", "booter": "01.00"}]}]}
JSON
mkdir -m 700 "$work/runtime"
out=${1:-docs}
mkdir -p "$out"

QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0} \
  xvfb-run -a -s "-screen 0 1280x800x24" "$build/tests/vesk_window_shots" "$work" "$work/scenario.json" "$out"
