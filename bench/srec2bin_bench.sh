#!/usr/bin/env bash
# The S-record loader near its limit: vesk-firmup-cli srec2bin turning about
# 37 MB of S3 records into a 16 MB image (90 % filled), beside what merely
# reading the records and writing an image costs (cat IN > /dev/null; cat IMAGE
# > OUT) and beside objcopy and srec_cat doing the same conversion, all in the
# same run. Prints the best wall and CPU time of the runs and the ratios; goal:
# srec2bin within 3 times of the copy.
#
#   bash bench/srec2bin_bench.sh [runs]
#
# Builds a release tree in build-bench (or VESK_BENCH_BUILD_DIR).
source "$(dirname "$0")/lib.sh"
runs=${1:-5}
bench_build vesk-firmup-cli vesk-sim
bench_workdir

size=0x1000000
"$sim" make-firmware --base 0 --size $size --version 01.00.00 --records S3 --fill-percent 90 \
  --out "$work/fw.mhx"
echo "input: $(stat -c %s "$work/fw.mhx") bytes of S3 records for a $((size)) byte image"
"$cli" srec2bin --no-header --base 0 --size $size "$work/fw.mhx" "$work/image.bin"

# Best wall and best CPU of the runs: t_<name> and c_<name>.
time_it() {
  local name=$1
  shift
  best_of "$runs" wall -- "$@"
  printf -v "t_$name" '%s' "$best_wall"
  printf -v "c_$name" '%s' "$best_cpu"
}

time_it copy sh -c 'cat "$1" > /dev/null && cat "$2" > "$3"' copy "$work/fw.mhx" "$work/image.bin" "$work/copy.bin"
time_it ours "$cli" srec2bin --no-header --base 0 --size $size "$work/fw.mhx" "$work/ours.bin"
# Once each: far slower (srec_cat takes minutes on a busy machine).
runs=1 time_it objcopy objcopy -I srec -O binary --gap-fill 0xff --pad-to $size "$work/fw.mhx" "$work/objcopy.bin"
runs=1 time_it srec_cat srec_cat "$work/fw.mhx" -fill 0xFF 0 $size -o "$work/srec_cat.bin" -binary

cmp -s "$work/ours.bin" "$work/objcopy.bin" || { echo "srec2bin and objcopy differ" >&2; exit 1; }
cmp -s "$work/ours.bin" "$work/srec_cat.bin" || { echo "srec2bin and srec_cat differ" >&2; exit 1; }

ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
echo "best of $runs runs (objcopy and srec_cat: one), wall (CPU) in ms: copy $(ms "$t_copy") ($(ms "$c_copy")), srec2bin $(ms "$t_ours") ($(ms "$c_ours")), objcopy $(ms "$t_objcopy") ($(ms "$c_objcopy")), srec_cat $(ms "$t_srec_cat") ($(ms "$c_srec_cat"))"
wall_ratio=$(ratio "$t_ours" "$t_copy")
cpu_ratio=$(ratio "$c_ours" "$c_copy")
echo "srec2bin / copy = ${wall_ratio} wall, ${cpu_ratio} CPU (goal <= 3: $(met_if "$wall_ratio" le 3) wall, $(met_if "$cpu_ratio" le 3) CPU)"
echo "objcopy / srec2bin = $(ratio "$t_objcopy" "$t_ours"), srec_cat / srec2bin = $(ratio "$t_srec_cat" "$t_ours") (wall)"
