"""Drive stepper motors on mervane USB boxes from Python.

``mervane.open()`` loads ``libmervane.so`` (see :func:`mervane._native.library_candidates` for
where it is looked for), finds and opens the boxes and returns a :class:`Library`; use it as a
context manager or call :meth:`Library.close`, which writes every box's settings file.
``mervane.open(simulate=True)`` runs on the box emulator built with the library instead of real
boxes. Positions are in user units (millimetres, or degrees for the R types). Every refusal of the
library raises :class:`Error`, which names the call.

The library holds process-wide state: one :class:`Library` may be open at a time, and the first
``open`` of a process decides between real boxes and the emulator.
"""
from __future__ import annotations

import ctypes
import os
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Union

from . import _native
from ._native import MotorInfo

__all__ = ["Error", "Library", "Motor", "Box", "MotorInfo", "open", "default_state_dir"]

_TEXT = 64
_POLL = 0.01  # seconds between looks at a moving motor, as the library's own waits


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
    """A motor, addressed by its name (the first motor of that name in box and channel order)."""

    def __init__(self, library: "Library", name: str) -> None:
        self._library = library
        self.name = name

    def __repr__(self) -> str:
        return f"Motor({self.name!r})"

    def _where(self) -> tuple:
        return self._library._locate(self.name)

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
        if not self._library._c.SM_GetInfo(*self._where(), ctypes.byref(info)):
            raise Error("SM_GetInfo", f"no record for motor {self.name!r}")
        return info

    @property
    def type_name(self) -> str:
        """The motor type's name, e.g. ``"X (4wires)"``."""
        return self._library.motor_types.get(self.info.type, "???")

    @property
    def position(self) -> float:
        """The position from the zero point, in user units."""
        return self._library._c.SM_GetPosition(*self._where())

    @property
    def target(self) -> float:
        """The destination from the zero point, in user units."""
        return self._library._c.SM_GetTarget(*self._where())

    @property
    def zero(self) -> float:
        """The zero point, in user units from the absolute origin."""
        return self._library._c.SM_GetZero(*self._where())

    @property
    def running(self) -> bool:
        """Whether the motor moves right now."""
        return bool(self._library._c.SM_IsRunning(*self._where()))

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

    def move_to(self, units: float, wait: bool = True, timeout: Optional[float] = None) -> float:
        """Moves to ``units`` from the zero point; with ``wait``, returns the position at rest."""
        self._library._locate(self.name)
        self._check("SMN_Move", self._library._c.SMN_Move(self.name.encode(), float(units), False))
        return self.wait(timeout) if wait else self.position

    def move_by(self, units: float, wait: bool = True, timeout: Optional[float] = None) -> float:
        """Moves ``units`` further than the present destination."""
        self._library._locate(self.name)
        self._check("SMN_Move", self._library._c.SMN_Move(self.name.encode(), float(units), True))
        return self.wait(timeout) if wait else self.position

    def stop(self, wait: bool = False, timeout: Optional[float] = None) -> float:
        """Stops on the ramp (at most the acceleration length further)."""
        self._check("SM_Stop", self._library._c.SM_Stop(*self._where()))
        return self.wait(timeout) if wait else self.position

    def set_zero(self) -> None:
        """Stops, waits, and makes the present position the zero; again: back to the origin."""
        self._check("SM_SetZero", self._library._c.SM_SetZero(*self._where()))

    def reset(self) -> None:
        """Stops, waits, and calls the present position 0 (the zero point stays)."""
        self._check("SM_Reset", self._library._c.SM_Reset(*self._where()))

    def release(self) -> None:
        """Stops, waits, and switches the coils off."""
        self._check("SM_Release", self._library._c.SM_Release(*self._where()))

    def initialize(self, wait: bool = True, timeout: Optional[float] = None) -> float:
        """Drives a block axis onto its mechanical stop (other types: nothing happens)."""
        self._check("SM_Initialize", self._library._c.SM_Initialize(*self._where()))
        return self.wait(timeout) if wait else self.position

    def remove(self) -> None:
        """Removes the motor from its box (the later channels move up by one)."""
        self._check("SM_Remove", self._library._c.SM_Remove(*self._where()))


