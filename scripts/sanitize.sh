#!/usr/bin/env bash
# Sanitizer job: builds the library and the tests with the thread sanitizer ("thread") or the
# address and undefined-behaviour sanitizers ("address") and runs the tests under it.
# Usage: bash scripts/sanitize.sh thread|address [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:?usage: sanitize.sh thread|address}"
shift
case "$mode" in thread | address) ;; *) echo "usage: sanitize.sh thread|address" >&2; exit 2 ;; esac
bash scripts/deps.sh
dir="build-$mode"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERVANE_SANITIZE="$mode" -DMERVANE_TESTS=ON \
  -DMERVANE_TESTS_32=ON -DMERVANE_RUN_32=auto -DMERVANE_BENCH=OFF >/dev/null
cmake --build "$dir" -j2
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1 ${UBSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp ${LSAN_OPTIONS:-}"
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2 --timeout 300 "$@"
