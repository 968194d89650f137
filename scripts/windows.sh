#!/usr/bin/env bash
# Windows job: installs the mingw-w64 cross compilers and Wine, builds mervane.dll and the emulator
# mervane-boxsim.dll for 64-bit and 32-bit Windows, checks both export tables, and runs the whole
# test suite of each as Windows programs under Wine: the 32-bit one in wine64's WoW64 mode, with
# Wine's i386 Windows DLLs unpacked into the build folder (skipped, saying why, where they cannot
# be had).
# Usage: bash scripts/windows.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)
bash scripts/deps.sh g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 googletest

# 64-bit: the library, the emulator, the whole suite and the timer measuring tool.
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMERVANE_TESTS_32=OFF >/dev/null
cmake --build build-win64 -j2
# 32-bit, the pointer width of the host interface record: the library, the emulator, the whole
# suite and the step-timing tool, run with wine64 and Wine's i386 Windows DLLs. Those come from
# Debian's libwine:i386 of wine64's version, downloaded and unpacked once into the build folder;
# wine32:i386 is not installed (its 32-bit loader cannot run where the kernel refuses i386
# programs, and /usr/bin/wine would prefer it).
wine_i386=build-win32/wine-i386
wine_i386_missing=""
prepare_wine_i386() {
  local sudo="" version deb
  version=$(dpkg-query -W -f='${Version}' wine64)
  # WoW64 needs the DLLs of the very Wine that runs them.
  [ "$(cat "$wine_i386/version" 2>/dev/null)" = "$version" ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 || { wine_i386_missing="dpkg --add-architecture i386 failed"; return 1; }
  fi
  $sudo apt-get update -qq || { wine_i386_missing="apt-get update failed"; return 1; }
  rm -rf "$wine_i386" && mkdir -p "$wine_i386/deb"
  # In a folder the download user _apt may write to.
  chmod 777 "$wine_i386/deb"
  (cd "$wine_i386/deb" && apt-get download -qq "libwine:i386=$version") ||
    { wine_i386_missing="apt-get download libwine:i386=$version failed"; return 1; }
  deb=$(ls "$wine_i386"/deb/libwine_*_i386.deb)
  # Only the Windows side (PE DLLs, about 750 files); the i386 Linux side is never used.
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$wine_i386" ./usr/lib/i386-linux-gnu/wine/i386-windows ||
    { wine_i386_missing="could not unpack $deb"; return 1; }
  rm -rf "$wine_i386/deb"
  echo "$version" >"$wine_i386/version"
}
mkdir -p build-win32
prepare_wine_i386 || echo "32-bit programs not run: no Wine i386 DLLs ($wine_i386_missing)"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMERVANE_TESTS_32=OFF -DMERVANE_TESTS_GTEST=ON -DMERVANE_BENCH=ON -DMERVANE_WINE_I386_MISSING="$wine_i386_missing" >/dev/null
cmake --build build-win32 -j2

# One Wine prefix per build folder, set up before the tests start in parallel; -u on a fresh
# 32-bit prefix (WINEDLLPATH set by the runner) fills its syswow64/. Then each prefix keeps one
# wineserver for its whole suite, with Wine's own background programs (services, the desktop)
# started here, their output going nowhere: otherwise they start with whichever test program
# comes first after an idle moment, hold that test's output open while they live, and each
# program waits for a server to start.
wineserver=/usr/lib/wine/wineserver
servers=()
stop_servers() {
  for dir in "${servers[@]}"; do WINEPREFIX="$PWD/$dir/wineprefix" "$wineserver" -k >/dev/null 2>&1 || true; done
}
trap stop_servers EXIT
for dir in build-win64 build-win32; do
  "$dir/wine-run" wineboot -u </dev/null >/dev/null 2>&1 || continue
  # The control window's tests need no display: Wine's null graphics driver makes real windows
  # without one.
  "$dir/wine-run" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 || true
  WINEPREFIX="$PWD/$dir/wineprefix" "$wineserver" -w || true
  WINEPREFIX="$PWD/$dir/wineprefix" "$wineserver" -p </dev/null >/dev/null 2>&1 && servers+=("$dir")
  "$dir/wine-run" wineboot </dev/null >/dev/null 2>&1 || true
done
# A test that fails is run once more: under Wine on a busy machine a test program now and then
# stays alive for about two minutes after its last check passed (seen with the companion launch
# tests, whose program is started through the shell) or ends at once without running; a second
# failure still fails the job.
ctest --test-dir build-win64 --output-on-failure -j2 --timeout 300 --repeat until-pass:2 "$@"
ctest --test-dir build-win32 --output-on-failure -j2 --timeout 300 --repeat until-pass:2 "$@"
# The step timing of a 32-bit program (figures in docs/PERFORMANCE.md); timing is no pass/fail.
build-win32/wine-run build-win32/bench/step_timing_bench.exe || echo "32-bit step timing did not run"
echo "Windows job: $(( $(date +%s) - start )) s"