class Library:
    """The opened library: boxes, motors, setup; close it to save the settings files."""

    _open_one: Optional["Library"] = None

    def __init__(self, native: ctypes.CDLL, path: str, simulate: bool) -> None:
        self._c = native
        self.path = path
        self.simulate = simulate
        self._closed = False
        self._types: Optional[Dict[int, str]] = None
        self._c.RefreshDevices()

    def __enter__(self) -> "Library":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Stops using the library: every box's settings file is written, the boxes closed."""
        if not self._closed:
            self._closed = True
            self._c.Exit()
            Library._open_one = None

    def _text(self, getter, index: int) -> str:
        buffer = ctypes.create_string_buffer(_TEXT)
        return buffer.value.decode("latin-1") if getter(index, buffer, _TEXT) else ""

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
                    self._types[code] = name.value.decode("latin-1")
        return self._types

    def _locate(self, name: str) -> tuple:
        box, channel = ctypes.c_uint32(), ctypes.c_uint32()
        if self._c.SM_GetIndex(ctypes.byref(box), ctypes.byref(channel), name.encode(), None, -1) < 1:
            raise Error("motor", f"no motor named {name!r}")
        return box.value, channel.value

    def _names(self) -> Iterator[str]:
        for b in self.boxes:
            for c in range(b.motor_count):
                info = MotorInfo()
                if self._c.SM_GetInfo(b.index, c, ctypes.byref(info)):
                    yield info.name.decode("latin-1")

    @property
    def motors(self) -> List[Motor]:
        """Every configured motor, in box and channel order."""
        return [Motor(self, name) for name in self._names()]

    def motor(self, name: str) -> Motor:
        """The motor of that name; :class:`Error` (call ``"motor"``) when there is none."""
        self._locate(name)
        return Motor(self, name)

    def setup(self, box: Union[int, str], name: str, type: Union[int, str], address: int = 0,
              coefficient: float = 1.0, length: float = 5.0, acceleration: int = 20, min_step_time: int = 5,
              max_step_time: int = 50, half_steps: bool = False, auto_release: bool = False, offset: float = 0.0,
              channel: Optional[int] = None) -> Motor:
        """Adds a motor to ``box`` (or reconfigures ``channel``) as the setup dialog would: name of
        at most 9 characters, type code or name, connector ``address`` 1..7 (0: unplugged),
        ``coefficient`` steps per unit, ``length`` in units, ``acceleration`` in steps, step
        times in ms. Bad values raise ``ValueError`` with the dialog's message."""
        if isinstance(type, str):
            codes = [c for c, n in self.motor_types.items() if n.replace(" ", "").lower() == type.replace(" ", "").lower()]
            if not codes:
                raise ValueError(f"no motor type named {type!r}")
            type = codes[0]
        if len(name.encode()) > 9:
            raise ValueError("Name must be at most 9 characters!")
        if coefficient == 0:
            raise ValueError("Coefficient must be different from zero!")
        for value, limit in ((acceleration, 127), (min_step_time, 10000), (max_step_time, 10000)):
            if int(value) != value or value < 1:
                raise ValueError("Value must be higher then zero!")
            if value > limit:
                raise ValueError(f"Value must not be higher then {limit}!")
        if max_step_time < min_step_time:
            raise ValueError("Max step time must be higher then Min step time!")
        index = self._box_index(box)
        info = MotorInfo()
        if channel is not None and not self._c.SM_GetInfo(index, channel, ctypes.byref(info)):
            raise Error("SM_Setup", f"box {index} has no channel {channel}")
        info.address, info.type = address, type
        info.coefficient = coefficient
        info.length = int(length * info.coefficient)  # the float32 coefficient, as the dialog
        info.acceleration, info.minStepTime, info.maxStepTime = acceleration, min_step_time, max_step_time
        info.halfSteps, info.autoRelease = int(half_steps), int(auto_release)
        info.name, info.offset = name.encode(), offset
        result = self._c.SM_Setup(index, -1 if channel is None else channel, ctypes.byref(info))
        if result < 0:
            raise Error("SM_Setup", f"motor {name!r} refused on box {index} (address taken, type 0, box full?)")
        return Motor(self, name)

    def run(self, box: Union[int, str], destinations: Optional[Dict[str, float]] = None, wait: bool = True,
            timeout: Optional[float] = None) -> None:
        """Starts every motor of ``box`` towards its destination in the same tick, after setting
        the given ``destinations`` (motor name -> units)."""
        index = self._box_index(box)
        for name, units in (destinations or {}).items():
            where = self._locate(name)
            if where[0] != index or not self._c.SM_SetDestination(where[0], where[1], float(units)):
                raise Error("SM_SetDestination", f"motor {name!r} on box {index}")
        if not self._c.Run(index):
            raise Error("Run", f"refused for box {index}")
        if wait:
            for motor in self.motors:
                if motor.box == index:
                    motor.wait(timeout)

    def rename(self, box: Union[int, str], name: str) -> None:
        """Renames a box (kept in its chip and its settings file)."""
        index = self._box_index(box)
        if not self._c.RenameDevice(index, name.encode()):
            raise Error("RenameDevice", f"refused for box {index}")

    def release_all(self) -> None:
        """Stops and releases every motor of every box."""
        if not self._c.SM_ReleaseAll():
            raise Error("SM_ReleaseAll", "a release failed")


_native_library: Optional[ctypes.CDLL] = None
_native_simulate: Optional[bool] = None


def open(simulate: bool = False, state_dir: Optional[Union[str, Path]] = None,
         library: Optional[str] = None) -> Library:
    """Loads the library, finds and opens the boxes, and returns the :class:`Library`.

    ``simulate``: use the box emulator built with the library; ``state_dir`` is where it keeps the
    boxes' chips and the settings files (default :func:`default_state_dir`, shared with
    ``mervanectl --sim``). ``library``: the file of libmervane.so (default: see the module)."""
    global _native_library, _native_simulate
    if Library._open_one is not None:
        raise Error("open", "the library is open already; close it first")
    if _native_library is not None and _native_simulate != simulate:
        raise Error("open", "this process already chose " + ("the emulator" if _native_simulate else "real boxes"))
    path = library or _native.find_library()
    if simulate:
        emulator = _native.find_emulator(path)
        if emulator is None:
            raise Error("open", "the box emulator libmervane-boxsim.so is not built")
        folder = str(state_dir or default_state_dir())
        os.makedirs(folder, exist_ok=True)
        folder = folder if folder.endswith("/") else folder + "/"
        # Read by the library when it first lists the boxes, and by the emulator when it loads.
        os.environ["MERVANE_D2XX_LIBRARY"] = emulator
        os.environ["BOXSIM_STATE_DIR"] = folder
        os.environ["MERVANE_CONFIG_DIR"] = folder
    if _native_library is None:
        try:
            _native_library = _native.bind(path)
        except OSError as error:
            raise Error("open", f"cannot load {path}: {error}") from None
        _native_simulate = simulate
    opened = Library(_native_library, path, simulate)
    Library._open_one = opened
    return opened
