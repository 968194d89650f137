#!/usr/bin/env bash
# Test job: installs what is missing, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# Tests and benchmarks on: run.sh turns both off in the same build folder.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERVANE_TESTS=ON -DMERVANE_BENCH=ON >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 --timeout 300
