# Shared by the benchmark scripts: the release build, a work folder, the
# update files and scenario of the measured run, and best-of-runs helpers.
# Sourced from a script in bench/; leaves the shell in the repository root.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bench_build=${VESK_BENCH_BUILD_DIR:-build-bench}
cli=$bench_build/src/cli/vesk-firmup-cli
sim=$bench_build/sim/tool/vesk-sim
measure=bench/measure.py

# Builds a Release tree of the given targets (the tests are not built).
bench_build() {
  bash scripts/install-deps.sh
  cmake -S . -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_TESTS=OFF >/dev/null
  cmake --build "$bench_build" -j "$(nproc)" --target "$@" >/dev/null
}

# A work folder on a memory file system when there is one, so that file
# writes measure the program rather than the disk.
bench_workdir() {
  local parent=/dev/shm
  [ -d "$parent" ] && [ -w "$parent" ] || parent=${TMPDIR:-/tmp}
  work=$(mktemp -d "$parent/vesk-bench.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

# The measured run: a Pell DL master (firmware and language due) with three
# slaves: a display unit whose firmware is due, one whose booter is due, and
# an expansion unit whose firmware and language are due. Full-size images.
# $1: the folder for the update files and the scenario; $2: time_scale;
# further arguments: extra master keys as JSON text (e.g. a fault).
bench_run_files() {
  local dir=$1 scale=$2 extra=${3:-}
  rm -rf "$dir/files"
  mkdir -p "$dir/files/_BOOTER" "$dir/files/_ACCESSORI"
  "$sim" make-firmware --base 0xFC0000 --size 0x40000 --version 46.05.00 --out "$dir/files/Pell_460500_fw.mhx"
  "$sim" make-firmware --base 0xFC0000 --size 0x40000 --version 46.05.00 --out "$dir/files/Pell_460500_lng.mhx"
  "$sim" make-firmware --base 0xFF0000 --size 0xC000 --version 01.05.10 --out "$dir/files/Slv_Lambda_010510_fw.mhx"
  "$sim" make-firmware --base 0xFFC000 --size 0x4000 --version 01.02 --out "$dir/files/_BOOTER/Booter_Slv_Lambda_0102.mhx"
  "$sim" make-firmware --base 0xFC0000 --size 0x40000 --version 02.01.00 --out "$dir/files/Slv_Varnel_020100_fw.mhx"
  "$sim" make-firmware --base 0xFC0000 --size 0x40000 --version 02.01.00 --out "$dir/files/Slv_Varnel_020100_lng.mhx"
  cat > "$dir/scenario.json" <<JSON
{"time_scale": $scale,
 "instruments": [{"code": 65, "serial": 1001, "firmware": "46.03.00"${extra:+, $extra},
  "slaves": [
    {"number": 1, "code": 2006, "serial": 2001, "firmware": "01.00.00", "booter": "01.02"},
    {"number": 2, "code": 2006, "serial": 2002, "firmware": "01.05.10", "booter": "01.00"},
    {"number": 3, "code": 2021, "serial": 2003, "firmware": "02.00.00", "booter": "01.00"}]}]}
JSON
}

# Runs measure.py on a command; sets the variables m_<key> (m_cpu, m_wall ...)
# from what it printed. Options before "--" are measure.py's.
measure_once() {
  local k v
  while IFS='=' read -r k v; do
    printf -v "m_$k" '%s' "$v"
  done < <(python3 "$measure" "$@")
}

# Best (smallest) value of one measured key over runs: best_of RUNS KEY measure-args...
# Sets best to it, and best_wall and best_cpu to the smallest of those over
# the same runs; the last run's other keys stay in m_*.
best_of() {
  local runs=$1 var=m_$2
  shift 2
  best= best_wall= best_cpu=
  for _ in $(seq "$runs"); do
    measure_once "$@"
    best=$(smaller "$best" "${!var}")
    best_wall=$(smaller "$best_wall" "$m_wall")
    best_cpu=$(smaller "$best_cpu" "$m_cpu")
  done
}
smaller() { if [ -z "$1" ] || awk -v a="$2" -v b="$1" 'BEGIN { exit !(a < b) }'; then echo "$2"; else echo "$1"; fi; }

# a / b with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
# 100 * a / b with three decimals.
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? 100 * a / b : 0) }'; }
# "met" or "NOT met": met_if A OP B (OP one of le, lt).
met_if() { awk -v a="$1" -v b="$3" -v op="$2" 'BEGIN { ok = (op == "le" ? a <= b : a < b); print (ok ? "met" : "NOT met") }'; }
