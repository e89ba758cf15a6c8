#!/usr/bin/env bash
# Takes docs/window.png: vesk-firmup under Xvfb showing the plan of a
# simulated master with three slaves.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=${VESK_BUILD_DIR:-build-screenshot}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BENCH=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target vesk-firmup vesk-sim vesk_screen_grab

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sim="$build/sim/tool/vesk-sim"
# Update files: the master's firmware and languages, two display firmwares, a GPS firmware.
"$sim" make-firmware --base 0xFC0000 --size 0x100 --version 46.05.00 --out "$work/Pell_460500_fw.mhx"
"$sim" make-firmware --base 0xFC0000 --size 0x100 --version 46.05.00 --out "$work/Pell_460500_lng.mhx"
"$sim" make-firmware --base 0xFF0000 --size 0x100 --version 01.02.03 --out "$work/Slv_Lambda_010203_fw.mhx"
"$sim" make-firmware --base 0xFF0000 --size 0x100 --version 01.05.10 --out "$work/Slv_Lambda_010510_fw.mhx"
"$sim" make-firmware --base 0xE0000 --size 0x100 --version 02.00.00 --out "$work/Slv_GPS_020000_fw.mot"
cat > "$work/scenario.json" <<'JSON'
{"instruments": [{"code": 65, "serial": 10, "firmware": "46.03.00", "net_rebuild_ms": 0,
  "slaves": [{"number": 1, "code": 2006, "serial": 71, "firmware": "01.00.00"},
             {"number": 2, "code": 2017, "serial": 72, "firmware": "01.00.00", "in_booter": true},
             {"number": 4, "code": 2006, "serial": 74, "firmware": "01.05.10"}]}]}
JSON
mkdir -m 700 "$work/runtime"

out=${1:-docs/window.png}
cat > "$work/shoot.sh" <<SHOOT
#!/usr/bin/env bash
set -euo pipefail
export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
"$build/src/ui/vesk-firmup" --simulate "$work/scenario.json" "UseFolder($work)AsMain" ADVANCED > "$work/window.log" 2>&1 &
pid=\$!
# The plan is on screen once the status says what Execute would do.
for _ in \$(seq 100); do
  grep -q "INFO; = Click 'Execute'" "$work/window.log" && break
  sleep 0.2
done
sleep 1
geometry=\$(xwininfo -root -tree | grep -m1 '"Vesk' | grep -oE '[0-9]+x[0-9]+\+[0-9]+\+[0-9]+' | head -1)
w=\${geometry%%x*}; rest=\${geometry#*x}; h=\${rest%%+*}; rest=\${rest#*+}; x=\${rest%%+*}; y=\${rest#*+}
"$build/tests/vesk_screen_grab" "\$x" "\$y" "\$w" "\$h" "$out"
kill \$pid
SHOOT
xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/shoot.sh"
echo "screenshot: $out"
