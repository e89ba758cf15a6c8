#!/usr/bin/env bash
# Peak resident size of whole processes: vesk-firmup-cli update of the
# measured run (a master with three slaves, firmware, booter and language
# due, on the virtual clock) and plan of the same instruments, beside
# vesk-firmup-cli --help as the program's floor. Goal: update at most 16 MB.
#
#   bash bench/memory.sh [runs]
source "$(dirname "$0")/lib.sh"
runs=${1:-3}
bench_build vesk-firmup-cli vesk-sim
bench_workdir
bench_run_files "$work" 0
args=(--simulate "$work/scenario.json" --folder "$work/files")

# Peak RSS varies little between runs: the largest seen is reported.
peak_of() {
  local peak=0
  for _ in $(seq "$runs"); do
    measure_once -- "$@"
    [ "$m_status" = 0 ] || { echo "failed (exit $m_status): $*" >&2; exit 1; }
    [ "$m_maxrss_kb" -gt "$peak" ] && peak=$m_maxrss_kb
  done
  echo "$peak"
}
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

help_kb=$(peak_of "$cli" --help)
plan_kb=$(peak_of "$cli" plan "${args[@]}")
update_kb=$(peak_of "$cli" update --yes "${args[@]}")
largest=$(find "$work/files" -name '*.mhx' -printf '%s %p\n' | sort -n | tail -1 | cut -d' ' -f2)
echo "peak RSS (largest of $runs runs): --help $(mb "$help_kb") MB, plan $(mb "$plan_kb") MB, update $(mb "$update_kb") MB"
echo "update / --help = $(ratio "$update_kb" "$help_kb"), plan / --help = $(ratio "$plan_kb" "$help_kb")"
echo "update: $(mb "$update_kb") MB (goal <= 16 MB: $(met_if "$update_kb" le 16384)); largest file $(basename "$largest"), a 256 KiB image"
