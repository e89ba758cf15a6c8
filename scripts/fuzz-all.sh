#!/bin/sh
# Every libFuzzer target at once, each for SECONDS of wall time at the lowest
# priority, new inputs collected apart; then each seed folder is minimised
# afresh from its old and new inputs (-merge=1 keeps only inputs that add
# coverage; hand-named seeds always stay). Prints each target's CPU time,
# runs and corpus size. Findings land in OUT/<target>/ as crash-*, leak-*,
# timeout-*.
#
#   scripts/fuzz-all.sh [SECONDS] [BUILD_DIR] [OUT]   (defaults: 1800 build-fuzz /tmp/vesk-fuzz)
#   VESK_FUZZ_TARGETS="records scenario"            some targets only
#   VESK_FUZZ_CPU_SECONDS=N    stop each target once it has used N seconds of
#                              CPU (SECONDS stays the wall-time cap), so every
#                              target gets its share on a busy machine
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
if [ -n "${VESK_FUZZ_CPU_SECONDS:-}" ]; then
    hz=$(getconf CLK_TCK)
    while :; do
        running=0
        for t in $targets; do
            pid=$(pgrep -f "^[^ ]*/fuzz_$t -max_total_time=$seconds " | head -1)
            [ -n "$pid" ] || continue
            running=1
            # utime + stime of the fuzzer itself (fields 14 and 15; the name
            # in field 2 has no spaces here)
            ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null) || continue
            if [ "${ticks:-0}" -ge $((VESK_FUZZ_CPU_SECONDS * hz)) ]; then
                kill -INT "$pid" 2>/dev/null
            fi
        done
        [ $running -eq 1 ] || break
        sleep 10
    done
fi
wait
printf '%-12s %8s %12s %8s %8s\n' target cpu-min runs corpus findings
for t in $targets; do
    # The corpus minimised afresh: the hand-named seeds stay, and of the old
    # and new inputs only those that add coverage to them come back, under
    # the fuzzer's own names (40 hex digits).
    seeds="tests/fuzz/corpus_$t"
    min="$out/$t/min"
    rm -rf "$min" && mkdir -p "$min"
    ls "$seeds" | grep -vxE '[0-9a-f]{40}' | while read -r n; do cp "$seeds/$n" "$min/"; done
    "$build/tests/fuzz/fuzz_$t" -merge=1 "$min" "$seeds" "$out/$t/new" > "$out/$t/merge.log" 2>&1
    if grep -qE '^MERGE-OUTER: [0-9]+ new files' "$out/$t/merge.log"; then
        ls "$seeds" | grep -xE '[0-9a-f]{40}' | while read -r n; do rm "$seeds/$n"; done
        ls "$min" | grep -xE '[0-9a-f]{40}' | while read -r n; do cp "$min/$n" "$seeds/"; done
    else
        echo "$t: the merge failed, corpus left as it was (see $out/$t/merge.log)" >&2
    fi
    cpu=$(tail -1 "$out/$t/cpu" | awk '{printf "%.1f", ($1 + $2) / 60}')
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t/log" | tail -1)
    size=$(ls "tests/fuzz/corpus_$t" | wc -l)
    found=$(ls "$out/$t" | grep -c -E '^(crash|leak|timeout|oom)-')
    printf '%-12s %8s %12s %8s %8s\n' "$t" "$cpu" "${runs:-?}" "$size" "$found"
done
