#!/bin/sh
# Every libFuzzer target at once, each for SECONDS of wall time at the lowest
# priority, new inputs collected apart; then each grown corpus is minimised
# into its committed seed folder (-merge=1 keeps only inputs that add
# coverage). Prints each target's CPU time, runs and corpus size. Findings
# land in OUT/<target>/ as crash-*, leak-*, timeout-*.
#
#   scripts/fuzz-all.sh [SECONDS] [BUILD_DIR] [OUT]   (defaults: 1800 build-fuzz /tmp/vesk-fuzz)
#   VESK_FUZZ_TARGETS="records scenario"            some targets only
set -u
cd "$(dirname "$0")/.."
seconds=${1:-1800}
build=${2:-build-fuzz}
out=${3:-/tmp/vesk-fuzz}
targets=${VESK_FUZZ_TARGETS:-mhx2bin xml_wrapper vers_file settings lang_file records scenario}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0}
export TMPDIR=${TMPDIR:-/dev/shm}
for t in $targets; do
    mkdir -p "$out/$t/new"
    case $t in
        xml_wrapper|settings|lang_file|vers_file) extra=-dict=$PWD/tests/fuzz/xml.dict ;;
        *) extra= ;;
    esac
    (cd "$out/$t" && exec /usr/bin/time -f "%U %S" -o "$out/$t/cpu" nice -n 19 \
        "$OLDPWD/$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        $extra "$out/$t/new" "$OLDPWD/tests/fuzz/corpus_$t" > "$out/$t/log" 2>&1) &
done
wait
printf '%-12s %8s %12s %8s %8s\n' target cpu-min runs corpus findings
for t in $targets; do
    "$build/tests/fuzz/fuzz_$t" -merge=1 "tests/fuzz/corpus_$t" "$out/$t/new" > "$out/$t/merge.log" 2>&1
    cpu=$(awk '{printf "%.1f", ($1 + $2) / 60}' "$out/$t/cpu")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t/log" | tail -1)
    size=$(ls "tests/fuzz/corpus_$t" | wc -l)
    found=$(ls "$out/$t" | grep -c -E '^(crash|leak|timeout|oom)-')
    printf '%-12s %8s %12s %8s %8s\n' "$t" "$cpu" "${runs:-?}" "$size" "$found"
done
