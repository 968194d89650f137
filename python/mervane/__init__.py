"""Drive stepper motors on mervane USB boxes from Python.

``mervane.open()`` loads ``libmervane.so`` (see :func:`mervane._native.library_candidates` for
where it is looked for), finds and opens the boxes and returns a :class:`Library`; use it as a
context manager or call :meth:`Library.close`, which writes every box's settings file.
``mervane.open(simulate=True)`` runs on the box emulator built with the library instead of real
boxes. Positions are in user units (millimetres, or degrees for the R types). Every refusal of the
library raises :class:`Error`, which names the call.

The library holds process-wide state: one :class:`Library` may be open at a time (with one
emulator state folder), and the first ``open`` of a process decides between real boxes and the
emulator. A closed :class:`Library` refuses every call. Names of motors and boxes are
single-byte (Latin-1) texts: a text that cannot be stored so raises ``ValueError``. Calls of a
motor by name, from any thread, look it up and act on it under one lock, so a removal by another
thread never turns a call onto another motor. On the emulator, a box that another process holds
open makes ``open`` fail, naming the holder, as a chip takes one open at a time.
"""
from __future__ import annotations

import ctypes
import os
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Union

from . import _native
from ._native import MotorInfo, SetupTexts

__all__ = ["Error", "Library", "Motor", "Box", "MotorInfo", "open", "default_state_dir"]

_TEXT = 64
_POLL = 0.01  # seconds between looks at a moving motor, as the library's own waits
_REST_PATIENCE = 10.0  # seconds a stop may take to rest, as the library's own waits
_ENCODING = "latin-1"  # the library's texts are single bytes; this maps every byte both ways
# Held while a motor is looked up by name and acted on, so that no other thread's removal or
# set-up shifts the channels in between. Reentrant: a call may look up more than once.
_calls = threading.RLock()


def _encode(text: str, field: str) -> bytes:
    """A name as the library stores it: ValueError naming the field when it cannot be."""
    if not isinstance(text, str):
        raise ValueError(f"{field}: {text!r} is no text")
    try:
        data = text.encode(_ENCODING)
    except UnicodeEncodeError:
        raise ValueError(f"{field}: {text!r} cannot be stored: names are single-byte (Latin-1) texts") from None
    if b"\0" in data:
        raise ValueError(f"{field}: {text!r} holds a NUL character")
    return data


def _decode(data: bytes) -> str:
    return data.decode(_ENCODING)


def _field_text(field: str, value: object) -> bytes:
    """A setup value as the text a user would type into the dialog's field."""
    if isinstance(value, bool):
        value = int(value)
    if isinstance(value, int):
        return str(value).encode()
    if isinstance(value, float):
        return repr(value).encode()  # "inf", "nan" and "1e+39" read back as typed
    if isinstance(value, str):
        return _encode(value, field)
    raise ValueError(f"{field}: {value!r} is no number")


class Error(Exception):
    """A call the library refused. ``call`` names it (``"SMN_Move"``, ``"motor"``, ...)."""

    def __init__(self, call: str, reason: str) -> None:
        super().__init__(f"{call}: {reason}")
        self.call = call
        self.reason = reason


@dataclass(frozen=True)
class Box:
    """One box as listed: its position in the device list, serial, model, name and state."""

    index: int
    serial: str
    model: str
    name: str
    connected: bool
    motor_count: int


def default_state_dir() -> str:
    """The emulator's state folder that ``mervanectl --sim`` uses too."""
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, "mervane", "sim")


