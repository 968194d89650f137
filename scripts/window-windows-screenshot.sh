#!/usr/bin/env bash
# Takes docs/window-windows.png: mervane-panel.exe --demo under Wine on a virtual X display (Xvfb),
# the window copied from the screen as a bitmap and converted to PNG here. Wine draws the window
# frame itself (no window manager runs on the virtual display).
# Usage: bash scripts/window-windows-screenshot.sh [output.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/window-windows.png}"
bash scripts/deps.sh g++-mingw-w64-x86-64-posix wine64 xvfb xauth
cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMERVANE_TESTS_32=OFF >/dev/null
cmake --build build-win64 -j2 --target mervane-panel mervane-boxsim

# A prefix of its own with Wine's X11 driver (the tests' prefix uses the null driver).
export WINEPREFIX="$PWD/build-win64/wineprefix-x11" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
export WINEPATH="$PWD/build-win64;$PWD/build-win64/boxsim"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
bitmap=$(mktemp --suffix .bmp)
trap 'rm -f "$bitmap"' EXIT
xvfb-run -a -s "-screen 0 1280x800x24" sh -c \
  "'$wine' wineboot -i >/dev/null 2>&1
   '$wine' reg add 'HKCU\\Software\\Wine\\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
   '$wine' build-win64/tools/mervane-panel.exe --demo --screenshot '$bitmap'"

# 24-bit bottom-up BMP to PNG (RGB, no filter), with the standard library only.
python3 - "$bitmap" "$out" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
offset, = struct.unpack_from("<I", data, 10)
width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
assert bits == 24, "a 24-bit bitmap is expected"
stride = (width * 3 + 3) & ~3
rows = []
for y in range(abs(height)):
    source = height - 1 - y if height > 0 else y
    row = data[offset + source * stride: offset + source * stride + width * 3]
    rgb = bytearray(row)
    rgb[0::3], rgb[2::3] = row[2::3], row[0::3]  # BGR to RGB
    rows.append(b"\0" + bytes(rgb))
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
print(f"{sys.argv[2]}: {width} x {abs(height)}")
PY
