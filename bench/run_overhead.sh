#!/usr/bin/env bash
# The program's own cost during an update: vesk-firmup-cli update of a master
# with three slaves (firmware, booter and language due) on the virtual clock.
# Prints the process's CPU time (user + sys, best of the runs) against the
# instrument time the run stands for (the clock's advance, reported by the
# program itself through VESK_REPORT_CLOCK). Goal: at most 0.5 %. With perf
# installed, also where the CPU goes, by component.
#
#   bash bench/run_overhead.sh [runs]
source "$(dirname "$0")/lib.sh"
runs=${1:-5}
bench_build vesk-firmup-cli vesk-sim
bench_workdir
bench_run_files "$work" 0

run=("$cli" update --yes --simulate "$work/scenario.json" --folder "$work/files")
best_of "$runs" cpu --err "$work/err" -- env VESK_REPORT_CLOCK=1 "${run[@]}"
[ "$m_status" = 0 ] || { echo "the update did not finish (exit $m_status)" >&2; cat "$work/err" >&2; exit 1; }
clock_ms=$(sed -n 's/.*clock advanced \([0-9]*\) ms.*/\1/p' "$work/err")
cpu_ms=$(awk -v s="$best" 'BEGIN { printf "%.1f", s * 1000 }')
share=$(percent "$cpu_ms" "$clock_ms")
echo "run overhead (best of $runs): CPU ${cpu_ms} ms for ${clock_ms} ms of instrument time = ${share} % (goal <= 0.5 %: $(met_if "$share" le 0.5))"

if command -v perf >/dev/null && perf record -q -o "$work/probe.data" -- true >/dev/null 2>&1; then
  perf record -q -F 20000 --call-graph dwarf,16384 -o "$work/perf.data" -- "${run[@]}" >/dev/null 2>&1
  echo "where that CPU goes (perf samples by component, whole process):"
  perf script -i "$work/perf.data" 2>/dev/null | awk -f bench/perf_components.awk
else
  echo "(perf is not usable here: no breakdown by component)"
fi
