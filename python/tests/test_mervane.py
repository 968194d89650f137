# The Python package against the box emulator: setup, moves, waits, stops, errors, persistence.
import time

import pytest

import mervane
from mervane import _native


def four_wire(lib, name="X", address=1, box=0, **extra):
    settings = dict(address=address, coefficient=200, acceleration=10, min_step_time=1, max_step_time=10)
    settings.update(extra)
    return lib.setup(box, name, "X (4wires)", **settings)


def test_boxes_and_setup(lib):
    assert [(b.index, b.serial, b.model, b.connected, b.motor_count) for b in lib.boxes] == [
        (0, "SIM00001", "VORK-KADO", True, 0), (1, "SIM00002", "VORK-ql2", True, 0)]
    x = four_wire(lib)
    y = lib.setup("SIM00002", "Y", 0x2D, address=2, coefficient=10, half_steps=True)
    assert (x.box, x.channel, x.type_name) == (0, 0, "X (4wires)")
    assert (y.box, y.channel, y.type_name, y.info.halfSteps) == (1, 0, "R (synchron)", 1)
    assert x.info.length == 1000  # 5 mm at 200 steps/mm
    assert [m.name for m in lib.motors] == ["X", "Y"]


def test_move_wait_position_matches_the_wire(lib, emulator):
    emulator.boxsim_wire(b"SIM00001", 1, b"four-wire")
    x = four_wire(lib)
    assert x.move_to(2.5) == 2.5
    assert (x.running, x.target) == (False, 2.5)
    assert emulator.boxsim_position(b"SIM00001", 1) == 500
    assert x.move_by(-1.0) == 1.5
    assert emulator.boxsim_position(b"SIM00001", 1) == 300


def test_stop_during_a_move_runs_down_the_ramp(lib):
    x = four_wire(lib)
    x.move_to(10.0, wait=False)
    time.sleep(0.15)
    assert x.running
    started = x.position
    at_rest = x.stop(wait=True, timeout=5)
    assert not x.running
    assert started < at_rest < 10.0
    assert at_rest - started <= 0.1  # 10 steps of ramp at most (plus the steps while asking)


def test_wait_timeout_names_the_call(lib):
    x = four_wire(lib)
    x.move_to(10.0, wait=False)
    with pytest.raises(mervane.Error) as caught:
        x.wait(timeout=0.05)
    assert caught.value.call == "wait"
    x.stop(wait=True)


@pytest.mark.parametrize("call, action", [
    ("motor", lambda lib: lib.motor("NOPE")),
    ("SM_Setup", lambda lib: (four_wire(lib), four_wire(lib, name="X2"))),  # address 1 taken
    ("SMN_Move", lambda lib: four_wire(lib, address=0).move_to(1.0)),  # unplugged: cannot move
    ("box", lambda lib: four_wire(lib, box=5)),
])
def test_refusals_raise_error_naming_the_call(lib, call, action):
    with pytest.raises(mervane.Error) as caught:
        action(lib)
    assert caught.value.call == call
    assert str(caught.value).startswith(call + ": ")


@pytest.mark.parametrize("settings, message", [
    (dict(coefficient=0), "Coefficient must be different from zero!"),
    (dict(min_step_time=30, max_step_time=10), "Max step time must be higher then Min step time!"),
    (dict(acceleration=0), "Value must be higher then zero!"),
    (dict(acceleration=200), "Value must not be higher then 127!"),
    (dict(name="TENLETTERS"), "Name must be at most 9 characters!"),
])
def test_setup_checks_as_the_dialog(lib, settings, message):
    with pytest.raises(ValueError, match=message):
        four_wire(lib, **settings)
    assert lib.motors == []


def test_run_starts_a_box_together(lib):
    four_wire(lib, "A", address=1)
    four_wire(lib, "B", address=2)
    lib.run(0, {"A": 1.0, "B": -0.5}, timeout=5)
    assert (lib.motor("A").position, lib.motor("B").position) == (1.0, -0.5)


def test_positions_and_names_survive_close(tmp_path):
    with mervane.open(simulate=True, state_dir=tmp_path) as lib:
        four_wire(lib).move_to(0.75)
        lib.rename(1, "BENCH")
    with mervane.open(simulate=True, state_dir=tmp_path) as lib:
        assert lib.motor("X").position == 0.75
        assert lib.boxes[1].name == "BENCH"
    assert (tmp_path / "SIM00001.hws").stat().st_size == 289


def test_one_library_at_a_time(lib):
    with pytest.raises(mervane.Error, match="open"):
        mervane.open(simulate=True)


def test_library_lookup_order(monkeypatch, tmp_path):
    monkeypatch.delenv("MERVANE_LIBRARY", raising=False)
    candidates = _native.library_candidates()
    assert candidates[0].endswith("python/mervane/libmervane.so")
    assert candidates[1].endswith("build/libmervane.so")
    assert candidates[-1] == "libmervane.so"
    monkeypatch.setenv("MERVANE_LIBRARY", str(tmp_path / "mine.so"))
    assert _native.library_candidates()[0] == str(tmp_path / "mine.so")
    assert _native.find_library() == str(tmp_path / "mine.so")  # named: no silent fallback
