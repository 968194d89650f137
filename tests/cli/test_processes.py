# mervanectl across processes and signals on one state folder: a box open in one process at a
# time, background moves and their records, signals that stop on the ramp and save, what the
# emulator decodes from one process to the next, and the commands' refusals of bad values.
import os
import signal
import subprocess
import time

import pytest

from test_mervanectl import MERVANECTL, X, ctl, rows, wait_gone  # noqa: F401  (ctl is a fixture)

BUSY = "mervanectl: box 0 (SIM00001) is in use by mervanectl move, pid {}\n"


def slow_x(ctl):
    """X on box 0, slow enough (5..20 ms a step, 200 steps/mm) that a move of mm lasts seconds."""
    assert ctl("setup", "0", "--name", "X", "--type", "X (4wires)", "--address", "1", "--coef", "200",
               "--min", "5", "--max", "20")[0] == 0


def background(ctl, *args):
    status, out, err = ctl("move", *args, "--no-wait")
    assert status == 0, err
    return int(out.split("pid ")[1])


def position_and_decoded(ctl, name="X", coefficient=200):
    """The library's position (from a fresh process) next to the steps the emulator decoded:
    a move to the same place decodes 0 steps when both agree."""
    position = float(rows(ctl("motors")[1])[1][5])
    status, out, _ = ctl("move", name, str(position))
    assert status == 0
    assert rows(out)[-1] == ["emulator", name, "0", "0"]
    return position


def test_a_second_move_on_a_busy_box_is_refused_and_changes_nothing(ctl):
    slow_x(ctl)
    ctl("setup", "0", "--name", "Y", "--type", "0x86", "--address", "2", "--min", "1", "--max", "10")
    pid = background(ctl, "X", "2")
    assert ctl("move", "Y", "4", "--no-wait") == (1, "", BUSY.format(pid))
    # While the move runs, its box answers no stale reading: the commands say it is busy.
    for command in (["motors"], ["list"], ["setup", "1", "--name", "Z", "--type", "0x86"], ["rename", "0", "B"],
                    ["watch", "--count", "1"]):
        assert ctl(*command) == (1, "", BUSY.format(pid)), command
    wait_gone(pid)
    table = rows(ctl("motors")[1])
    assert [(r[2], r[5]) for r in table[1:]] == [("X", "2"), ("Y", "0")]
    assert ctl("list")[1].count("VORK-KADO0") == 1  # the rename did not happen
    assert position_and_decoded(ctl) == 2


