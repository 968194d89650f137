"""mervane-tango: a Tango device server for the motors of the boxes this PC holds.

One device per motor (class ``MervaneMotor``, ``mervane/motor/<motor name>``) and one per box
(class ``MervaneBox``, ``mervane/box/<serial>``), served through the ``mervane`` package. Without a
database (``--nodb --port N``) the server lists its devices itself and listens on 127.0.0.1 (or
``--host``); with one it runs as an instance of the server ``MervaneTango`` in the database that
``TANGO_HOST`` names, and ``--register INSTANCE`` enters its devices there. See docs/TANGO.md.

Run it with the Python that has PyTango (Debian's python3-tango serves /usr/bin/python3).
"""
from __future__ import annotations

import argparse
import ctypes
import importlib.util
import os
import signal
import string
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence

import mervane
from mervane import _native

SERVER = "MervaneTango"
MOTOR_PREFIX = "mervane/motor/"
BOX_PREFIX = "mervane/box/"
# Characters a device name's member keeps as they are; every other byte becomes "_HH" (its hex
# code), "_" itself included, so that the mapping can be undone.
_KEPT = frozenset(string.ascii_letters + string.digits + "-")
_EMPTY = "_"  # the member of an empty name


def member_of(name: str) -> str:
    """The device name member of a motor name or serial: letters, digits and "-" as they are,
    every other byte (the name's single-byte encoding) as "_" and two upper-case hex digits."""
    if not name:
        return _EMPTY
    return "".join(chr(b) if chr(b) in _KEPT else f"_{b:02X}" for b in name.encode("latin-1"))


def name_of(member: str) -> Optional[str]:
    """Undoes :func:`member_of`; None for a member it cannot have made."""
    if member == _EMPTY:
        return ""
    out = bytearray()
    at = 0
    while at < len(member):
        c = member[at]
        if c == "_":
            code = member[at + 1:at + 3]
            if len(code) != 2 or any(h not in "0123456789ABCDEFabcdef" for h in code):
                return None
            out.append(int(code, 16))
            at += 3
        elif c in _KEPT:
            out.append(ord(c))
            at += 1
        else:
            return None
    return out.decode("latin-1")


def motor_device(name: str) -> str:
    return MOTOR_PREFIX + member_of(name)


def box_device(serial: str) -> str:
    return BOX_PREFIX + member_of(serial)


def unit_of(type_name: str) -> str:
    """Rotary types (their names begin with R) count degrees, the others millimetres."""
    return "deg" if type_name.startswith("R") else "mm"


class _Counters(ctypes.Structure):
    """The tick's counters of one box (include/mervane_ext.h)."""

    _fields_ = [("ticks", ctypes.c_uint64), ("skippedPeriods", ctypes.c_uint64), ("lateTicks", ctypes.c_uint64),
                ("failedWrites", ctypes.c_uint64), ("steps", ctypes.c_uint64), ("worstLateness", ctypes.c_double)]


# Wiring of the emulator's connector for a motor type, as mervanectl does it.
def wiring_of(type_code: int, half_steps: bool) -> bytes:
    if type_code & 0x80:
        return b"four-wire-half" if half_steps else b"four-wire"
    if type_code & 0x20:
        return b"synchron-half" if half_steps else b"synchron"
    return b"two-wire"


class Emulator:
    """The box emulator's control functions, in the copy the library has loaded (--sim only)."""

    def __init__(self, path: str) -> None:
        self._c = ctypes.CDLL(path)
        for fn, res, args in (("boxsim_wire", ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]),
                              ("boxsim_position", ctypes.c_longlong, [ctypes.c_char_p, ctypes.c_int]),
                              ("boxsim_unplug", ctypes.c_int, [ctypes.c_char_p]),
                              ("boxsim_plug", ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
                              ("boxsim_fail", ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int]),
                              ("boxsim_clear", None, [ctypes.c_char_p]),
                              ("boxsim_writes", ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.c_double),
                                                               ctypes.POINTER(ctypes.c_int), ctypes.c_int])):
            getattr(self._c, fn).restype = res
            getattr(self._c, fn).argtypes = args
        self.models: Dict[str, str] = {}  # serial -> USB description, to plug a box back in

    def wire(self, serial: str, address: int, kind: bytes) -> bool:
        return self._c.boxsim_wire(serial.encode("latin-1"), address, kind) == 0

    def steps(self, serial: str, address: int) -> int:
        return self._c.boxsim_position(serial.encode("latin-1"), address)

    def unplug(self, serial: str) -> bool:
        return self._c.boxsim_unplug(serial.encode("latin-1")) == 0

    def plug(self, serial: str) -> bool:
        return self._c.boxsim_plug(self.models.get(serial, "VORK-KADO").encode(), serial.encode("latin-1")) == 0

    def fail(self, serial: str, operation: str, count: int) -> bool:
        return self._c.boxsim_fail(serial.encode("latin-1"), operation.encode(), count) == 0

    def clear(self, serial: str) -> None:
        self._c.boxsim_clear(serial.encode("latin-1"))

    def write_times(self, serial: str, limit: int = 4096) -> List[float]:
        """Monotonic times of the writes to the box since the last clear."""
        times = (ctypes.c_double * limit)()
        sizes = (ctypes.c_int * limit)()
        n = self._c.boxsim_writes(serial.encode("latin-1"), times, sizes, limit)
        return [times[i] for i in range(max(n, 0)) if sizes[i] > 0]


