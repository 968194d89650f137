#!/usr/bin/env bash
# Fuzzing job: installs clang and its fuzzer runtime when missing, builds the libFuzzer targets
# (address and undefined-behaviour sanitizers) in build-fuzz/, and runs each target for SECONDS.
# Usage: bash fuzz/run.sh SECONDS [target...]   (targets: api_sequence plugin_handlers settings_load)
# The corpus grows in build-fuzz/corpus/<target>/ from the seeds in fuzz/corpus/<target>/; a
# finding is saved as build-fuzz/findings/<target>-crash-... and reproduced by
#   build-fuzz/fuzz/fuzz_<target> build-fuzz/findings/<target>-crash-...
# (MERVANE_FUZZ_TRACE=1 prints the operations of the API sequence target as it runs them).
# Exits non-zero when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:?usage: fuzz/run.sh SECONDS [target...]}"
shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(api_sequence plugin_handlers settings_load)

bash scripts/deps.sh clang libclang-rt-14-dev llvm
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERVANE_FUZZ=ON \
  -DMERVANE_TESTS=OFF -DMERVANE_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target "${targets[@]/#/fuzz_}"

mkdir -p "$dir/findings" "$dir/logs"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1 ${UBSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
status=0
for target in "${targets[@]}"; do
  corpus="$dir/corpus/$target"
  mkdir -p "$corpus"
  log="$dir/logs/$target.log"
  echo "== $target: ${seconds} s (log: $log)"
  if "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$dir/findings/$target-" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    result="nothing found"
  else
    result="FOUND SOMETHING: $(grep -m1 -E 'invariant broken|ERROR: |runtime error' "$log" || echo 'see the log')"
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  echo "   ${execs:-?} executions, ${rate:-?}/s, ${cov:-no coverage line}, corpus $(ls "$corpus" | wc -l) inputs: $result"
done
exit $status
