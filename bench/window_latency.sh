#!/usr/bin/env bash
# The window's thread while the worker reads and writes: a timer on it
# records its worst lateness during the first refresh, a device-change
# refresh of a Pell DL master with eight slaves, and a whole update run of
# one with five (the most a master's net may hold for a run), at real time
# (time_scale 1) on the offscreen platform. Goal: max <= 50 ms.
#
#   bash bench/window_latency.sh [time_scale]
# VESK_BENCH_PREBUILT=1 uses the tree in VESK_BENCH_BUILD_DIR as it is.
source "$(dirname "$0")/lib.sh"
scale=${1:-1}
[ -n "${VESK_BENCH_PREBUILT:-}" ] || bench_build window_latency vesk-sim
bench_workdir
probe=$bench_build/bench/window_latency

dir=$work
mkdir -p "$dir/files/_BOOTER" "$dir/files/_ACCESSORI"
"$sim" make-firmware --base 0xFC0000 --size 0x40000 --version 46.05.00 --out "$dir/files/Pell_460500_fw.mhx"
"$sim" make-firmware --base 0xFC0000 --size 0x40000 --version 46.05.00 --out "$dir/files/Pell_460500_lng.mhx"
"$sim" make-firmware --base 0xFF0000 --size 0xC000 --version 01.05.10 --out "$dir/files/Slv_Lambda_010510_fw.mhx"
"$sim" make-firmware --base 0xFFC000 --size 0x4000 --version 01.02 --out "$dir/files/_BOOTER/Booter_Slv_Lambda_0102.mhx"
# $1: the file; $2: how many slaves, each a display unit whose firmware is due.
scenario() {
  local slaves= n
  for n in $(seq 1 "$2"); do
    slaves+="${slaves:+, }{\"number\": $n, \"code\": 2006, \"serial\": $((2000 + n)), \"firmware\": \"01.00.00\", \"booter\": \"01.02\"}"
  done
  printf '{"time_scale": %s, "instruments": [{"code": 65, "serial": 1001, "firmware": "46.03.00", "slaves": [%s]}]}\n' \
    "$scale" "$slaves" > "$1"
}
scenario "$dir/eight.json" 8
scenario "$dir/five.json" 5

out=$(QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" XDG_STATE_HOME="$work/state" \
      "$probe" "$dir/eight.json" "$dir/five.json" "$dir/files")
echo "$out"
max=$(sed -n 's/^max \([0-9]*\) ms$/\1/p' <<<"$out")
echo "window's thread, worst lateness: max $max ms (goal <= 50 ms: $(met_if "$max" le 50))"
