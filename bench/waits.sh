#!/usr/bin/env bash
# What waiting costs, on the real clock (time_scale 1): the CPU the process
# uses during a full reconnection wait (4.4 s + 10 x 2.2 s = 26.4 s, the
# master never coming back from its booter switch), while vesk-firmup-cli
# update waits for its "Proceed?" answer, and while the window sits idle
# showing its plan (offscreen, or under xvfb-run with --xvfb). Each as a
# share of one core; goal: under 1 %. The reconnection wait's length is set
# against the 26.4 s it is made of: the 10 ms slices must not add up to more.
# Takes about a minute of real time.
#
#   bash bench/waits.sh [idle seconds] [--xvfb]
source "$(dirname "$0")/lib.sh"
idle=${1:-10}
xvfb=${2:-}
bench_build vesk-firmup-cli vesk-sim vesk-firmup
bench_workdir
share() { awk -v c="$1" -v w="$2" 'BEGIN { printf "%.3f", 100 * c / w }'; }

# The reconnection wait: the master leaves for its booter and never returns.
bench_run_files "$work" 1 '"net_rebuild_ms": 0, "faults": [{"kind": "never_returns"}]'
measure_once --window "Waiting 4 seconds for reconnection" "Not reconnected" --comm vesk-firmup-cli \
  --out "$work/reconnect.out" -- "$cli" update --yes --simulate "$work/scenario.json" --folder "$work/files"
if [ "$m_window_wall" = "not seen" ]; then echo "the reconnection wait was not seen" >&2; cat "$work/reconnect.out" >&2; exit 1; fi
over_ms=$(awk -v w="$m_window_wall" 'BEGIN { printf "%.0f", (w - 26.4) * 1000 }')
pct=$(share "$m_window_cpu" "$m_window_wall")
echo "reconnection wait: ${m_window_wall} s against 26.4 s of waits (${over_ms} ms over), CPU ${m_window_cpu} s = ${pct} % of one core (goal < 1 %: $(met_if "$pct" lt 1))"

# update waiting for its answer.
measure_once --idle "Proceed? [y/N]" "$idle" --comm vesk-firmup-cli --out "$work/ask.out" -- \
  "$cli" update --simulate "$work/scenario.json" --folder "$work/files"
pct=$(share "$m_idle_cpu" "$m_idle_wall")
echo "update waiting for its answer: CPU ${m_idle_cpu} s in ${m_idle_wall} s = ${pct} % of one core (goal < 1 %: $(met_if "$pct" lt 1))"

# The window showing its plan, nobody touching it.
mkdir -m 700 "$work/runtime"
window=(env XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state")
if [ "$xvfb" = --xvfb ]; then
  window+=(QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24")
  how="under xvfb-run"
else
  window+=(QT_QPA_PLATFORM=offscreen)
  how="offscreen"
fi
measure_once --idle "Click 'Execute'" "$idle" --stop --comm vesk-firmup --out "$work/window.out" -- \
  "${window[@]}" "$bench_build/src/ui/vesk-firmup" --simulate "$work/scenario.json" "UseFolder($work/files)AsMain"
if [ "$m_idle_cpu" = "not seen" ] || [ "$m_idle_cpu" = unknown ]; then
  echo "the window's plan was not seen" >&2; tail -5 "$work/window.out" >&2; exit 1
fi
pct=$(share "$m_idle_cpu" "$m_idle_wall")
echo "idle window ($how): CPU ${m_idle_cpu} s in ${m_idle_wall} s = ${pct} % of one core (goal < 1 %: $(met_if "$pct" lt 1))"