# Tango's states, kept as names here so that this part runs without PyTango.
ON, MOVING, DISABLE, FAULT = "ON", "MOVING", "DISABLE", "FAULT"
UNKNOWN = "?"  # the serial of a motor that a database lists and this PC does not have


@dataclass
class BoxLook:
    """What the monitor last saw of a box."""

    serial: str
    connected: bool = False
    failed: bool = False  # a write to it failed and none has succeeded since
    failed_writes: int = 0
    steps: int = 0


@dataclass
class MotorLook:
    """What the monitor last saw of a motor, and what it last pushed to the subscribers."""

    name: str
    serial: str
    unit: str = "mm"
    state: str = DISABLE
    status: str = ""
    position: float = 0.0
    steps: int = 0
    target: float = 0.0
    pushed_state: Optional[str] = None
    pushed_at: float = 0.0
    moved: bool = False  # it ran since it last came to rest


@dataclass
class Options:
    event_period: float = 0.1  # seconds between Position events while a motor moves
    poll_period: float = 0.005  # seconds between looks while a motor moves (idle: 10x)


class Hub:
    """The server's side of the library: the boxes and motors it serves and the monitor thread
    that notices starts, stops, unplugs and failures and pushes the change events."""

    def __init__(self, lib: mervane.Library, options: Options, emulator: Optional[Emulator] = None) -> None:
        self.lib = lib
        self.options = options
        self.emulator = emulator
        native = ctypes.CDLL(lib.path)  # the library's loaded copy, for the tick's counters
        self._counters = native["_EXT_GetDeviceCounters"]
        self._counters.restype = ctypes.c_bool
        self._counters.argtypes = [ctypes.c_uint, ctypes.POINTER(_Counters)]
        # Guards boxes, motors, devices and the looks in them; taken by Tango's request threads
        # and the monitor thread, never across a library call that waits for a motor.
        self.lock = threading.RLock()
        self.boxes: Dict[str, BoxLook] = {}
        self.motors: Dict[str, MotorLook] = {}  # device name in lower case -> look
        self.devices: Dict[str, object] = {}  # device name in lower case -> its Tango device
        self.skipped: List[str] = []  # motors without a device of their own (name taken)
        self.closed = False  # shut down: the library is closed, the looks stay as they were
        self.wake = threading.Event()
        self.quit = threading.Event()
        self.thread: Optional[threading.Thread] = None
        self.scan()

    # ---- what there is --------------------------------------------------------------------------
    def scan(self) -> List[str]:
        """Takes in the boxes and motors the library lists; returns the new device names."""
        added = []
        boxes = self.lib.boxes
        with self.lock:
            for box in boxes:
                if box.serial not in self.boxes:
                    self.boxes[box.serial] = BoxLook(box.serial, box.connected)
                    added.append(box_device(box.serial))
                    if self.emulator:
                        self.emulator.models[box.serial] = box.model
            for motor in self.lib.motors:
                device = motor_device(motor.name)
                known = self.motors.get(device.lower())
                if known is not None:
                    # Tango's names ignore case, and the library acts on the first motor of a name.
                    note = f"{motor.name!r} on {boxes[motor.box].serial}: {device} serves {known.name!r}"
                    if known.name != motor.name or known.serial != boxes[motor.box].serial:
                        if note not in self.skipped:
                            self.skipped.append(note)
                    continue
                try:
                    info, box = motor.info, motor.box
                except mervane.Error:
                    continue
                look = MotorLook(motor.name, boxes[box].serial, unit_of(motor.type_name))
                self.motors[device.lower()] = look
                added.append(device)
                self.wire(look.serial, info)
        return added

    def add_motor_device(self, name: str) -> str:
        """Serves a motor set up after the start; returns its device name."""
        device = motor_device(name)
        self.scan()
        with self.lock:
            known = self.motors.get(device.lower())
            exists = device.lower() in self.devices
        if known is None or known.name != name:
            _refuse("MERVANE_NameTaken", f"{device} serves another motor; {name!r} has no device")
        if not exists:
            create_device("MervaneMotor", device)
        return device

    def wire(self, serial: str, info: mervane.MotorInfo) -> None:
        """Tells the emulator what is on the motor's connector, so that it decodes its steps."""
        if self.emulator and 1 <= info.address <= 7:
            self.emulator.wire(serial, info.address, wiring_of(info.type, bool(info.halfSteps)))

    def box_index(self, serial: str) -> Optional[int]:
        for box in self.lib.boxes:
            if box.serial == serial:
                return box.index
        return None

    def box_motors(self, serial: str) -> List[mervane.Motor]:
        index = self.box_index(serial)
        return [m for m in self.lib.motors if index is not None and m.box == index]

    # ---- looking ------------------------------------------------------------------------------
    def look_box(self, look: BoxLook, index: Optional[int], connected: bool) -> None:
        look.connected = connected
        counters = _Counters()
        if index is None or not self._counters(index, ctypes.byref(counters)):
            return
        if counters.failedWrites > look.failed_writes:
            look.failed = True
        elif counters.steps > look.steps:
            look.failed = False
        if not connected:
            look.failed = False  # the box has gone: disabled, not failing
        look.failed_writes, look.steps = counters.failedWrites, counters.steps

    def look_motor(self, look: MotorLook, boxes: Dict[str, BoxLook]) -> None:
        """Reads one motor's state from the library into its look."""
        if self.closed:
            look.state, look.status = DISABLE, "The server is shutting down"
            return
        box = boxes.get(look.serial)
        if box is None and look.serial == UNKNOWN:
            look.state, look.status = DISABLE, f"No motor named {look.name!r} on this PC"
            return
        if box is None or not box.connected:
            look.state, look.status = DISABLE, f"The box {look.serial} is unplugged"
            return
        try:
            motor = self.lib.motor(look.name)
            info = motor.info
            running = motor.running
            look.position, look.target = motor.position, motor.target
            # In doubles: the record's absolute position is a float32 and loses steps far out.
            look.steps = round((look.position + motor.zero) * info.coefficient)
        except mervane.Error:
            look.state, look.status = DISABLE, f"No motor named {look.name!r} on the box {look.serial}"
            return
        if box.failed:
            look.state, look.status = FAULT, f"Writes to the box {look.serial} fail"
        elif info.address == 0:
            look.state, look.status = DISABLE, "The motor has no address (unplugged from its box)"
        elif running:
            look.state, look.status = MOVING, f"Moving to {look.target:g} {look.unit}"
        else:
            look.state, look.status = ON, "Motor Stopped" if look.moved else "At rest"

    def poll(self, now: float) -> bool:
        """One look at every box and motor; pushes the events that are due. True while any
        motor moves."""
        listed = {b.serial: b for b in self.lib.boxes}
        moving = False
        with self.lock:
            for serial, look in self.boxes.items():
                box = listed.get(serial)
                self.look_box(look, box.index if box else None, bool(box and box.connected))
            due = []
            for name, look in self.motors.items():
                self.look_motor(look, self.boxes)
                moving = moving or look.state == MOVING
                event = self.event_due(name, look, now)
                if event is not None:
                    due.append(event)
        # Outside the lock: pushing waits for Tango, whose request threads may wait for the lock.
        for device, state, position, changed in due:
            device.publish(state, position, changed)
        return moving

    def event_due(self, name: str, look: MotorLook, now: float) -> Optional[tuple]:
        """(device, state, position, state changed) when State and Position are due to be pushed:
        on a change of state, and at most once per event period while the motor moves."""
        device = self.devices.get(name)
        if look.state == MOVING:
            look.moved = True
        if device is None:
            return None
        changed = look.state != look.pushed_state
        if changed or (look.state == MOVING and now - look.pushed_at >= self.options.event_period):
            look.pushed_state, look.pushed_at = look.state, now
            return device, look.state, look.position, changed
        return None

    def started(self, device: str) -> None:
        """A command moved a motor: look at once rather than at the next idle period, and push
        what is seen then even when the move has ended already (a subscriber gets its stop)."""
        with self.lock:
            if device in self.motors:
                self.motors[device].moved = True
                self.motors[device].pushed_state = None
        self.wake.set()

    def run_monitor(self) -> None:
        import tango
        with tango.EnsureOmniThread():  # PyTango pushes events only from threads its ORB knows
            moving = True
            while not self.quit.is_set():
                try:
                    moving = self.poll(time.monotonic())
                except Exception as error:  # the monitor must outlive a refused call
                    print(f"mervane-tango: monitor: {error}", file=sys.stderr)
                self.wake.wait(self.options.poll_period * (1 if moving else 10))
                self.wake.clear()

    def start(self) -> None:
        self.thread = threading.Thread(target=self.run_monitor, name="mervane-monitor", daemon=True)
        self.thread.start()

    def stop(self) -> None:
        self.quit.set()
        self.wake.set()
        if self.thread is not None and self.thread is not threading.current_thread():
            self.thread.join(timeout=5)

    def shut_down(self) -> None:
        """Stops every motor on its ramp, waits until all rest (10 s at most), saves and closes.
        Once: the signal handler and the end of the server both call it."""
        with self.lock:
            if self.closed:
                return
            self.closed = True
        self.stop()
        try:
            motors = self.lib.motors
            for motor in motors:
                try:
                    motor.stop()
                except mervane.Error:
                    pass
            for motor in motors:
                try:
                    motor.wait(timeout=10)
                except mervane.Error:
                    pass
        finally:
            self.lib.close()


