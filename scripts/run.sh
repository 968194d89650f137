#!/usr/bin/env bash
# Main job: installs what is missing, builds, and shows the library at work. Without the vendor's
# D2XX library (or with MERVANE_SIMULATE=1) it runs `mervanectl demo` on the box emulator; with it,
# it lists the attached boxes. Arguments, when given, go to mervanectl instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERVANE_TESTS=OFF -DMERVANE_BENCH=OFF >/dev/null
cmake --build build -j2 --target mervane mervane-boxsim mervanectl
if [ $# -gt 0 ]; then
  exec ./build/tools/mervanectl "$@"
fi
if [ -z "${MERVANE_D2XX_LIBRARY:-}" ] && { [ "${MERVANE_SIMULATE:-0}" = 1 ] || ! ldconfig -p 2>/dev/null | grep -q libftd2xx; }; then
  echo "No D2XX library installed: running the demo on the box emulator."
  exec ./build/tools/mervanectl demo
fi
export MERVANE_CONFIG_DIR="${MERVANE_CONFIG_DIR:-$PWD/build/configs/}"
mkdir -p "$MERVANE_CONFIG_DIR"
exec ./build/tools/mervanectl list
