#!/usr/bin/env bash
# Test job: installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Every option that decides what is built is set here: scripts/run.sh configures the same folder
# without tests, and a cached choice must never thin out this run. A run that finds no test fails.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERVANE_TESTS=ON -DMERVANE_TESTS_32=ON \
  -DMERVANE_RUN_32=auto -DMERVANE_BENCH=ON -DMERVANE_SANITIZE= >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure --no-tests=error -j2 --timeout 300
