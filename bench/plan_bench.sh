#!/usr/bin/env bash
# vesk-firmup-cli plan against the simulator (the measured run's master and
# three slaves, virtual clock), start to exit, beside vesk-firmup-cli --help
# and /bin/true in the same run: best wall time of the runs. Goal: plan at
# most 50 ms.
#
#   bash bench/plan_bench.sh [runs]
source "$(dirname "$0")/lib.sh"
runs=${1:-10}
bench_build vesk-firmup-cli vesk-sim
bench_workdir
bench_run_files "$work" 0

best_of "$runs" wall -- /bin/true
t_true=$best
best_of "$runs" wall -- "$cli" --help
t_help=$best
best_of "$runs" wall -- "$cli" plan --simulate "$work/scenario.json" --folder "$work/files"
t_plan=$best
c_plan=$best_cpu
[ "$m_status" = 0 ] || { echo "plan failed (exit $m_status)" >&2; exit 1; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
echo "best of $runs runs: /bin/true $(ms "$t_true") ms, --help $(ms "$t_help") ms, plan $(ms "$t_plan") ms"
echo "plan / --help = $(ratio "$t_plan" "$t_help"), plan / true = $(ratio "$t_plan" "$t_true")"
echo "plan: $(ms "$t_plan") ms wall, CPU $(ms "$c_plan") ms (goal <= 50 ms: $(met_if "$(ms "$t_plan")" le 50))"