def parse_setup(words: Sequence[str]) -> Dict[str, object]:
    """The arguments of MervaneBox.Setup, "key=value" texts, as keywords of Library.setup."""
    kinds: Dict[str, Callable[[str], object]] = {
        "name": str, "type": _type_code, "address": int, "coefficient": float, "length": float, "acceleration": int,
        "min_step_time": int, "max_step_time": int, "half_steps": _flag, "auto_release": _flag, "offset": float,
        "channel": int}
    settings: Dict[str, object] = {}
    for word in words:
        key, sep, value = word.partition("=")
        key = key.strip()
        if not sep or key not in kinds:
            raise ValueError(f"'{word}' is no key=value of {', '.join(kinds)}")
        settings[key] = kinds[key](value.strip())
    if "name" not in settings or "type" not in settings:
        raise ValueError("Setup needs name=... and type=...")
    return settings


def _type_code(text: str) -> object:
    """A type's code (decimal or 0x hex) or its name."""
    try:
        return int(text, 0)
    except ValueError:
        return text


def _flag(text: str) -> bool:
    if text.lower() in ("1", "true", "yes", "on"):
        return True
    if text.lower() in ("0", "false", "no", "off"):
        return False
    raise ValueError(f"'{text}' is no yes/no")


def parse_destinations(words: Sequence[str]) -> Dict[str, float]:
    """The arguments of MervaneBox.Run: "NAME=units" texts."""
    destinations = {}
    for word in words:
        name, sep, value = word.rpartition("=")
        if not sep:
            raise ValueError(f"'{word}' is no NAME=units")
        destinations[name] = float(value)
    return destinations


