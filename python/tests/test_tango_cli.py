# mervane-tango's --help and its refusal without PyTango: the package's manual page is made from
# --help at build time, where neither a box nor PyTango may be needed.
import os
import subprocess
import sys
from pathlib import Path

import pytest

import mervane
from mervane import tango as server

PYTHON_DIR = Path(__file__).resolve().parents[1]


def test_help_needs_neither_pytango_nor_the_library(tmp_path):
    # A "tango" module that ends the process if anything imports it, and no library to load.
    (tmp_path / "tango.py").write_text("import sys\nsys.exit('tango imported')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), str(PYTHON_DIR)]),
               MERVANE_LIBRARY=str(tmp_path / "no-such-library.so"))
    done = subprocess.run([sys.executable, "-m", "mervane.tango", "--help"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    # help2man makes the manual page's synopsis of these three lines.
    assert lines[:3] == ["Usage: mervane-tango [options] --nodb --port N",
                         "  or:  mervane-tango [options] INSTANCE",
                         "  or:  mervane-tango [options] --register INSTANCE"]
    assert "Tango device server for the motors of the boxes this PC holds" in lines
    for option in ("--sim", "--state DIR", "--nodb", "--port PORT", "--register INSTANCE"):
        assert any(line.lstrip().startswith(option) for line in lines), option


def test_usage_errors_show_the_same_usage(capsys):
    with pytest.raises(SystemExit) as ended:
        server.parse_arguments(["--nodb"])
    assert ended.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("Usage: mervane-tango ")
    assert err.rstrip().endswith("error: --nodb needs --port N")


def test_without_pytango_it_ends_with_status_2_before_opening_boxes(monkeypatch, capsys):
    find_spec = server.importlib.util.find_spec
    monkeypatch.setattr(server.importlib.util, "find_spec",
                        lambda name, *more: None if name == "tango" else find_spec(name, *more))
    opened = []
    monkeypatch.setattr(mervane, "open", lambda *args, **kwargs: opened.append(args) or pytest.fail("opened"))
    assert server.main(["--sim", "--nodb", "--port", "10123"]) == 2
    assert opened == []
    assert "PyTango is missing (Debian: apt install python3-tango" in capsys.readouterr().err