def test_setups_at_once_never_lose_a_motor(ctl):
    for round_ in range(5):
        ctl("remove", f"A{round_ - 1}")
        ctl("remove", f"B{round_ - 1}")
        names = [f"A{round_}", f"B{round_}"]
        runs = [subprocess.Popen([MERVANECTL, "--state", str(ctl.state), "setup", "0", "--name", name, "--type", "0x86",
                                  "--address", str(address)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for address, name in enumerate(names, 1)]
        results = [(run.wait(30), run.stderr.read()) for run in runs]
        listed = [r[2] for r in rows(ctl("motors")[1])[1:]]
        for name, (status, err) in zip(names, results):
            assert status in (0, 1), err
            assert (name in listed) == (status == 0), (name, status, err)
            if status == 1:
                # The refusal names the holder, unless the holder ended between the refusal and
                # the look at its lock (a slow machine, a sanitizer build): then no one holds it.
                assert ("is in use by mervanectl setup, pid" in err
                        or "is in use by another program (or it cannot be opened)" in err), err


@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_signals_stop_on_the_ramp_and_save(ctl, sig, status):
    slow_x(ctl)
    move = subprocess.Popen([MERVANECTL, "--state", str(ctl.state), "move", "X", "8"], stdout=subprocess.PIPE, text=True)
    time.sleep(1.0)
    move.send_signal(sig)
    out, _ = move.communicate(timeout=30)
    assert move.returncode == status
    stopped = rows(out)[-2]
    assert stopped[0] == "X" and stopped[3] == "stopped" and 0 < float(stopped[1]) < 8
    assert position_and_decoded(ctl) == float(stopped[1])


def test_a_closed_pipe_stops_on_the_ramp_and_saves(ctl):
    slow_x(ctl)
    done = subprocess.run(f"'{MERVANECTL}' --state '{ctl.state}' move X 8 | head -1; exit ${{PIPESTATUS[0]}}",
                          shell=True, executable="/bin/bash", capture_output=True, text=True, timeout=60)
    assert done.returncode == 141
    position = position_and_decoded(ctl)
    assert 0 < position < 8


def test_stop_never_signals_a_process_the_record_does_not_hold(ctl):
    slow_x(ctl)
    # A record file naming a live, unrelated process, as a killed move used to leave behind.
    bystander = subprocess.Popen(["sleep", "30"])
    try:
        (ctl.state / "mervanectl-X.moving").write_text(str(bystander.pid))
        assert ctl("stop", "X") == (0, "X\tstop\t0\t0\n", "")
        assert bystander.poll() is None
    finally:
        bystander.kill()
        bystander.wait()


def test_a_killed_background_move_leaves_no_record(ctl):
    slow_x(ctl)
    pid = background(ctl, "X", "20")
    time.sleep(0.5)
    os.kill(pid, signal.SIGKILL)
    wait_gone(pid)
    status, out, _ = ctl("stop", "X")
    assert status == 0 and "background move" not in out
    # Both the library's file and the emulator's connectors are as the last closing left them.
    assert position_and_decoded(ctl) == 0


def test_stop_reaches_a_move_of_a_name_with_a_slash(ctl):
    assert ctl("setup", "0", "--name", "a/b", "--type", "0x86", "--address", "1", "--coef", "200", "--min", "5",
               "--max", "20")[0] == 0
    pid = background(ctl, "a/b", "20")
    time.sleep(0.5)
    status, out, _ = ctl("stop", "a/b")
    first, second = out.splitlines()
    assert (status, first) == (0, f"a/b: background move (pid {pid}) stopped on its ramp")
    assert 0 < float(second.split("\t")[2]) < 20
    assert position_and_decoded(ctl, "a/b") == float(second.split("\t")[2])


def test_the_emulator_decodes_every_step_from_one_process_to_the_next(ctl):
    ctl(*X)
    # 0.005 mm is one step: moves that begin on every phase of the four-wire table.
    for steps in (2, 8, -7, -3, 1, 5):
        status, out, _ = ctl("move", "X", "-r", "--", str(steps / 200))
        assert status == 0
        assert rows(out)[-1] == ["emulator", "X", str(steps), "0"], steps


def test_zero_says_it_lasts_for_the_command_only(ctl):
    ctl(*X)
    ctl("move", "X", "1")
    status, out, err = ctl("zero", "X")
    assert (status, rows(out)) == (0, [["X", "zero", "0", "1"]])
    assert "lasts only for this command" in err
    assert rows(ctl("motors")[1])[1][5] == "1"  # as it said


def test_watch_ends_at_once_on_ctrl_c(ctl):
    watch = subprocess.Popen([MERVANECTL, "--state", str(ctl.state), "watch", "--interval", "20"],
                             stdout=subprocess.PIPE, text=True)
    time.sleep(1.0)
    sent = time.monotonic()
    watch.send_signal(signal.SIGINT)
    watch.communicate(timeout=30)
    assert watch.returncode == 130
    assert time.monotonic() - sent < 2.0


@pytest.mark.parametrize("interval", ["nan", "inf", "0", "-1", "1e400", "3601", "x"])
def test_watch_refuses_a_bad_interval(ctl, interval):
    status, out, err = ctl("watch", "--interval", interval)
    assert (status, out) == (2, "") and err.startswith(f"mervanectl: --interval: '{interval}' is not a number")


@pytest.mark.parametrize("name", ["", "A\tB", "A\nB", "\x1b[2J"])
def test_rename_refuses_empty_and_control_character_names(ctl, name):
    status, _, err = ctl("rename", "0", name)
    assert status == 2 and err.startswith("mervanectl: NEWNAME: ")
    assert rows(ctl("list")[1])[1][3] == "VORK-KADO0"


def test_demo_leaves_the_users_motors_alone(ctl):
    ctl(*X)
    ctl("move", "X", "1")
    assert ctl("demo", "--quick")[0] == 0
    assert rows(ctl("motors")[1])[1:] == [["0", "0", "X", "X (4wires)", "1", "1", "1", "no"]]