# ---- the Tango side -------------------------------------------------------------------------------
_hub: Optional[Hub] = None  # the server's hub; set before the devices are created


def _refuse(reason: str, text: str) -> None:
    import tango
    tango.Except.throw_exception(reason, text, "mervane-tango")


def create_device(cls: str, name: str) -> None:
    """Enters a device in the database (a file one without --nodb too) and creates it here.
    PyTango's Util.create_device takes every answer of a file database for "already there"."""
    import tango
    util = tango.Util.instance()
    info = tango.DbDevInfo()
    info.name, info._class, info.server = name, cls, util.get_ds_name()
    try:
        util.get_database().add_device(info)
    except tango.DevFailed as error:
        if error.args[0].reason != "API_NotSupported":  # a file database lists no new devices
            raise
    for known in util.get_class_list():
        if known.get_name() == cls:
            known.device_factory([name])
            device = _hub.devices.get(name.lower())
            if hasattr(device, "apply_unit"):
                device.apply_unit()
            return
    _refuse("MERVANE_NoClass", f"no device class {cls}")


def _classes() -> tuple:
    """The device classes; built on first use so that the rest of the module needs no PyTango."""
    global _built
    if _built is not None:
        return _built
    from tango import AttrWriteType, DevFailed, DevState, DispLevel
    from tango.server import Device, attribute, command

    states = {ON: DevState.ON, MOVING: DevState.MOVING, DISABLE: DevState.DISABLE, FAULT: DevState.FAULT}

    class MervaneMotor(Device):
        """One motor: Position (a write starts the move), Target, Steps; Stop and the others."""

        Position = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="mm", format="%.6g",
                             doc="Position from the zero point; writing it starts a move there")
        Target = attribute(dtype=float, unit="mm", format="%.6g", doc="Destination from the zero point")
        Steps = attribute(dtype=int, doc="Position from the origin in steps")

        def init_device(self) -> None:
            Device.init_device(self)
            self.key = self.get_name().lower()
            with _hub.lock:
                if self.key not in _hub.motors:
                    # A device the database lists for a motor this PC does not know (yet).
                    name = name_of(self.get_name().split("/")[-1])
                    _hub.motors[self.key] = MotorLook("" if name is None else name, UNKNOWN)
                self.look = _hub.motors[self.key]
                self.look.pushed_state = None
                _hub.devices[self.key] = self
            try:
                self.apply_unit()
            except DevFailed:
                pass  # created while the server runs, not yet listed: create_device applies it
            self.set_change_event("State", True, False)
            self.set_change_event("Position", True, False)
            self.refresh()
            _hub.wake.set()

        def delete_device(self) -> None:
            with _hub.lock:
                _hub.devices.pop(self.key, None)

        def apply_unit(self) -> None:
            """Position and Target in the motor's unit, "mm" or "deg"."""
            for attr in ("Position", "Target"):
                multi = self.get_device_attr().get_attr_by_name(attr)
                props = multi.get_properties()
                props.unit = self.look.unit
                multi.set_properties(props)

        def refresh(self) -> MotorLook:
            with _hub.lock:
                _hub.look_motor(self.look, _hub.boxes)
                self.set_state(states[self.look.state])
                self.set_status(self.look.status)
                return self.look

        def publish(self, state: str, position: float, changed: bool) -> None:
            """Monitor thread: the change events of a new state, or of a moving motor."""
            if changed:
                self.set_state(states[state])  # Tango sends the device's state, not the value given
                self.push_change_event("State", states[state])
            self.push_change_event("Position", position)

        def dev_state(self):
            return states[self.refresh().state]

        def dev_status(self) -> str:
            return self.refresh().status

        def motor(self) -> mervane.Motor:
            look = self.refresh()
            if look.state == DISABLE:
                _refuse("MERVANE_Disabled", f"{look.name}: {look.status}")
            try:
                return _hub.lib.motor(look.name)
            except mervane.Error as error:
                _refuse("MERVANE_Refused", str(error))

        def act(self, what: Callable[[mervane.Motor], object]) -> None:
            try:
                what(self.motor())
            except mervane.Error as error:
                _refuse("MERVANE_Refused", str(error))
            _hub.started(self.key)

        def read_Position(self) -> float:
            return self.refresh().position

        def write_Position(self, value: float) -> None:
            self.act(lambda m: m.move_to(value, wait=False))

        def read_Target(self) -> float:
            return self.refresh().target

        def read_Steps(self) -> int:
            return self.refresh().steps

        @command(doc_in="Stops on the ramp")
        def Stop(self) -> None:
            self.act(lambda m: m.stop())

        @command(doc_in="Stops, waits, and makes the present position the zero")
        def SetZero(self) -> None:
            self.act(lambda m: m.set_zero())

        @command(doc_in="Stops, waits, and calls the present position 0")
        def Reset(self) -> None:
            self.act(lambda m: m.reset())

        @command(doc_in="Stops, waits, and switches the coils off")
        def Release(self) -> None:
            self.act(lambda m: m.release())

        @command(doc_in="Drives a block axis onto its mechanical stop")
        def Initialize(self) -> None:
            motor = self.motor()
            if not motor.info.type & 0x40:
                _refuse("MERVANE_NotBlock", f"{motor.name}: {motor.type_name} is no block type")
            self.act(lambda m: m.initialize(wait=False))

    class MervaneBox(Device):
        """One box: its name, serial and connection; Run, StopAll, ReleaseAll and Setup."""

        Name = attribute(dtype=str, access=AttrWriteType.READ_WRITE, doc="The box's name (writing renames it)")
        Serial = attribute(dtype=str, doc="USB serial number")
        Connected = attribute(dtype=bool, doc="Whether the box is plugged in and open")

        def init_device(self) -> None:
            Device.init_device(self)
            self.key = self.get_name().lower()
            serial = name_of(self.get_name().split("/")[-1])
            self.serial = "" if serial is None else serial
            with _hub.lock:
                # Tango may hand the name back in lower case: the serial is the box's own.
                self.serial = next((s for s in _hub.boxes if s.lower() == self.serial.lower()), self.serial)
                _hub.devices[self.key] = self
            # Tango's signal thread takes SIGTERM and SIGINT and ends the process after telling
            # the devices that asked: the motors are stopped and the settings saved first.
            for signo in (signal.SIGTERM, signal.SIGINT):
                self.register_signal(signo)

        def signal_handler(self, signo: int) -> None:
            _hub.shut_down()

        def delete_device(self) -> None:
            with _hub.lock:
                _hub.devices.pop(self.key, None)

        def look(self) -> tuple:
            """The state and status the monitor last saw."""
            with _hub.lock:
                look = _hub.boxes.get(self.serial, BoxLook(self.serial))
                if not look.connected:
                    return DevState.DISABLE, f"The box {self.serial} is unplugged"
                if look.failed:
                    return DevState.FAULT, f"Writes to the box {self.serial} fail"
                return DevState.ON, f"The box {self.serial} is connected"

        def dev_state(self):
            state, status = self.look()
            self.set_state(state)
            return state

        def dev_status(self) -> str:
            return self.look()[1]

        def index(self) -> int:
            index = _hub.box_index(self.serial)
            if index is None:
                _refuse("MERVANE_NoBox", f"no box {self.serial} on this PC")
            return index

        def read_Name(self) -> str:
            return _hub.lib.boxes[self.index()].name

        def write_Name(self, name: str) -> None:
            try:
                _hub.lib.rename(self.index(), name)
            except (mervane.Error, ValueError, UnicodeError) as error:
                _refuse("MERVANE_Refused", str(error))

        def read_Serial(self) -> str:
            return self.serial

        def read_Connected(self) -> bool:
            index = _hub.box_index(self.serial)
            return index is not None and _hub.lib.boxes[index].connected

        def each_motor(self, what: Callable[[mervane.Motor], object]) -> None:
            for motor in _hub.box_motors(self.serial):
                try:
                    what(motor)
                except mervane.Error as error:
                    _refuse("MERVANE_Refused", str(error))

        @command(dtype_in=(str,), doc_in="NAME=units destinations (may be none); all start in the same tick")
        def Run(self, destinations: List[str]) -> None:
            try:
                _hub.lib.run(self.index(), parse_destinations(destinations), wait=False)
            except (mervane.Error, ValueError) as error:
                _refuse("MERVANE_Refused", str(error))
            for motor in _hub.box_motors(self.serial):
                _hub.started(motor_device(motor.name).lower())

        @command(doc_in="Stops every motor of the box on its ramp")
        def StopAll(self) -> None:
            self.each_motor(lambda m: m.stop())

        @command(doc_in="Stops every motor of the box and switches its coils off")
        def ReleaseAll(self) -> None:
            self.each_motor(lambda m: m.stop())
            self.each_motor(lambda m: m.release())

        @command(dtype_in=(str,), dtype_out=str,
                 doc_in="key=value: name, type, address, coefficient, length, acceleration, min_step_time, "
                        "max_step_time, half_steps, auto_release, offset, channel",
                 doc_out="The new motor's device name")
        def Setup(self, words: List[str]) -> str:
            try:
                settings = parse_setup(words)
                motor = _hub.lib.setup(self.index(), **settings)
            except (mervane.Error, ValueError, UnicodeError) as error:
                _refuse("MERVANE_Refused", str(error))
            return _hub.add_motor_device(motor.name)

        # ---- the emulator's control, with --sim only ------------------------------------------
        def emulated(self) -> bool:
            return _hub.emulator is not None

        is_SimUnplug_allowed = is_SimPlug_allowed = is_SimSteps_allowed = emulated
        is_SimFail_allowed = is_SimWriteTimes_allowed = emulated

        @command(display_level=DispLevel.EXPERT, doc_in="Emulator: pulls the box's plug")
        def SimUnplug(self) -> None:
            if not _hub.emulator.unplug(self.serial):
                _refuse("MERVANE_Emulator", f"{self.serial} is not plugged in")

        @command(display_level=DispLevel.EXPERT, doc_in="Emulator: plugs the box back in")
        def SimPlug(self) -> None:
            if not _hub.emulator.plug(self.serial):
                _refuse("MERVANE_Emulator", f"{self.serial} is plugged in already")

        @command(dtype_in=int, dtype_out=int, display_level=DispLevel.EXPERT,
                 doc_in="Connector 1..7", doc_out="Steps the emulator decoded there")
        def SimSteps(self, address: int) -> int:
            return _hub.emulator.steps(self.serial, address)

        @command(dtype_in=(str,), display_level=DispLevel.EXPERT,
                 doc_in="OPERATION COUNT: the next COUNT driver calls of OPERATION fail (write, open, ...)")
        def SimFail(self, words: List[str]) -> None:
            if len(words) != 2 or not words[1].lstrip("-").isdigit() or not _hub.emulator.fail(
                    self.serial, words[0], int(words[1])):
                _refuse("MERVANE_Emulator", f"cannot make {' '.join(words)!r} fail")

        @command(dtype_out=(float,), display_level=DispLevel.EXPERT,
                 doc_out="Monotonic times of the writes to the box since the last call")
        def SimWriteTimes(self) -> List[float]:
            times = _hub.emulator.write_times(self.serial)
            _hub.emulator.clear(self.serial)
            return times

    _built = (MervaneMotor, MervaneBox)
    return _built


