#!/usr/bin/env bash
# Tests the packages of dist/ (scripts/package.sh) as installed: installs them with apt on this
# machine, runs `mervanectl --sim demo --quick` from the PATH, builds a C program with pkg-config
# and one with CMake's find_package that each move a motor on the installed emulator, moves one
# from Debian's own Python, runs mervane-tango from the PATH (serves that motor where PyTango is
# installed), then purges the packages and checks that nothing of them is left.
# Needs root (or sudo); packages of mervane already installed are purged first.
set -euo pipefail
trap 'echo "package_test.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
cd "$(dirname "$0")/.."
bash scripts/deps.sh pkgconf
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
packages=(libmervane1 libmervane-dev mervane-tools python3-mervane)
debs=(dist/*.deb)
[ -e "${debs[0]}" ] || { echo "no packages in dist/: run scripts/package.sh first" >&2; exit 1; }
repo=$PWD
work=$(mktemp -d)
purge() { $SUDO dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; }
server=""  # the mervane-tango process while it runs
trap '[ -z "$server" ] || kill "$server" 2>/dev/null; purge; rm -rf "$work"' EXIT
purge

# What is on the system before: every path under /usr, /etc and /var/lib outside dpkg's and
# apt's own records.
snapshot() {
  find /usr /etc /var/lib -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/lib/ucf \) -prune \
    -o -print 2>/dev/null | sort
}
snapshot >"$work/before"

echo "== apt install ./dist/*.deb"
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
  -o DPkg::Lock::Timeout=300 "${debs[@]/#/./}" >/dev/null
dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${packages[@]}"
multiarch=$(gcc -print-multiarch)
emulator=/usr/lib/$multiarch/mervane/libmervane-boxsim.so
# Nothing of the checkout may be used: no variable pointing into it, programs from the PATH.
unset MERVANE_LIBRARY MERVANE_D2XX_LIBRARY MERVANE_WINDOW_MODULE BOXSIM_BOXES PYTHONPATH
cd "$work"

echo "== mervanectl --sim demo --quick ($(command -v mervanectl))"
[ "$(command -v mervanectl)" = /usr/bin/mervanectl ]
mervanectl --sim --state "$work/sim" demo --quick | tee "$work/demo.txt"
grep -q "^0 steps lost" "$work/demo.txt"
zcat /usr/share/man/man1/mervanectl.1.gz | grep -q "^Four motors on two emulated boxes"  # from its --help
[ -f /usr/lib/udev/rules.d/60-mervane.rules ]

echo "== C program built with: cc drive_motor.c \$(pkg-config --cflags --libs mervane)"
cc -Wall -Werror -o drive_pc "$repo/packaging/tests/drive_motor.c" $(pkg-config --cflags --libs mervane)
ldd drive_pc | grep -Eq "libmervane.so.1 => (/usr)?/lib/$multiarch/libmervane.so.1 "  # /lib is /usr/lib
mkdir -p pc-config && MERVANE_CONFIG_DIR="$work/pc-config/" ./drive_pc "$emulator"

echo "== C program built with CMake's find_package(mervane), control window shown"
cmake -S "$repo/packaging/tests" -B cmake-build >/dev/null
cmake --build cmake-build >/dev/null
mkdir -p cmake-config
mkdir -m 700 xdg-runtime
XDG_RUNTIME_DIR="$work/xdg-runtime" QT_QPA_PLATFORM=offscreen MERVANE_CONFIG_DIR="$work/cmake-config/" ./cmake-build/drive_motor "$emulator" --window

echo "== /usr/bin/python3: import mervane, move a motor on the emulator"
/usr/bin/python3 - "$work/py" <<'PY'
import sys
import mervane
assert mervane.__file__.startswith("/usr/lib/python3/dist-packages/"), mervane.__file__
with mervane.open(simulate=True, state_dir=sys.argv[1]) as lib:
    motor = lib.setup(0, "PY", "X (4wires)", address=2, coefficient=200, min_step_time=1, max_step_time=5)
    motor.move_to(0.5)
    assert motor.position == 0.5, motor.position
    print(f"{mervane.__file__}: motor PY at {motor.position} mm with {lib.path}")
PY

echo "== mervane-tango from the PATH: --help, then served on the emulator"
[ "$(command -v mervane-tango)" = /usr/bin/mervane-tango ]
[ "$(head -1 /usr/bin/mervane-tango)" = "#!/usr/bin/python3" ]  # Debian's Python, whatever is first on PATH
mervane-tango --help >tango-help.txt
head -1 tango-help.txt
grep -q "^Usage: mervane-tango " tango-help.txt
zcat /usr/share/man/man1/mervane-tango.1.gz | grep -q "^Tango device server for the motors of the boxes this PC holds"  # from its --help
[ "$(dpkg-query -W -f='${Suggests}' python3-mervane)" = python3-tango ]  # suggested, not required:
dpkg-query -W -f='${Depends}${Recommends}\n' python3-mervane | grep -vq tango
if /usr/bin/python3 -c "import tango" 2>/dev/null; then
  # The motor PY of the Python step, served by the installed script with the installed emulator.
  port=$(/usr/bin/python3 -c "import socket; s = socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])")
  mervane-tango --sim --state "$work/py" --nodb --port "$port" >tango.log 2>&1 &
  server=$!
  /usr/bin/python3 - "$port" "$work/tango.log" <<'PY'
import sys, time
import tango
port, log = sys.argv[1], sys.argv[2]
deadline = time.monotonic() + 30
while "Ready to accept request" not in open(log).read():
    assert time.monotonic() < deadline, open(log).read()
    time.sleep(0.1)
motor = tango.DeviceProxy(f"tango://127.0.0.1:{port}/mervane/motor/PY#dbase=no")
assert motor.Position == 0.5 and motor.state() == tango.DevState.ON, (motor.Position, motor.state())
print(f"device mervane/motor/PY on port {port}: Position {motor.Position} mm, {motor.state()}")
PY
  kill -TERM "$server"
  wait "$server"  # SIGTERM: stops, saves and ends with 0
  server=""
else
  echo "mervane-tango not started: /usr/bin/python3 has no PyTango (python3-tango is only suggested)"
fi

echo "== dpkg --purge"
cd "$repo"
$SUDO dpkg --purge "${packages[@]}" >/dev/null
hash -r
if command -v mervane-tango || [ -e /usr/share/man/man1/mervane-tango.1.gz ]; then
  echo "mervane-tango or its manual page is still installed after the purge" >&2
  exit 1
fi
snapshot >"$work/after"
if ! diff "$work/before" "$work/after"; then
  echo "the purge left the paths above behind (>) or took them away (<)" >&2
  exit 1
fi
echo "purged: nothing left behind"
