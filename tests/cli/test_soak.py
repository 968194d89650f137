# The short form of the soak of several processes on one state folder (bench/soak_processes.py runs it
# as long as asked, 60 s by default): two mervanectl loops and a Python loop, then every motor's
# position must equal the steps the emulator decoded.
import os
import subprocess
import sys

import pytest

from test_mervanectl import MERVANECTL

SOAK = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "soak_processes.py")


@pytest.mark.skipif(bool(os.environ.get("MERVANE_SANITIZED")), reason="sanitizer build: Python cannot load its library")
def test_three_processes_on_one_state_folder(tmp_path):
    done = subprocess.run([sys.executable, SOAK, "--seconds", "8", "--state", str(tmp_path), "--mervanectl", MERVANECTL],
                          capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "every position equals the emulator's" in done.stdout
    assert done.stdout.count(" ok\n") == 4