_built: Optional[tuple] = None


class _HelpFormat(argparse.HelpFormatter):
    """--help begins "Usage:", as help2man expects of the manual page's synopsis."""

    def add_usage(self, usage, actions, groups, prefix=None):  # type: ignore[no-untyped-def]
        super().add_usage(usage, actions, groups, "Usage: " if prefix is None else prefix)


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="mervane-tango", description="Tango device server for the motors of the boxes this PC holds",
        formatter_class=_HelpFormat, usage="%(prog)s [options] --nodb --port N\n"
                                           "  or:  %(prog)s [options] INSTANCE\n"
                                           "  or:  %(prog)s [options] --register INSTANCE")
    parser.add_argument("instance", nargs="?", default=None,
                        help=f"instance of the server {SERVER} in the database (not with --nodb)")
    parser.add_argument("--sim", action="store_true", help="run on the box emulator instead of real boxes")
    parser.add_argument("--state", metavar="DIR", help="the emulator's state folder (default: mervanectl's)")
    parser.add_argument("--nodb", action="store_true", help="run without a database (needs --port)")
    parser.add_argument("--port", type=int, help="TCP port of the server (needed with --nodb)")
    parser.add_argument("--host", help="address to listen on (with --nodb: 127.0.0.1)")
    parser.add_argument("--register", metavar="INSTANCE",
                        help="enter this PC's devices in the database as that instance, then end")
    parser.add_argument("--event-period", type=float, default=0.1, metavar="S",
                        help="seconds between Position events of a moving motor (default 0.1)")
    parser.add_argument("-v", "--verbose", type=int, default=0, metavar="LEVEL", help="Tango's trace level")
    args = parser.parse_args(argv)
    if args.nodb and args.port is None:
        parser.error("--nodb needs --port N")
    if args.nodb and args.register:
        parser.error("--register needs the database; leave out --nodb")
    if not args.nodb and not args.register and not args.instance:
        parser.error("name the INSTANCE to run (or use --nodb --port N)")
    if args.event_period <= 0:
        parser.error("--event-period must be above 0")
    return args


