# mervane-tango on the box emulator: the server runs as a separate process without a database,
# the clients here; moves by writing Position checked against the emulator's decoded steps, states,
# change events, unplug and replug, two clients at once, a client that dies, SIGTERM.
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"
sys.path.insert(0, str(PYTHON_DIR))

from mervane import tango as server  # noqa: E402  (the server module; the client library is below)

tango = pytest.importorskip("tango", reason="PyTango is missing (Debian: python3-tango, for /usr/bin/python3)")

WAIT = 20.0  # seconds a test waits for a motor or the server before failing


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """mervane-tango --sim --nodb on a free loopback port, with its own state folder."""

    def __init__(self, state):
        self.state = state
        self.port = free_port()
        self.process = subprocess.Popen(
            [sys.executable, "-m", "mervane.tango", "--sim", "--state", str(state), "--nodb", "--port",
             str(self.port), "--event-period", "0.05"],
            cwd=PYTHON_DIR, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.output = []
        reader = threading.Thread(target=self._read, daemon=True)
        reader.start()
        deadline = time.monotonic() + WAIT
        while not any("Ready to accept request" in line for line in self.output):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                pytest.fail("the server did not start:\n" + "".join(self.output))
            time.sleep(0.05)

    def _read(self):
        for line in self.process.stdout:
            self.output.append(line)

    def proxy(self, device):
        return tango.DeviceProxy(f"tango://127.0.0.1:{self.port}/{device}#dbase=no")

    def motor(self, name):
        return self.proxy(server.motor_device(name))

    def box(self, serial):
        return self.proxy(server.box_device(serial))

    def stop(self, how=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(how)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode


def with_package(state, code):
    """Runs `code` in a Python of its own with `lib`, the package opened on the emulator with
    that state folder (the library keeps one folder per process); returns what it prints."""
    program = f"import mervane\nwith mervane.open(simulate=True, state_dir={str(state)!r}) as lib:\n"
    program += "".join("    " + line + "\n" for line in code.splitlines())
    done = subprocess.run([sys.executable, "-c", program], cwd=PYTHON_DIR, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def setup_motors(state, motors):
    """Sets motors up in the state folder before the server starts (the server finds them)."""
    with_package(state, "\n".join(
        f"lib.setup({box}, {name!r}, {kind!r}, acceleration=10, min_step_time=1, max_step_time=10, **{settings!r})"
        for box, name, kind, settings in motors))


def wait_state(proxy, state, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while proxy.state() != state:
        assert time.monotonic() < deadline, f"{proxy.dev_name()} still {proxy.state()}, not {state}"
        time.sleep(0.01)


MOTORS = [(0, "A", "X (4wires)", dict(address=1, coefficient=200)),
          (0, "B", "Y (4wires)", dict(address=2, coefficient=100)),
          (0, "R 1", "R (synchron)", dict(address=3, coefficient=10, half_steps=True)),
          (0, "K", "X block (4wires)", dict(address=4, coefficient=100, length=2)),
          (0, "N", "X (2wires)", dict(address=0, coefficient=100)),
          (1, "U", "X (4wires)", dict(address=1, coefficient=200)),
          (1, "a", "X (4wires)", dict(address=2, coefficient=200))]  # Tango's names ignore case: A's


@pytest.fixture(scope="module")
def srv(tmp_path_factory):
    state = tmp_path_factory.mktemp("tango")
    setup_motors(state, MOTORS)
    running = Server(state)
    yield running
    running.stop()


def test_devices_of_the_motors_and_boxes_found_at_start(srv):
    a, r1 = srv.motor("A"), srv.motor("R 1")
    assert r1.dev_name() == "mervane/motor/r_201"  # Tango's names ignore case
    assert (a.get_attribute_config("Position").unit, r1.get_attribute_config("Position").unit) == ("mm", "deg")
    assert r1.get_attribute_config("Target").unit == "deg"
    box = srv.box("SIM00001")
    assert (box.Serial, box.Connected, str(box.state())) == ("SIM00001", True, "ON")
    assert srv.motor("N").state() == tango.DevState.DISABLE  # no address
    with pytest.raises(tango.DevFailed):
        srv.motor("NOPE").state()


def test_names_that_differ_only_in_case_share_the_first_motors_device(srv):
    assert "no device for 'a' on SIM00002: mervane/motor/a serves 'A'" in "".join(srv.output)
    assert srv.motor("a").Steps == srv.box("SIM00001").SimSteps(1)  # motor A's device


def test_write_position_returns_at_once_and_the_move_arrives(srv):
    a = srv.motor("A")
    a.Position = 2.5
    # The write came back while the motor still runs: 2.5 mm at 200 steps/mm takes ~0.5 s.
    assert a.state() == tango.DevState.MOVING
    assert a.Target == 2.5
    wait_state(a, tango.DevState.ON)
    assert (a.Position, a.Target, a.Steps) == (2.5, 2.5, 500)
    assert a.status() == "Motor Stopped"
    assert srv.box("SIM00001").SimSteps(1) == 500  # what the emulator decoded from the wire


def test_change_events_show_the_move_and_the_stop(srv):
    b = srv.motor("B")
    states, positions = [], []
    ids = [b.subscribe_event("State", tango.EventType.CHANGE_EVENT,
                             lambda e: e.err or states.append(e.attr_value.value)),
           b.subscribe_event("Position", tango.EventType.CHANGE_EVENT,
                             lambda e: e.err or positions.append(e.attr_value.value))]
    try:
        deadline = time.monotonic() + WAIT
        while not states:  # the first event of a subscription carries the present value
            assert time.monotonic() < deadline
            time.sleep(0.01)
        time.sleep(0.5)  # the event channel connects after the first value has come
        states.clear(), positions.clear()
        b.Position = -3.0  # 300 steps
        deadline = time.monotonic() + WAIT
        while tango.DevState.ON not in states:
            assert time.monotonic() < deadline, f"no stop event: {states}"
            time.sleep(0.01)
        time.sleep(0.1)
    finally:
        for i in ids:
            b.unsubscribe_event(i)
    assert states == [tango.DevState.MOVING, tango.DevState.ON]
    assert positions[-1] == -3.0
    moving = positions[1:-1]  # events while it moved, at most one per event period
    assert len(moving) >= 3 and all(x > y for x, y in zip(moving, moving[1:])), positions
    assert srv.box("SIM00001").SimSteps(2) == -300


@pytest.mark.parametrize("value", [float("nan"), float("inf"), 1e300])
def test_positions_out_of_reach_are_refused(srv, value):
    b = srv.motor("B")
    target = b.Target
    with pytest.raises(tango.DevFailed):
        b.Position = value
    assert (b.state(), b.Target) == (tango.DevState.ON, target)


def test_two_clients_move_two_motors_of_one_box_at_once(srv):
    errors = []

    def client(name, where):
        try:
            motor = srv.motor(name)  # a connection of its own
            motor.Position = where
            wait_state(motor, tango.DevState.ON)
        except Exception as error:  # reported below; a thread cannot fail the test itself
            errors.append(error)

    threads = [threading.Thread(target=client, args=("A", -1.0)), threading.Thread(target=client, args=("B", 2.0))]
    for t in threads:
        t.start()
    time.sleep(0.1)
    both_moving = srv.motor("A").state() == srv.motor("B").state() == tango.DevState.MOVING
    for t in threads:
        t.join()
    assert errors == []
    assert both_moving
    assert (srv.motor("A").Position, srv.motor("B").Position) == (-1.0, 2.0)
    box = srv.box("SIM00001")
    assert (box.SimSteps(1), box.SimSteps(2)) == (-200, 200)


def test_degrees_and_half_steps_agree_with_the_wire(srv):
    r1 = srv.motor("R 1")
    r1.Position = 12.3
    wait_state(r1, tango.DevState.ON)
    assert (r1.Position, r1.Steps, srv.box("SIM00001").SimSteps(3)) == (12.3, 123, 123)


def test_stop_set_zero_reset_and_release(srv):
    a = srv.motor("A")
    start = a.Position
    a.Position = start + 20.0
    time.sleep(0.3)
    a.Stop()
    wait_state(a, tango.DevState.ON)
    stopped = a.Position
    assert start < stopped < start + 20.0
    assert srv.box("SIM00001").SimSteps(1) == round(stopped * 200)
    a.SetZero()
    assert (a.Position, a.Steps) == (0.0, round(stopped * 200))  # the zero moved, not the motor
    a.Reset()  # the motor's place becomes the origin; the zero point stays where it was
    assert a.Steps == 0
    assert a.Position == pytest.approx(-stopped, abs=1e-5)
    a.Release()
    assert a.state() == tango.DevState.ON


def test_initialize_only_for_block_types(srv):
    with pytest.raises(tango.DevFailed, match="no block type"):
        srv.motor("A").Initialize()
    k = srv.motor("K")
    k.Initialize()  # 110 % of its 2 mm towards the low end
    wait_state(k, tango.DevState.ON)
    assert k.Steps == -220


def test_box_rename_run_and_refusals(srv):
    box = srv.box("SIM00001")
    box.Name = "Bench"
    assert box.Name == "Bench"
    box.Run(["A=0.5", "B=-0.5"])
    wait_state(srv.motor("A"), tango.DevState.ON)
    wait_state(srv.motor("B"), tango.DevState.ON)
    assert (srv.motor("A").Position, srv.motor("B").Position) == (0.5, -0.5)
    for bad in (["A"], ["A=far"], ["NOPE=1"]):
        with pytest.raises(tango.DevFailed):
            box.Run(bad)
    with pytest.raises(tango.DevFailed):
        srv.motor("N").Position = 1.0  # no address: disabled


def test_setup_refusals(srv):
    box = srv.box("SIM00001")
    for bad in (["name=Q"], ["name=Q", "type=X (4wires)", "address=1"], ["name=Q", "type=X (4wires)", "colour=red"],
                ["name=Q", "type=X (4wires)", "address=many"], ["name=Q", "type=nothing"]):
        with pytest.raises(tango.DevFailed):
            box.Setup(bad)
    assert box.SimSteps(2) == srv.motor("B").Steps  # motor B untouched


def test_a_motor_set_up_through_the_box_is_served_at_once_and_after_a_restart(tmp_path):
    own = Server(tmp_path)
    try:
        box = own.box("SIM00001")
        name = box.Setup(["name=Z_1", "type=R (2wires)", "address=5", "coefficient=100"])
        assert name.lower() == "mervane/motor/z_5f1"
        z = own.proxy(name)
        assert z.get_attribute_config("Position").unit == "deg"
        z.Position = 1.5
        wait_state(z, tango.DevState.ON)
        assert (z.Position, box.SimSteps(5)) == (1.5, 150)
    finally:
        assert own.stop() == 0
    again = Server(tmp_path)
    try:
        z = again.proxy(name)
        assert z.Position == 1.5  # saved at the end of the first server
        z.Position = 0.0
        wait_state(z, tango.DevState.ON)
        assert again.box("SIM00001").SimSteps(5) == -150  # the emulator counts from this start
    finally:
        again.stop()


def test_unplug_disables_and_replug_brings_back(srv):
    u, box = srv.motor("U"), srv.box("SIM00002")
    u.Position = 1.0
    wait_state(u, tango.DevState.ON)
    box.SimUnplug()
    wait_state(u, tango.DevState.DISABLE, timeout=5)
    wait_state(box, tango.DevState.DISABLE, timeout=5)
    assert box.Connected is False
    with pytest.raises(tango.DevFailed, match="unplugged"):
        u.Position = 2.0
    box.SimPlug()
    wait_state(u, tango.DevState.ON, timeout=5)
    assert (box.Connected, u.Position) == (True, 1.0)  # channels rebuilt from the settings file
    u.Position = 0.5
    wait_state(u, tango.DevState.ON)
    assert u.Position == 0.5


def test_a_client_that_dies_changes_nothing(srv):
    script = (f"import tango, os\n"
              f"m = tango.DeviceProxy('tango://127.0.0.1:{srv.port}/mervane/motor/B#dbase=no')\n"
              f"m.subscribe_event('Position', tango.EventType.CHANGE_EVENT, lambda e: None)\n"
              f"m.Position = 4.0\n"
              f"os.kill(os.getpid(), 9)\n")
    died = subprocess.run([sys.executable, "-c", script], timeout=60)
    assert died.returncode == -signal.SIGKILL
    b = srv.motor("B")
    wait_state(b, tango.DevState.ON)
    assert (b.Position, srv.box("SIM00001").SimSteps(2)) == (4.0, 400)


def test_failing_writes_give_fault(tmp_path):
    setup_motors(tmp_path, [(1, "F", "X (4wires)", dict(address=1, coefficient=200))])
    own = Server(tmp_path)
    try:
        f, box = own.motor("F"), own.box("SIM00002")
        box.SimFail(["write", "100000"])
        f.Position = 1.0
        wait_state(f, tango.DevState.FAULT, timeout=5)
        assert box.state() == tango.DevState.FAULT
        box.SimFail(["write", "0"])
        f.Position = 1.0
        wait_state(f, tango.DevState.ON, timeout=WAIT)
        assert f.Position == 1.0
        with pytest.raises(tango.DevFailed):
            box.SimFail(["write"])
    finally:
        own.stop()


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGINT])
def test_signal_stops_on_the_ramp_and_saves(tmp_path, how):
    setup_motors(tmp_path, [(0, "S", "X (4wires)", dict(address=1, coefficient=200))])
    own = Server(tmp_path)
    s = own.motor("S")
    s.Position = 50.0
    time.sleep(0.5)
    own.stop(how)
    assert own.process.returncode == 0, "".join(own.output)
    saved = float(with_package(tmp_path, "print(lib.motor('S').position)"))
    assert 0 < saved < 50.0  # stopped on its way, and its position written


@pytest.mark.parametrize("name, member", [
    ("X", "X"), ("R 1", "R_201"), ("a_b", "a_5Fb"), ("", "_"), ("x/y", "x_2Fy"), ("Ü", "_DC"), ("9-z", "9-z")])
def test_device_names_map_and_unmap(name, member):
    assert server.member_of(name) == member
    assert server.name_of(member) == name


@pytest.mark.parametrize("member", ["a b", "_4", "_zz", "a/b", "_4g", "a.b"])
def test_members_the_mapping_cannot_make(member):
    assert server.name_of(member) is None


def run_server(tmp_path, *args, env=None):
    """mervane-tango with these arguments, to its end: (exit status, output)."""
    done = subprocess.run([sys.executable, "-m", "mervane.tango", "--sim", "--state", str(tmp_path), *args],
                          cwd=PYTHON_DIR, capture_output=True, text=True, timeout=60, env=env)
    return done.returncode, done.stdout + done.stderr


def test_no_box_ends_the_server_with_a_message(tmp_path):
    env = dict(os.environ, BOXSIM_BOXES="")
    status, output = run_server(tmp_path, "--nodb", "--port", str(free_port()), env=env)
    assert (status, output.strip().splitlines()[-1]) == (1, "mervane-tango: no box found")


def test_a_port_in_use_ends_the_server_with_a_message(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        status, output = run_server(tmp_path, "--nodb", "--port", str(taken.getsockname()[1]))
    assert status == 1
    assert "mervane-tango: the server stopped" in output


@pytest.mark.parametrize("args, message", [
    (["--nodb"], "--nodb needs --port N"),
    (["--nodb", "--port", "1", "--register", "x"], "--register needs the database"),
    ([], "name the INSTANCE to run"),
    (["--nodb", "--port", "1", "--event-period", "0"], "--event-period must be above 0"),
])
def test_argument_refusals(args, message, capsys):
    with pytest.raises(SystemExit) as ended:
        server.parse_arguments(args)
    assert ended.value.code == 2
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("words, settings", [
    (["name=X", "type=X (4wires)"], dict(name="X", type="X (4wires)")),
    (["name = Y ", "type=R (2wires)", "address=3", "coefficient=2.5", "half_steps=yes", "auto_release=0"],
     dict(name="Y", type="R (2wires)", address=3, coefficient=2.5, half_steps=True, auto_release=False)),
    (["name=a=b", "type=0x85", "channel=2", "offset=-1"], dict(name="a=b", type=0x85, channel=2, offset=-1.0)),
    (["name=c", "type=4"], dict(name="c", type=4)),
])
def test_setup_words(words, settings):
    assert server.parse_setup(words) == settings


@pytest.mark.parametrize("words, message", [
    (["name=X"], "needs name=... and type=..."),
    (["name=X", "type=T", "colour=red"], "'colour=red' is no key=value"),
    (["name=X", "type=T", "address"], "'address' is no key=value"),
    (["name=X", "type=T", "address=one"], "invalid literal"),
    (["name=X", "type=T", "half_steps=maybe"], "'maybe' is no yes/no"),
])
def test_setup_word_refusals(words, message):
    with pytest.raises(ValueError, match=message):
        server.parse_setup(words)


def test_run_destinations():
    assert server.parse_destinations(["A=1.5", "a=b=-2", "R 1=0"]) == {"A": 1.5, "a=b": -2.0, "R 1": 0.0}
    assert server.parse_destinations([]) == {}
    for bad in (["A"], ["A=x"]):
        with pytest.raises(ValueError):
            server.parse_destinations(bad)


def test_device_file_lists_each_class_and_an_empty_one_last(tmp_path):
    path = tmp_path / "devices"
    server.write_device_file(str(path), "i1", {"MervaneMotor": [], "MervaneBox": ["mervane/box/S1", "mervane/box/S2"]})
    assert path.read_text().splitlines() == ["MervaneTango/i1/DEVICE/MervaneBox: mervane/box/S1, mervane/box/S2",
                                             "MervaneTango/i1/DEVICE/MervaneMotor: "]


@pytest.mark.parametrize("code, half, kind", [
    (0x85, False, b"four-wire"), (0x85, True, b"four-wire-half"), (0x2D, True, b"synchron-half"),
    (0x6A, False, b"synchron"), (0x04, False, b"two-wire"), (0x41, True, b"two-wire")])
def test_emulator_wiring_of_each_drive(code, half, kind):
    assert server.wiring_of(code, half) == kind
