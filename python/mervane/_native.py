"""Finding and binding libmervane.so: the C functions with their argument and result types."""
from __future__ import annotations

import ctypes
import os
import sysconfig
from pathlib import Path
from typing import Optional

LIBRARY_NAME = "libmervane.so"
EMULATOR_NAME = "libmervane-boxsim.so"
# The installed library goes by its soname (libmervane.so itself comes only with the development
# files); its private modules, the emulator among them, lie in the mervane/ folder beside it.
INSTALLED_NAME = "libmervane.so.1"
PRIVATE_FOLDER = "mervane"
_PACKAGE_DIR = Path(__file__).resolve().parent
# python/mervane/ inside a source checkout: the checkout's build folder is ../../build.
_CHECKOUT_BUILD = _PACKAGE_DIR.parent.parent / "build"


def _system_library_dirs() -> list:
    """The folders an installed libmervane is found in: local installations first, then the
    system's, each with its multiarch folder (x86_64-linux-gnu, ...) before the plain one."""
    multiarch = sysconfig.get_config_var("MULTIARCH")
    dirs = []
    for prefix in ("/usr/local/lib", "/usr/lib"):
        if multiarch:
            dirs.append(os.path.join(prefix, multiarch))
        dirs.append(prefix)
    return dirs


SYSTEM_LIBRARY_DIRS = _system_library_dirs()


class MotorInfo(ctypes.Structure):
    """A motor's configuration, the 39-byte packed record of include/mervane.h."""

    _pack_ = 1
    _fields_ = [
        ("address", ctypes.c_uint8),
        ("type", ctypes.c_uint8),
        ("length", ctypes.c_int32),
        ("coefficient", ctypes.c_float),
        ("acceleration", ctypes.c_int8),
        ("minStepTime", ctypes.c_uint16),
        ("maxStepTime", ctypes.c_uint16),
        ("halfSteps", ctypes.c_uint8),
        ("autoRelease", ctypes.c_uint8),
        ("name", ctypes.c_char * 10),
        ("position", ctypes.c_float),
        ("offset", ctypes.c_float),
        ("zeroPoint", ctypes.c_float),
    ]


assert ctypes.sizeof(MotorInfo) == 39


class SetupTexts(ctypes.Structure):
    """The setup dialog's fields as texts (MervaneSetupTexts of include/mervane_ext.h); None keeps
    the record's value."""

    _fields_ = [(name, ctypes.c_char_p) for name in (
        "name", "address", "coefficient", "length", "offset", "acceleration", "minStepTime", "maxStepTime")]

_u32, _i32, _int, _dbl, _bool = ctypes.c_uint32, ctypes.c_int32, ctypes.c_int, ctypes.c_double, ctypes.c_bool
_str = ctypes.c_char_p
_info = ctypes.POINTER(MotorInfo)
_u32p = ctypes.POINTER(ctypes.c_uint32)

# name: (result type, argument types). The exported symbols carry a leading underscore.
SIGNATURES = {
    "RefreshDevices": (_i32, []),
    "GetDeviceIndex": (_i32, [_str]),
    "CheckDeviceConnection": (_bool, [ctypes.c_uint]),
    "GetDeviceSernum": (_bool, [ctypes.c_uint, ctypes.c_char_p, _u32]),
    "GetDeviceType": (_bool, [ctypes.c_uint, ctypes.c_char_p, _u32]),
    "GetDeviceName": (_bool, [ctypes.c_uint, ctypes.c_char_p, _u32]),
    "RenameDevice": (_bool, [ctypes.c_uint, _str]),
    "Run": (_bool, [ctypes.c_uint]),
    "StopAll": (None, [ctypes.c_uint]),
    "Exit": (None, []),
    "SM_GetIndex": (_int, [_u32p, _u32p, _str, _str, _int]),
    "SM_GetCount": (_int, [_u32]),
    "SM_GetPosition": (_dbl, [_u32, _u32]),
    "SM_GetRealPosition": (_dbl, [_u32, _u32]),
    "SM_GetTarget": (_dbl, [_u32, _u32]),
    "SM_GetZero": (_dbl, [_u32, _u32]),
    "SM_GetInfo": (_bool, [_u32, _u32, _info]),
    "SM_Setup": (_int, [_u32, _int, _info]),
    "SM_SetDestination": (_bool, [_u32, _u32, _dbl]),
    "SMN_Move": (_bool, [_str, _dbl, _bool]),
    "SM_IsRunning": (_bool, [_u32, _u32]),
    "SM_Stop": (_bool, [_u32, _u32]),
    "SM_Initialize": (_bool, [_u32, _u32]),
    "SM_SetZero": (_bool, [_u32, _u32]),
    "SM_Reset": (_bool, [_u32, _u32]),
    "SM_Release": (_bool, [_u32, _u32]),
    "SM_ReleaseAll": (_bool, []),
    "SM_Remove": (_bool, [_u32, _u32]),
    "INF_GetMTypeName": (_int, [_int, ctypes.POINTER(ctypes.c_char_p)]),
    "SM_Move": (_bool, [_u32, _u32, _dbl]),
    "EXT_ApplySetupTexts": (_bool, [ctypes.POINTER(SetupTexts), _bool, _info, ctypes.c_char_p, _u32]),
}