def open_hub(args: argparse.Namespace) -> Hub:
    lib = mervane.open(simulate=args.sim, state_dir=args.state)
    emulator = None
    if args.sim:
        emulator = Emulator(_native.find_emulator(lib.path))
    return Hub(lib, Options(args.event_period), emulator)


def device_lists(hub: Hub) -> Dict[str, List[str]]:
    """Class name -> device names, in box and motor order."""
    with hub.lock:
        motors = [motor_device(look.name) for look in hub.motors.values()]
        boxes = [box_device(serial) for serial in hub.boxes]
    return {"MervaneMotor": motors, "MervaneBox": boxes}


def write_device_file(path: str, instance: str, lists: Dict[str, List[str]]) -> None:
    """Tango's file database: the devices of each class of this server instance."""
    with open(path, "w", encoding="latin-1") as out:
        for cls, devices in sorted(lists.items(), key=lambda item: not item[1]):
            out.write(f"{SERVER}/{instance}/DEVICE/{cls}: {', '.join(devices)}\n")


def register(hub: Hub, instance: str) -> int:
    """Enters the devices in the database as instance INSTANCE; removes the instance's devices
    whose motors or boxes are gone. Prints what it did."""
    import tango
    db = tango.Database()
    server = f"{SERVER}/{instance}"
    wanted = device_lists(hub)
    present = {d.lower() for d in db.get_device_name(server, "*")}
    for cls, devices in wanted.items():
        for name in devices:
            info = tango.DbDevInfo()
            info.name, info._class, info.server = name, cls, server
            db.add_device(info)
            print(f"{'kept' if name.lower() in present else 'added'}\t{cls}\t{name}")
    gone = present - {d.lower() for ds in wanted.values() for d in ds}
    for cls in wanted:
        for name in db.get_device_name(server, cls):
            if name.lower() in gone:
                db.delete_device(name)
                print(f"removed\t{cls}\t{name}")
    for note in hub.skipped:
        print(f"no device\t{note}", file=sys.stderr)
    return 0


