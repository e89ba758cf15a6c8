#!/bin/sh
# The whole fault matrix: every fault the simulator has at every step of the
# reference update run (a master and three slaves), each cell in a child
# process, printed as a table with its totals. Exit status 0 when no cell
# hung, crashed or broke an invariant.
#
#   scripts/fault-matrix.sh [BUILD_DIR]      (default: build)
#   VESK_FAULT_MATRIX_JOBS=N                  cells at once (default 2)
#   VESK_FAULT_MATRIX_STRIDE=K                every K-th transfer only (default 1: all)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target test_scenarios
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
VESK_FAULT_MATRIX=full exec "$build/tests/test_scenarios" --gtest_filter='FaultMatrix.FullTable' --gtest_brief=1