class Motor:
    """A motor, addressed by its name: the first motor of that name in box and channel order, or,
    for the motor :meth:`Library.setup` made, the one of that name on its box."""

    def __init__(self, library: "Library", name: str, serial: Optional[str] = None) -> None:
        self._library = library
        self.name = name
        self._serial = serial

    def __repr__(self) -> str:
        return f"Motor({self.name!r})" if self._serial is None else f"Motor({self.name!r}, box {self._serial!r})"

    def _where(self) -> tuple:
        return self._library._locate(self.name, self._serial)

    def _at(self, function, *args):
        """``function(box, channel, *args)`` on this motor, looked up and called under one lock."""
        with _calls:
            return function(*self._where(), *args)

    @property
    def box(self) -> int:
        """The motor's box, as a position in the device list."""
        return self._where()[0]

    @property
    def channel(self) -> int:
        """The motor's channel on its box."""
        return self._where()[1]

    @property
    def info(self) -> MotorInfo:
        """The configuration record, with the live absolute position and zero point."""
        info = MotorInfo()
        if not self._at(self._library._c.SM_GetInfo, ctypes.byref(info)):
            raise Error("SM_GetInfo", f"no record for motor {self.name!r}")
        return info

    @property
    def type_name(self) -> str:
        """The motor type's name, e.g. ``"X (4wires)"``."""
        return self._library.motor_types.get(self.info.type, "???")

    @property
    def position(self) -> float:
        """The position from the zero point, in user units."""
        return self._at(self._library._c.SM_GetPosition)

    @property
    def target(self) -> float:
        """The destination from the zero point, in user units."""
        return self._at(self._library._c.SM_GetTarget)

    @property
    def zero(self) -> float:
        """The zero point, in user units from the absolute origin."""
        return self._at(self._library._c.SM_GetZero)

    @property
    def running(self) -> bool:
        """Whether the motor moves right now."""
        return bool(self._at(self._library._c.SM_IsRunning))

    def _check(self, call: str, ok: bool) -> None:
        if not ok:
            raise Error(call, f"refused for motor {self.name!r}")

    def wait(self, timeout: Optional[float] = None) -> float:
        """Waits until the motor rests and returns its position; raises :class:`Error`
        (call ``"wait"``) when ``timeout`` seconds pass first."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while self.running:
            if deadline is not None and time.monotonic() > deadline:
                raise Error("wait", f"motor {self.name!r} still running after {timeout} s")
            time.sleep(_POLL)
        return self.position

    def _move(self, units: float, relative: bool) -> None:
        units = float(units)
        c = self._library._c
        with _calls:
            where = self._where()
            if self._serial is None:
                ok = c.SMN_Move(_encode(self.name, "name"), units, relative)  # the first of that name
            else:
                ok = c.SM_Move(*where, c.SM_GetTarget(*where) + units if relative else units)
        self._check("SMN_Move", ok)

    def move_to(self, units: float, wait: bool = True, timeout: Optional[float] = None) -> float:
        """Moves to ``units`` from the zero point; with ``wait``, returns the position at rest."""
        self._move(units, False)
        return self.wait(timeout) if wait else self.position

    def move_by(self, units: float, wait: bool = True, timeout: Optional[float] = None) -> float:
        """Moves ``units`` further than the present destination."""
        self._move(units, True)
        return self.wait(timeout) if wait else self.position

    def stop(self, wait: bool = False, timeout: Optional[float] = None) -> float:
        """Stops on the ramp (at most the acceleration length further)."""
        self._check("SM_Stop", self._at(self._library._c.SM_Stop))
        return self.wait(timeout) if wait else self.position

    def _at_rest(self, call: str, function) -> None:
        """A call that stops the motor and waits for rest: the stop and the wait happen here, the
        lock taken only for each look, so other threads go on meanwhile; the call then finds the
        motor at rest and returns at once."""
        self._check(call, self._at(self._library._c.SM_Stop))
        deadline = time.monotonic() + _REST_PATIENCE
        while self.running and time.monotonic() < deadline:
            time.sleep(_POLL)
        self._check(call, self._at(function))

    def set_zero(self) -> None:
        """Stops, waits, and makes the present position the zero; again: back to the origin. The
        zero point lasts while the library is open (the settings file keeps positions only)."""
        self._at_rest("SM_SetZero", self._library._c.SM_SetZero)

    def reset(self) -> None:
        """Stops, waits, and calls the present position 0 (the zero point stays)."""
        self._at_rest("SM_Reset", self._library._c.SM_Reset)

    def release(self) -> None:
        """Stops, waits, and switches the coils off."""
        self._at_rest("SM_Release", self._library._c.SM_Release)

    def initialize(self, wait: bool = True, timeout: Optional[float] = None) -> float:
        """Drives a block axis onto its mechanical stop (other types: nothing happens)."""
        self._check("SM_Initialize", self._at(self._library._c.SM_Initialize))
        return self.wait(timeout) if wait else self.position

    def remove(self) -> None:
        """Removes the motor from its box (the later channels move up by one)."""
        self._check("SM_Remove", self._at(self._library._c.SM_Remove))


class Library:
    """The opened library: boxes, motors, setup; close it to save the settings files."""

    _open_one: Optional["Library"] = None

    def __init__(self, native: ctypes.CDLL, path: str, simulate: bool, state_dir: Optional[str] = None) -> None:
        self._native = native
        self.path = path
        self.simulate = simulate
        self.state_dir = state_dir
        self._closed = False
        self._types: Optional[Dict[int, str]] = None
        native.RefreshDevices()

    @property
    def _c(self) -> ctypes.CDLL:
        """The bound library, for an open Library only: every call of a closed one is refused."""
        if self._closed:
            raise Error("closed", "this Library was closed; mervane.open() gives a new one")
        return self._native

    def __enter__(self) -> "Library":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops using the library: every box's settings file is written, the boxes closed."""
        if not self._closed:
            self._closed = True
            self._native.Exit()
            Library._open_one = None

    def _text(self, getter, index: int) -> str:
        buffer = ctypes.create_string_buffer(_TEXT)
        return _decode(buffer.value) if getter(index, buffer, _TEXT) else ""

    @property
    def boxes(self) -> List[Box]:
        """The boxes found when the library was opened, in device-list order."""
        boxes = []
        index = 0
        while self._c.SM_GetCount(index) >= 0:
            boxes.append(Box(index, self._text(self._c.GetDeviceSernum, index), self._text(self._c.GetDeviceType, index),
                             self._text(self._c.GetDeviceName, index), bool(self._c.CheckDeviceConnection(index)),
                             self._c.SM_GetCount(index)))
            index += 1
        return boxes

    def _box_index(self, box: Union[int, str]) -> int:
        boxes = self.boxes
        if isinstance(box, int):
            if 0 <= box < len(boxes):
                return box
        else:
            for b in boxes:
                if box in (b.serial, b.name):
                    return b.index
        raise Error("box", f"no box {box!r}")

    @property
    def motor_types(self) -> Dict[int, str]:
        """Motor type codes and their names (``INF_GetMTypeName``)."""
        if self._types is None:
            self._types = {}
            name = ctypes.c_char_p()
            for code in range(256):
                self._c.INF_GetMTypeName(code, ctypes.byref(name))
                if name.value and name.value != b"???":
                    self._types[code] = _decode(name.value)
        return self._types

    def _locate(self, name: str, serial: Optional[str] = None) -> tuple:
        """(box, channel) of the first motor of that name, or of the one on the box of that
        serial. Callers that act on the result hold ``_calls`` across both."""
        box, channel = ctypes.c_uint32(), ctypes.c_uint32()
        on_box = None if serial is None else _encode(serial, "serial")
        if self._c.SM_GetIndex(ctypes.byref(box), ctypes.byref(channel), _encode(name, "name"), on_box,
                               -1 if on_box is None else 0) < 1:
            raise Error("motor", f"no motor named {name!r}" + ("" if serial is None else f" on box {serial!r}"))
        return box.value, channel.value

    def _names(self) -> Iterator[str]:
        for b in self.boxes:
            for c in range(b.motor_count):
                info = MotorInfo()
                if self._c.SM_GetInfo(b.index, c, ctypes.byref(info)):
                    yield _decode(info.name)

    def _names_on(self, index: int) -> List[str]:
        names = []
        for c in range(max(0, self._c.SM_GetCount(index))):
            info = MotorInfo()
            if self._c.SM_GetInfo(index, c, ctypes.byref(info)):
                names.append(_decode(info.name))
        return names

    @property
    def motors(self) -> List[Motor]:
        """Every configured motor, in box and channel order."""
        return [Motor(self, name) for name in self._names()]

    def motor(self, name: str) -> Motor:
        """The motor of that name; :class:`Error` (call ``"motor"``) when there is none."""
        with _calls:
            self._locate(name)
        return Motor(self, name)

    def setup(self, box: Union[int, str], name: str, type: Union[int, str], address: int = 0,
              coefficient: float = 1.0, length: float = 5.0, acceleration: int = 20, min_step_time: int = 5,
              max_step_time: int = 50, half_steps: bool = False, auto_release: bool = False, offset: float = 0.0,
              channel: Optional[int] = None) -> Motor:
        """Adds a motor to ``box`` (or reconfigures ``channel``) as the setup dialog would: name of
        1..9 single-byte characters, type code or name, connector ``address`` 1..7 (0: unplugged),
        ``coefficient`` steps per unit, ``length`` in units, ``acceleration`` in steps, step
        times in ms. Each value is checked by the dialog's own rules (the library's) before
        anything is stored; a bad one raises ``ValueError`` naming the field, with the dialog's
        message (``"acceleration: Value must be integer!"``). Returns the motor it made, on that
        box."""
        types = self.motor_types
        if isinstance(type, str):
            codes = [c for c, n in types.items() if n.replace(" ", "").lower() == type.replace(" ", "").lower()]
            if not codes:
                raise ValueError(f"type: no motor type named {type!r}")
            type = codes[0]
        if isinstance(type, bool) or not isinstance(type, int) or type not in types:
            raise ValueError(f"type: {type!r} is no motor type code")
        texts = SetupTexts(_encode(name, "name"), _field_text("address", address),
                           _field_text("coefficient", coefficient), _field_text("length", length),
                           _field_text("offset", offset), _field_text("acceleration", acceleration),
                           _field_text("min_step_time", min_step_time), _field_text("max_step_time", max_step_time))
        with _calls:
            index = self._box_index(box)
            serial = self.boxes[index].serial
            info = MotorInfo()
            if channel is not None and not (isinstance(channel, int) and channel >= 0 and
                                            self._c.SM_GetInfo(index, channel, ctypes.byref(info))):
                raise Error("SM_Setup", f"box {index} has no channel {channel!r}")
            message = ctypes.create_string_buffer(256)
            if not self._c.EXT_ApplySetupTexts(ctypes.byref(texts), channel is None, ctypes.byref(info), message,
                                               len(message)):
                field, _, text = _decode(message.value).split("\t", 2)
                raise ValueError(f"{_FIELD_NAMES.get(field, field)}: {text}")
            info.type = type
            info.halfSteps, info.autoRelease = int(bool(half_steps)), int(bool(auto_release))
            result = self._c.SM_Setup(index, -1 if channel is None else channel, ctypes.byref(info))
            if result < 0:
                raise Error("SM_Setup", f"motor {name!r} refused on box {index} (address taken, type 0, box full?)")
        return Motor(self, name, serial)

    def run(self, box: Union[int, str], destinations: Optional[Dict[str, float]] = None, wait: bool = True,
            timeout: Optional[float] = None) -> None:
        """Starts every motor of ``box`` towards its destination in the same tick, after setting
        the given ``destinations`` (motor name -> units)."""
        index = self._box_index(box)
        serial = self.boxes[index].serial
        for name, units in (destinations or {}).items():
            with _calls:
                where = self._locate(name, serial)
                if not self._c.SM_SetDestination(where[0], where[1], float(units)):
                    raise Error("SM_SetDestination", f"motor {name!r} on box {index}")
        if not self._c.Run(index):
            raise Error("Run", f"refused for box {index}")
        if wait:
            for name in self._names_on(index):
                Motor(self, name, serial).wait(timeout)

    def rename(self, box: Union[int, str], name: str) -> None:
        """Renames a box (kept in its chip and its settings file)."""
        text = _encode(name, "name")
        index = self._box_index(box)
        if not self._c.RenameDevice(index, text):
            raise Error("RenameDevice", f"refused for box {index}")

    def release_all(self) -> None:
        """Stops and releases every motor of every box."""
        if not self._c.SM_ReleaseAll():
            raise Error("SM_ReleaseAll", "a release failed")