# The emulator's functions the package asks (boxsim/boxsim.h), in the copy the library loaded.
EMULATOR_SIGNATURES = {
    "FT_ListDevices": (ctypes.c_uint32, [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32]),
    "boxsim_holder": (_int, [_str, ctypes.c_char_p, _int]),
}
FT_LIST_NUMBER_ONLY = 0x80000000
FT_LIST_BY_INDEX = 0x40000000
FT_OPEN_BY_SERIAL_NUMBER = 1
FT_OPEN_BY_DESCRIPTION = 2
ACCEPTED_MODELS = (b"VORK-ql2", b"VORK-KADO")


def library_candidates() -> list:
    """Where libmervane.so is looked for, in order: $MERVANE_LIBRARY, next to this package, the
    build folder of a source checkout, the installed libmervane.so.1 (SYSTEM_LIBRARY_DIRS), then
    the loader path (a bare name)."""
    candidates = []
    chosen = os.environ.get("MERVANE_LIBRARY")
    if chosen:
        candidates.append(chosen)
    candidates += [str(_PACKAGE_DIR / LIBRARY_NAME), str(_CHECKOUT_BUILD / LIBRARY_NAME)]
    candidates += [os.path.join(folder, INSTALLED_NAME) for folder in SYSTEM_LIBRARY_DIRS]
    candidates.append(LIBRARY_NAME)
    return candidates


def find_library() -> str:
    """The first candidate that exists (the bare name last, for the loader to search)."""
    candidates = library_candidates()
    if os.environ.get("MERVANE_LIBRARY"):
        return candidates[0]  # asked for by name: no silent fallback
    for path in candidates[:-1]:
        if os.path.isfile(path):
            return path
    return candidates[-1]


def find_emulator(library_path: str) -> Optional[str]:
    """The box emulator built with the library: $MERVANE_D2XX_LIBRARY, beside the library (or in
    its boxsim/ folder, the build tree's layout, or its mervane/ folder, the installed one), or in
    a checkout's build folder."""
    chosen = os.environ.get("MERVANE_D2XX_LIBRARY")
    if chosen:
        return chosen
    folder = Path(library_path).resolve().parent if os.sep in library_path else _PACKAGE_DIR
    for path in (folder / EMULATOR_NAME, folder / "boxsim" / EMULATOR_NAME, folder / PRIVATE_FOLDER / EMULATOR_NAME,
                 _CHECKOUT_BUILD / "boxsim" / EMULATOR_NAME):
        if path.is_file():
            return str(path)
    return None


def bind_emulator(path: str) -> ctypes.CDLL:
    """The emulator the library drives (the same loaded copy: the same file name)."""
    lib = ctypes.CDLL(path)
    for name, (restype, argtypes) in EMULATOR_SIGNATURES.items():
        function = lib[name]
        function.restype = restype
        function.argtypes = argtypes
    return lib


def emulated_boxes(emulator: ctypes.CDLL) -> list:
    """Serials of the emulated boxes of the accepted models, in listing order (the library's
    order when it opens them all)."""
    count = ctypes.c_uint32()
    if emulator.FT_ListDevices(ctypes.byref(count), None, FT_LIST_NUMBER_ONLY) != 0:
        return []
    serials = []
    for index in range(count.value):
        serial, model = ctypes.create_string_buffer(65), ctypes.create_string_buffer(65)
        if (emulator.FT_ListDevices(index, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) == 0 and
                emulator.FT_ListDevices(index, model, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) == 0 and
                model.value in ACCEPTED_MODELS):
            serials.append(serial.value)
    return serials


def bind(path: str) -> ctypes.CDLL:
    """Loads the library and gives each bound function its C types, under its plain name."""
    lib = ctypes.CDLL(path)
    for name, (restype, argtypes) in SIGNATURES.items():
        function = lib["_" + name]
        function.restype = restype
        function.argtypes = argtypes
        setattr(lib, name, function)
    return lib
