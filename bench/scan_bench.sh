#!/usr/bin/env bash
# vesk-firmup-cli plan over an update folder of 10,000 files (3,000 firmware
# files with their 3,000 language files, all older than the one offered, and
# 4,000 files of no instrument) against the same plan over the measured run's
# folder alone (6 files): best wall time of the runs. The catalogue lists each
# folder once and matches in memory, so the goal is at most twice the time.
#
#   bash bench/scan_bench.sh [runs]
source "$(dirname "$0")/lib.sh"
runs=${1:-5}
bench_build vesk-firmup-cli vesk-sim
bench_workdir
bench_run_files "$work/small" 0
bench_run_files "$work/large" 0
python3 - "$work/large/files" <<'PY'
import os, sys
folder = sys.argv[1]
for v in range(300000, 303000):
    for kind in ("fw", "lng"):
        open(os.path.join(folder, "Pell_%06d_%s.mhx" % (v, kind)), "w").close()
for n in range(4000):
    open(os.path.join(folder, "notes_%04d.txt" % n), "w").close()
PY
small=$(find "$work/small/files" -maxdepth 1 -type f | wc -l)
large=$(find "$work/large/files" -maxdepth 1 -type f | wc -l)

best_of "$runs" wall -- "$cli" plan --simulate "$work/small/scenario.json" --folder "$work/small/files"
t_small=$best
[ "$m_status" = 0 ] || { echo "plan failed (exit $m_status)" >&2; exit 1; }
best_of "$runs" wall -- "$cli" plan --simulate "$work/large/scenario.json" --folder "$work/large/files"
t_large=$best
[ "$m_status" = 0 ] || { echo "plan failed (exit $m_status)" >&2; exit 1; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
r=$(ratio "$t_large" "$t_small")
echo "best of $runs runs: plan over $small files $(ms "$t_small") ms, over $large files $(ms "$t_large") ms"
echo "large / small = $r (goal <= 2: $(met_if "$r" le 2))"
