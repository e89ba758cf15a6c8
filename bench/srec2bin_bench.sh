#!/usr/bin/env bash
# Times vesk-firmup-cli srec2bin on a large S3 file (a 16 MB image, 90% filled)
# side by side with objcopy and srec_cat in the same run, and prints how many
# times slower each of them is than srec2bin (above 1: srec2bin is faster).
#
#   bash bench/srec2bin_bench.sh [runs]
#
# Builds a release tree in build-bench (or uses VESK_BENCH_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-3}
build=${VESK_BENCH_BUILD_DIR:-build-bench}
bash scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF >/dev/null
cmake --build "$build" --target vesk-firmup-cli vesk-sim >/dev/null

cli=$build/src/cli/vesk-firmup-cli
sim=$build/sim/tool/vesk-sim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

size=0x1000000
"$sim" make-firmware --base 0 --size $size --version 01.00.00 --records S3 --fill-percent 90 \
  --out "$work/fw.mhx"
echo "input: $(stat -c %s "$work/fw.mhx") bytes of S3 records for a $((size)) byte image"

# Best of the runs, in seconds.
best() {
  local best_ns=
  for _ in $(seq "$runs"); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null
    t1=$(date +%s%N)
    local ns=$((t1 - t0))
    if [ -z "$best_ns" ] || [ "$ns" -lt "$best_ns" ]; then best_ns=$ns; fi
  done
  awk -v ns="$best_ns" 'BEGIN { printf "%.3f", ns / 1e9 }'
}

t_ours=$(best "$cli" srec2bin --no-header --base 0 --size $size "$work/fw.mhx" "$work/ours.bin")
t_objcopy=$(best objcopy -I srec -O binary --gap-fill 0xff --pad-to $size "$work/fw.mhx" "$work/objcopy.bin")
t_srec_cat=$(best srec_cat "$work/fw.mhx" -fill 0xFF 0 $size -o "$work/srec_cat.bin" -binary)

cmp -s "$work/ours.bin" "$work/objcopy.bin" || { echo "srec2bin and objcopy differ" >&2; exit 1; }
cmp -s "$work/ours.bin" "$work/srec_cat.bin" || { echo "srec2bin and srec_cat differ" >&2; exit 1; }

echo "best of $runs runs: srec2bin ${t_ours} s, objcopy ${t_objcopy} s, srec_cat ${t_srec_cat} s"
awk -v a="$t_objcopy" -v b="$t_ours" 'BEGIN { printf "objcopy / srec2bin = %.2f\n", a / b }'
awk -v a="$t_srec_cat" -v b="$t_ours" 'BEGIN { printf "srec_cat / srec2bin = %.2f\n", a / b }'
