# The package keeps what it reports true: names stored as given (or refused), every setup value
# checked before it reaches the record, calls by name that never reach another motor, the motor
# setup made, one state folder at a time, a closed Library that refuses, busy emulated boxes.
import os
import subprocess
import sys
import threading

import pytest

import mervane

MERVANECTL = os.environ.get("MERVANECTL", os.path.join(os.path.dirname(__file__), "../../build/tools/mervanectl"))


def motor(lib, name, address, box=0, **extra):
    settings = dict(address=address, coefficient=200, acceleration=10, min_step_time=1, max_step_time=10)
    settings.update(extra)
    return lib.setup(box, name, "X (4wires)", **settings)


def test_names_are_stored_and_read_back_as_given(lib, tmp_path):
    motor(lib, "Bär", 1)
    lib.rename(0, "Büro")
    assert [m.name for m in lib.motors] == ["Bär"]
    assert lib.motor("Bär").info.address == 1
    assert lib.boxes[0].name == "Büro"
    lib.rename("Büro", "Büro2")  # found by the name it was given
    assert lib.boxes[0].name == "Büro2"


@pytest.mark.parametrize("name", ["B€r", "Ω", "A\x00B"])
def test_names_that_cannot_be_stored_are_refused(lib, name):
    with pytest.raises(ValueError, match="^name: "):
        motor(lib, name, 1)
    with pytest.raises(ValueError, match="^name: "):
        lib.rename(0, name)
    assert lib.motors == [] and lib.boxes[0].name == "VORK-KADO0"


RANGE = "Coefficient must be between 6.3e-30 and 3.4e\\+38 in size!"


@pytest.mark.parametrize("settings, message", [
    (dict(acceleration=5.5), "^acceleration: Value must be integer!$"),
    (dict(coefficient=float("inf")), f"^coefficient: {RANGE}$"),
    (dict(coefficient=float("nan")), f"^coefficient: {RANGE}$"),
    (dict(coefficient=1e39), f"^coefficient: {RANGE}$"),
    (dict(coefficient=1e-50), f"^coefficient: {RANGE}$"),
    (dict(length=2e7), "^length: Length must be at most 2147483647 steps!$"),
    (dict(length=float("nan")), "^length: Value must be number!$"),
    (dict(offset=float("inf")), "^offset: Value must be number!$"),
    (dict(min_step_time=20000), "^min_step_time: Value must not be higher then 10000!$"),
    (dict(max_step_time="abc"), "^max_step_time: Value must be integer!$"),
    (dict(address=8), "^address: Address must be 1..7, or 0 for Unplugged!$"),
    (dict(address=1.5), "^address: Value must be integer!$"),
    (dict(name=""), "^name: Name must not be empty!$"),
    (dict(name="A\tB"), "^name: Name must not hold control characters!$"),
    (dict(type=0x99), "^type: "),
    (dict(type="Q (9wires)"), "^type: "),
])
def test_every_value_is_checked_before_it_reaches_the_record(lib, settings, message):
    arguments = dict(name="X", type="X (4wires)", address=1, coefficient=200)
    arguments.update(settings)
    with pytest.raises(ValueError, match=message):
        lib.setup(0, **arguments)
    assert lib.motors == []


def test_a_block_axis_keeps_its_length(lib):
    z = lib.setup(0, "Z", "Z block (4wires)", address=2, coefficient=200, length=20, min_step_time=1,
                  max_step_time=5)
    assert z.info.length == 4000
    assert z.move_to(1, timeout=10) == 1


def test_calls_by_name_never_reach_another_motor(lib):
    # Threads switch as often as the interpreter allows, so a lookup and the call after it are
    # split as often as they can be.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for round_ in range(60):
            for address, name in enumerate("ABC", 1):
                motor(lib, name, address)
            a, b = lib.motor("A"), lib.motor("B")
            start = threading.Barrier(2)

            def remove(m):
                start.wait()
                m.remove()

            threads = [threading.Thread(target=remove, args=(m,)) for m in (a, b)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert [m.name for m in lib.motors] == ["C"], round_
            lib.motor("C").remove()
    finally:
        sys.setswitchinterval(previous)


def test_setup_returns_the_motor_it_made(lib):
    motor(lib, "DUP", 1, box=0)
    made = motor(lib, "DUP", 2, box=1)
    assert (made.box, made.channel, made.info.address) == (1, 0, 2)
    assert made.move_to(0.5, timeout=10) == 0.5
    assert lib.motor("DUP").position == 0  # the first of that name did not move


def test_one_state_folder_at_a_time(tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    with mervane.open(simulate=True, state_dir=first) as lib:
        lib.rename(0, "FIRST")
        motor(lib, "X", 1).move_to(0.25, timeout=10)
        with pytest.raises(mervane.Error, match=f"state folder {first}/ open"):
            mervane.open(simulate=True, state_dir=second)
    with mervane.open(simulate=True, state_dir=second) as lib:
        # Nothing of the first folder: its chip's name and its motors stay there.
        assert lib.boxes[0].name == "VORK-KADO0" and lib.motors == []
    assert not (second / "SIM00001.hws").read_bytes().count(b"FIRST")
    with mervane.open(simulate=True, state_dir=first) as lib:
        assert lib.boxes[0].name == "FIRST" and lib.motor("X").position == 0.25


def test_a_closed_library_refuses_every_call(tmp_path):
    lib = mervane.open(simulate=True, state_dir=tmp_path)
    x = motor(lib, "X", 1)
    lib.close()
    again = mervane.open(simulate=True, state_dir=tmp_path)  # a later Library must not be reached
    try:
        calls = [lambda: lib.boxes, lambda: lib.motors, lambda: lib.motor("X"), lambda: x.position,
                 lambda: x.move_to(1), lambda: x.remove(), lambda: motor(lib, "Y", 2), lambda: lib.rename(0, "N"),
                 lambda: lib.release_all(), lambda: lib.run(0)]
        for call in calls:
            with pytest.raises(mervane.Error) as caught:
                call()
            assert caught.value.call == "closed"
        assert [m.name for m in again.motors] == ["X"] and again.motor("X").position == 0
    finally:
        again.close()


def test_a_box_held_by_another_process_is_refused(tmp_path):
    if not os.path.exists(MERVANECTL):
        pytest.skip("mervanectl is not built")
    ctl = [MERVANECTL, "--state", str(tmp_path)]
    subprocess.run(ctl + ["setup", "0", "--name", "X", "--type", "0x85", "--address", "1", "--coef", "200",
                          "--min", "5", "--max", "20"], check=True, capture_output=True)
    out = subprocess.run(ctl + ["move", "X", "20", "--no-wait"], check=True, capture_output=True, text=True).stdout
    pid = int(out.split("pid ")[1])
    try:
        with pytest.raises(mervane.Error, match=f"^open: box 0 \\(SIM00001\\) is in use by mervanectl move, pid {pid}$"):
            mervane.open(simulate=True, state_dir=tmp_path)
        assert mervane.Library._open_one is None  # refused whole: nothing is left open
    finally:
        subprocess.run(ctl + ["stop", "X"], check=True, capture_output=True)
    with mervane.open(simulate=True, state_dir=tmp_path) as lib:
        assert 0 < lib.motor("X").position < 20
