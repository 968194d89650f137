#!/usr/bin/env bash
# Main job: installs what is missing, builds, and lists the attached boxes. Without the vendor's
# D2XX library (or with MERVANE_SIMULATE=1) the boxes come from the emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMERVANE_TESTS=OFF -DMERVANE_BENCH=OFF >/dev/null
cmake --build build -j2 --target mervane mervane-boxsim mervane-list
if [ -z "${MERVANE_D2XX_LIBRARY:-}" ]; then
  if [ "${MERVANE_SIMULATE:-0}" = 1 ] || ! ldconfig -p 2>/dev/null | grep -q libftd2xx; then
    export MERVANE_D2XX_LIBRARY="$PWD/build/boxsim/libmervane-boxsim.so"
    echo "No D2XX library installed: using the box emulator ($MERVANE_D2XX_LIBRARY)."
  fi
fi
export MERVANE_CONFIG_DIR="${MERVANE_CONFIG_DIR:-$PWD/build/configs/}"
mkdir -p "$MERVANE_CONFIG_DIR"
exec ./build/tools/mervane-list "$@"