def serve(hub: Hub, args: argparse.Namespace) -> int:
    """Runs the Tango server until SIGTERM or SIGINT, then stops the motors and saves."""
    from tango.server import run
    global _hub
    _hub = hub
    instance = args.instance or "nodb"
    tango_args = [SERVER, instance]
    device_file = None
    classes = _classes()
    if args.nodb:
        lists = device_lists(hub)
        if not lists["MervaneBox"]:
            print("mervane-tango: no box found", file=sys.stderr)
            hub.shut_down()
            return 1
        handle, device_file = tempfile.mkstemp(prefix="mervane-tango-", suffix=".db")
        os.close(handle)
        write_device_file(device_file, instance, lists)
        tango_args += ["-ORBendPoint", f"giop:tcp:{args.host or '127.0.0.1'}:{args.port}", f"-file={device_file}"]
    else:
        if args.host or args.port:
            tango_args += ["-ORBendPoint", f"giop:tcp:{args.host or ''}:{args.port or ''}"]
    if args.verbose:
        tango_args.append(f"-v{args.verbose}")
    for note in hub.skipped:
        print(f"mervane-tango: no device for {note}", file=sys.stderr)

    def started() -> None:
        hub.start()
        if not args.nodb:  # motors the database does not list yet get their devices now
            served = {d.lower() for d in hub.devices}
            for name in device_lists(hub)["MervaneMotor"] + device_lists(hub)["MervaneBox"]:
                if name.lower() not in served:
                    create_device("MervaneMotor" if name.startswith(MOTOR_PREFIX) else "MervaneBox", name)
        print(f"mervane-tango: serving {len(hub.motors)} motors and {len(hub.boxes)} boxes", flush=True)

    try:
        run(classes, args=tango_args, post_init_callback=started, raises=True)
    except Exception as error:  # Tango could not start (a port in use, no database, ...)
        print(f"mervane-tango: the server stopped: {error}", file=sys.stderr)
        return 1
    finally:
        hub.shut_down()
        if device_file:
            os.unlink(device_file)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    if importlib.util.find_spec("tango") is None:
        print("mervane-tango: PyTango is missing (Debian: apt install python3-tango; run /usr/bin/python3)",
              file=sys.stderr)
        return 2
    # Tango's signal thread waits for SIGTERM and SIGINT; the threads the library starts must not
    # take them first (and end the process unsaved), so they inherit the signals blocked.
    if hasattr(signal, "pthread_sigmask"):  # POSIX
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    try:
        hub = open_hub(args)
    except mervane.Error as error:
        print(f"mervane-tango: {error}", file=sys.stderr)
        return 1
    if args.register:
        try:
            return register(hub, args.register)
        finally:
            hub.lib.close()
    return serve(hub, args)


if __name__ == "__main__":
    sys.exit(main())
