# Imports the package from this source tree and gives each test an emulated library with its own
# settings folder.
import ctypes
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import mervane  # noqa: E402
from mervane import _native  # noqa: E402


@pytest.fixture
def lib(tmp_path):
    with mervane.open(simulate=True, state_dir=tmp_path) as opened:
        yield opened


@pytest.fixture
def emulator(lib):
    """The emulator's control functions (the same loaded copy the library drives)."""
    sim = ctypes.CDLL(_native.find_emulator(lib.path))
    sim.boxsim_position.restype = ctypes.c_longlong
    sim.boxsim_wire.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
    sim.boxsim_position.argtypes = [ctypes.c_char_p, ctypes.c_int]
    return sim