# The dialog's field names as the keyword arguments of Library.setup name them.
_FIELD_NAMES = {"min step time": "min_step_time", "max step time": "max_step_time"}

_native_library: Optional[ctypes.CDLL] = None
_native_simulate: Optional[bool] = None


def _refuse_busy_boxes(opened: Library, emulator_path: str) -> None:
    """The library lists only the boxes it could open: an emulated box missing from its list is
    held open by another process. Raises :class:`Error` (call ``"open"``) naming the holder."""
    emulator = _native.bind_emulator(emulator_path)
    serials = {b.serial for b in opened.boxes}
    for index, serial in enumerate(_native.emulated_boxes(emulator)):
        if _decode(serial) in serials:
            continue
        holder = ctypes.create_string_buffer(256)
        who = _decode(holder.value) if emulator.boxsim_holder(serial, holder, len(holder)) == 1 else ""
        raise Error("open", f"box {index} ({_decode(serial)}) is in use by {who or 'another program'}")


def open(simulate: bool = False, state_dir: Optional[Union[str, Path]] = None,
         library: Optional[str] = None) -> Library:
    """Loads the library, finds and opens the boxes, and returns the :class:`Library`.

    ``simulate``: use the box emulator built with the library; ``state_dir`` is where it keeps the
    boxes' chips and the settings files (default :func:`default_state_dir`, shared with
    ``mervanectl --sim``). ``library``: the file of libmervane.so (default: see the module)."""
    global _native_library, _native_simulate
    if Library._open_one is not None:
        held = Library._open_one.state_dir
        if held is not None and state_dir is not None and os.path.abspath(str(state_dir)) != os.path.abspath(held):
            raise Error("open", f"this process has the state folder {held} open; one folder at a time: close it first")
        raise Error("open", "the library is open already; close it first")
    if _native_library is not None and _native_simulate != simulate:
        raise Error("open", "this process already chose " + ("the emulator" if _native_simulate else "real boxes"))
    path = library or _native.find_library()
    folder = None
    if simulate:
        emulator = _native.find_emulator(path)
        if emulator is None:
            raise Error("open", "the box emulator libmervane-boxsim.so is not built")
        folder = str(state_dir or default_state_dir())
        os.makedirs(folder, exist_ok=True)
        folder = folder if folder.endswith("/") else folder + "/"
        # Read by the library when it lists and opens the boxes, and by the emulator when it opens
        # one: every box's chip, connectors and settings come from this folder alone.
        os.environ["MERVANE_D2XX_LIBRARY"] = emulator
        os.environ["BOXSIM_STATE_DIR"] = folder
        os.environ["MERVANE_CONFIG_DIR"] = folder
        os.environ.setdefault("BOXSIM_HOLDER", "python (mervane)")
    if _native_library is None:
        try:
            _native_library = _native.bind(path)
        except OSError as error:
            raise Error("open", f"cannot load {path}: {error}") from None
        _native_simulate = simulate
    opened = Library(_native_library, path, simulate, folder)
    if simulate:
        try:
            _refuse_busy_boxes(opened, os.environ["MERVANE_D2XX_LIBRARY"])
        except Error:
            opened.close()
            raise
    Library._open_one = opened
    return opened
