# mervanectl on a terminal: the live block's progress bars while a motor moves, read through a
# pseudo-terminal (the bars are drawn only where standard output is one).
import os
import pty
import re
import subprocess

import pytest

from test_mervanectl import MERVANECTL, X

BAR = re.compile(r"\[([#.]{24})\]\s+(running|stopped)")


def run_on_terminal(args, timeout=60):
    """mervanectl with standard output on a pseudo-terminal: (status, everything it wrote)."""
    leader, follower = pty.openpty()
    process = subprocess.Popen([MERVANECTL, *args], stdout=follower, stderr=subprocess.DEVNULL)
    os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the terminal's other end closed: the program ended
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(leader)
    return process.wait(timeout=timeout), b"".join(chunks).decode("utf-8", "replace")


def test_bars_fill_from_the_left_and_end_full(tmp_path):
    state = ["--state", str(tmp_path)]
    assert subprocess.run([MERVANECTL, *state, *X], capture_output=True, timeout=60).returncode == 0
    status, out = run_on_terminal([*state, "move", "X", "5"])
    assert status == 0, out
    bars = BAR.findall(out)
    if not any(kind == "running" for _, kind in bars):
        pytest.skip("the move ended before a first running frame (machine too busy)")
    for bar, _ in bars:
        filled = len(bar) - len(bar.lstrip("#"))
        assert bar == "#" * filled + "." * (24 - filled), bar
    assert bars[-1] == ("#" * 24, "stopped")
    running = [bar.count("#") for bar, kind in bars if kind == "running"]
    assert running == sorted(running)  # never goes back on a move in one direction
