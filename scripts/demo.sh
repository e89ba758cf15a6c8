#!/usr/bin/env bash
# The updater's main job on a simulated instrument: installs what is missing,
# builds the terminal tool and the simulator, makes demo update files, and
# updates a Pell DL data logger with two display units on its net (the
# master's firmware and language, one display unit's booter), then checks
# every unit. The simulated run takes well under a minute to watch.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=${VESK_DEMO_BUILD_DIR:-build-demo}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF -DVESK_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target vesk-firmup-cli vesk-sim

sim="$build/sim/tool/vesk-sim"
files="$build/demo-files"
rm -rf "$files"
mkdir -p "$files/_BOOTER" "$files/_ACCESSORI"
# The master's firmware and its language file, and the display units' booter:
# each carries its version, so the units report it once written.
"$sim" make-firmware --base 0xFE0000 --size 0x8000 --version 46.05.00 --out "$files/Pell_460500_fw.mhx"
"$sim" make-firmware --base 0xFC0000 --size 0x4000 --version 46.05.00 --out "$files/Pell_460500_lng.mhx"
"$sim" make-firmware --base 0xFF0000 --size 0x4000 --version 01.05.10 --out "$files/Slv_Lambda_010510_fw.mhx"
"$sim" make-firmware --base 0xFFC000 --size 0x4000 --version 01.02 --out "$files/_BOOTER/Booter_Slv_Lambda_0102.mhx"

echo
echo "Updating the simulated instruments of demo/scenario.json with the files in $files:"
echo
"$build/src/cli/vesk-firmup-cli" update --yes --simulate demo/scenario.json --folder "$files"
