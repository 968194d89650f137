# mervanectl against the box emulator: output and exit status of each command, refusals, moves
# checked against the emulator's decoded steps, and state kept from one process to the next.
import os
import re
import signal
import subprocess
import time

import pytest

MERVANECTL = os.environ.get("MERVANECTL", os.path.join(os.path.dirname(__file__), "../../build/tools/mervanectl"))


@pytest.fixture
def ctl(tmp_path):
    """Runs mervanectl on the emulator with this test's state folder: (status, stdout, stderr)."""
    def run(*args, program=MERVANECTL):
        done = subprocess.run([program, "--state", str(tmp_path), *args], capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout, done.stderr
    run.state = tmp_path
    return run


def rows(stdout):
    return [line.split("\t") for line in stdout.splitlines()]


def wait_gone(pid, seconds=30):
    """Waits until process `pid` has ended (a background move)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.02)
    raise AssertionError(f"process {pid} still runs")


X = ["setup", "0", "--name", "X", "--type", "X (4wires)", "--address", "1", "--coef", "200", "--min", "1", "--max", "10"]


def test_list_and_its_former_name(ctl):
    status, out, err = ctl("list")
    assert (status, err) == (0, "")
    assert rows(out) == [
        ["index", "serial", "model", "name", "connected", "motors", "settings file"],
        ["0", "SIM00001", "VORK-KADO", "VORK-KADO0", "yes", "0", f"{ctl.state}/SIM00001.hws"],
        ["1", "SIM00002", "VORK-ql2", "VORK-ql21", "yes", "0", f"{ctl.state}/SIM00002.hws"]]
    alias = os.path.join(os.path.dirname(MERVANECTL), "mervane-list")
    assert ctl(program=alias) == (0, out, "")


def test_setup_then_motors(ctl):
    assert ctl(*X)[0] == 0
    status, out, _ = ctl("setup", "SIM00002", "--name", "Rot", "--type", "0x2d", "--address", "3", "--half-steps")
    assert status == 0 and out.startswith("Rot: R (synchron) on box 1 channel 0, address 3")
    status, out, _ = ctl("motors")
    assert rows(out)[1:] == [["0", "0", "X", "X (4wires)", "1", "0", "0", "no"],
                             ["1", "0", "Rot", "R (synchron)", "3", "0", "0", "no"]]
    # Reconfiguring keeps what is not given.
    assert ctl("setup", "0", "--channel", "0", "--address", "4")[0] == 0
    assert rows(ctl("motors")[1])[1][:5] == ["0", "0", "X", "X (4wires)", "4"]


COEFFICIENT_RANGE = "Type error: Coefficient must be between 6.3e-30 and 3.4e+38 in size!"


# Each refused value names the option it came from.
@pytest.mark.parametrize("extra, status, message", [
    (["--coef", "abc"], 2, "Type error: Value must be number! (--coef abc)"),
    (["--length", "x1"], 2, "Type error: Value must be number! (--length x1)"),
    (["--coef", "0"], 2, "Type error: Coefficient must be different from zero! (--coef 0)"),
    (["--accel", "0"], 2, "Type error: Value must be higher then zero! (--accel 0)"),
    (["--min", "abc"], 2, "Type error: Value must be integer! (--min abc)"),
    (["--accel", "200"], 2, "Type error: Value must not be higher then 127! (--accel 200)"),
    (["--max", "20000"], 2, "Type error: Value must not be higher then 10000! (--max 20000)"),
    (["--min", "30", "--max", "10"], 2, "Type error: Max step time must be higher then Min step time! (--max 10)"),
    (["--name", "TENLETTERS"], 2, "Type error: Name must be at most 9 characters! (--name TENLETTERS)"),
    (["--address", "9"], 2, "Type error: Address must be 1..7, or 0 for Unplugged! (--address 9)"),
    (["--length", "2e7", "--coef", "200"], 2, "Type error: Length must be at most 2147483647 steps! (--length 2e7)"),
    (["--offset", "nan"], 2, "Type error: Value must be number! (--offset nan)"),
    *[(["--coef", text], 2, f"{COEFFICIENT_RANGE} (--coef {text})") for text in ["nan", "inf", "-inf", "1e400", "1e39", "1e-50"]],
    (["--name", ""], 2, "--name: an empty name is refused"),
    (["--name", "A\tB"], 2, "--name: a name with control characters is refused"),
    (["--name", "A\nB"], 2, "--name: a name with control characters is refused"),
    (["--type", "Q (9wires)"], 2, "--type: 'Q (9wires)' is no motor type code or name"),
    (["--type", "None"], 1, "setup refused: type None marks an unused channel"),
    (["--address", "1"], 1, "setup refused: address 1 is already used by motor X on box 0"),
])
def test_setup_refused(ctl, extra, status, message):
    assert ctl(*X)[0] == 0
    base = ["setup", "0", "--name", "Y", "--type", "0x86", "--address", "2"]
    assert ctl(*base, *extra) == (status, "", f"mervanectl: {message}\n")
    assert len(rows(ctl("motors")[1])) == 2  # nothing added


def test_move_matches_the_wire_and_survives_the_process(ctl):
    ctl(*X)
    status, out, err = ctl("move", "X", "2.5")
    assert (status, err) == (0, "")
    lines = rows(out)
    assert ["Motor Stopped: X at 2.5 mm after"] == [lines[-3][0][:32]]
    assert lines[-2:] == [["X", "2.5", "2.5", "stopped"], ["emulator", "X", "500", "0"]]
    # A new process starts where the last one stopped.
    assert rows(ctl("move", "X", "--relative", "--", "-1")[1])[-2:] == [
        ["X", "1.5", "1.5", "stopped"], ["emulator", "X", "-200", "0"]]
    assert rows(ctl("motors")[1])[1][5] == "1.5"


@pytest.mark.parametrize("args, status, message", [
    (["move", "NOPE", "1"], 1, "mervanectl: no motor named 'NOPE'\n"),
    (["move", "X", "abc"], 2, "mervanectl: POSITION: 'abc' is not a number\n"),
    (["move", "U", "1"], 1, "mervanectl: move of U refused: it is unplugged (address 0)\n"),
    (["stop", "NOPE"], 1, "mervanectl: no motor named 'NOPE'\n"),
    (["zero"], 2, "mervanectl: zero: NAME is required\n"),
    (["release", "X", "--all"], 2, "mervanectl: release: give a NAME or --all, not both\n"),
    (["run", "7"], 1, "mervanectl: no box 7 (2 listed)\n"),
    (["run", "0", "X=abc"], 2, "mervanectl: X: 'abc' is not a number\n"),
    (["rename", "NOBOX", "A"], 1, "mervanectl: no box with serial or name 'NOBOX'\n"),
])
def test_refusals(ctl, args, status, message):
    ctl(*X)
    ctl("setup", "1", "--name", "U", "--type", "0x86")
    assert ctl(*args)[0::2] == (status, message)


@pytest.mark.parametrize("args", [[], ["bogus"], ["move", "X"], ["move", "X", "1", "--fast"], ["watch", "--count", "-1"]])
def test_usage_errors(ctl, args):
    status, out, err = ctl(*args)
    assert status == 2 and err != ""


def test_help_for_every_command(ctl):
    for command in ["", "demo", "list", "motors", "setup", "move", "stop", "zero", "reset", "release", "remove",
                    "initialize", "run", "rename", "watch"]:
        status, out, _ = ctl(*([command] if command else []), "--help")
        assert status == 0 and "Usage:" in out, command


def test_one_motor_actions(ctl):
    ctl(*X)
    ctl("move", "X", "1")
    assert rows(ctl("zero", "X")[1]) == [["X", "zero", "0", "1"]]
    assert rows(ctl("stop", "X")[1]) == [["X", "stop", "1", "0"]]  # the zero is not kept in the file
    assert rows(ctl("reset", "X")[1]) == [["X", "reset", "0", "0"]]
    assert rows(ctl("release", "X")[1]) == [["X", "release", "0", "0"]]
    assert ctl("release", "--all") == (0, "released all motors\n", "")
    assert ctl("initialize", "X")[1] == "X: X (4wires) is no block axis, nothing to do\n"
    assert ctl("remove", "X")[1] == "X: removed from box 0\n"
    assert rows(ctl("motors")[1]) == [["box", "channel", "name", "type", "address", "position", "destination", "running"]]


def test_initialize_drives_a_block_axis_below_its_length(ctl):
    ctl("setup", "1", "--name", "Z", "--type", "Z block (4wires)", "--address", "2", "--coef", "10", "--length", "4",
        "--min", "1", "--max", "5")
    status, out, _ = ctl("initialize", "Z")
    assert status == 0 and rows(out)[-1] == ["Z", "initialize", "-4.4", "0"]


def test_run_rename_watch(ctl):
    ctl(*X)
    ctl("setup", "0", "--name", "Y", "--type", "0x86", "--address", "2", "--min", "1", "--max", "10")
    status, out, _ = ctl("run", "0", "X=1", "Y=-2")
    stopped = [line[:line.index(" after")] for line in out.splitlines() if line.startswith("Motor Stopped")]
    assert status == 0 and sorted(stopped) == ["Motor Stopped: X at 1 mm", "Motor Stopped: Y at -2 mm"]
    assert ctl("rename", "1", "Bench B") == (0, "1\tSIM00002\tBench B\n", "")
    status, out, _ = ctl("watch", "--count", "2", "--interval", "0.05")
    # The tick's counters: what they count varies with the machine, their form and the writes not.
    idle = "N ticks, N skipped, N late (worst N ms), 0 failed writes, 0 steps"
    block = ["box 0 SIM00001 VORK-KADO0: connected, 2 motors",
             "  tick: " + idle,
             "  X         X (4wires)                    1 ->          1 mm stopped",
             "  Y         Y (4wires)                   -2 ->         -2 mm stopped",
             "box 1 SIM00002 Bench B: connected, 0 motors",
             "  tick: " + idle,
             "timer: " + idle, ""]
    counted = [re.sub(r"\d+(\.\d+)? (ticks|skipped|late|ms)", r"N \2", line) for line in out.split("\n")]
    assert (status, counted) == (0, block + block + [""])


def test_ctrl_c_stops_on_the_ramp_and_the_position_is_kept(ctl):
    ctl(*X)
    move = subprocess.Popen([MERVANECTL, "--state", str(ctl.state), "move", "X", "50"], stdout=subprocess.PIPE, text=True)
    time.sleep(1.0)
    move.send_signal(signal.SIGINT)
    out, _ = move.communicate(timeout=30)
    assert move.returncode == 130
    assert "Ctrl+C: stopping on the ramp, waiting for rest" in out
    stopped, emulator = rows(out)[-2:]
    assert stopped[0] == "X" and stopped[3] == "stopped" and 0 < float(stopped[1]) < 50
    assert emulator == ["emulator", "X", str(round(float(stopped[1]) * 200)), "0"]
    assert rows(ctl("motors")[1])[1][5] == stopped[1]


def test_no_wait_finishes_in_the_background(ctl):
    ctl(*X)
    started = time.monotonic()
    status, out, _ = ctl("move", "X", "3", "--no-wait")
    assert status == 0 and time.monotonic() - started < 2.0
    name, what, destination, pid = out.rstrip("\n").split("\t")
    assert (name, what, destination) == ("X", "moving to", "3")
    wait_gone(int(pid.split()[1]))
    assert rows(ctl("motors")[1])[1][5] == "3"


def test_demo_quick(ctl):
    status, out, err = ctl("demo", "--quick")
    assert (status, err) == (0, "")
    assert len([line for line in out.splitlines() if line.startswith("Motor Stopped: ")]) == 8
    assert "\n0 steps lost\n" in out
    assert f"{ctl.state}/demo/SIM00001.hws (289 bytes)" in out


def test_stop_reaches_a_background_move(ctl):
    ctl(*X)
    status, out, _ = ctl("move", "X", "50", "--no-wait")
    pid = int(out.split("pid ")[1])
    time.sleep(0.5)
    status, out, _ = ctl("stop", "X")
    first, second = out.splitlines()
    assert status == 0 and first == f"X: background move (pid {pid}) stopped on its ramp"
    name, action, position, zero = second.split("\t")
    assert (name, action, zero) == ("X", "stop", "0") and 0 < float(position) < 50
    assert ctl("stop", "X") == (0, f"X\tstop\t{position}\t0\n", "")  # nothing runs any more
