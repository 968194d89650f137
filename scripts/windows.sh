#!/usr/bin/env bash
# Windows job: installs the mingw-w64 cross compilers and Wine, builds mervane.dll and the emulator
# mervane-boxsim.dll for 64-bit and 32-bit Windows, checks both export tables, and runs the test
# suite as Windows programs under Wine (the 32-bit programs only where a 32-bit Wine exists).
# Usage: bash scripts/windows.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
bash scripts/deps.sh g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 googletest

# 64-bit: the library, the emulator, the whole suite and the timer measuring tool.
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMERVANE_TESTS_32=OFF >/dev/null
cmake --build build-win64 -j2
# 32-bit, the pointer width of the host interface record: the layouts are checked while compiling;
# the plain test programs and the export check, no GoogleTest program.
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMERVANE_TESTS_32=OFF -DMERVANE_TESTS_GTEST=OFF -DMERVANE_BENCH=OFF >/dev/null
cmake --build build-win32 -j2

# One Wine prefix per build folder, set up before the tests start in parallel. The control
# window's tests need no display: Wine's null graphics driver makes real windows without one.
for dir in build-win64 build-win32; do
  "$dir/wine-run" wineboot -i >/dev/null 2>&1 || true
  "$dir/wine-run" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
done
ctest --test-dir build-win64 --output-on-failure -j2 --timeout 300 "$@"
ctest --test-dir build-win32 --output-on-failure -j2 --timeout 300 "$@"
echo "Windows job: $(( $(date +%s) - start )) s"
