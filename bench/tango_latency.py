#!/usr/bin/python3
"""Latencies of mervane-tango on the box emulator, seen from a client in another process:
Position reads, a Position write to the first step on the wire, and a motor's last step to a
subscriber's State event. Prints median and 99th percentile in milliseconds.

    /usr/bin/python3 bench/tango_latency.py [--reads 1000] [--moves 100]

The server runs as `mervane-tango --sim --nodb` on 127.0.0.1 with a throwaway state folder. The
emulator stamps each write with the monotonic clock, the same clock as time.monotonic() here.
"""
import argparse
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import tango

ROOT = Path(__file__).resolve().parents[1]
PYTHON_DIR = ROOT / "python"


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def report(what, seconds):
    ms = [s * 1000 for s in seconds]
    print(f"{what:<44} n={len(ms):<5} median {statistics.median(ms):8.3f} ms   p99 {percentile(ms, 0.99):8.3f} ms"
          f"   max {max(ms):8.3f} ms")


def start_server(state, port):
    subprocess.run([sys.executable, "-c",
                    "import mervane\n"
                    f"with mervane.open(simulate=True, state_dir={str(state)!r}) as lib:\n"
                    "    lib.setup(0, 'X', 'X (4wires)', address=1, coefficient=200, acceleration=5,"
                    " min_step_time=1, max_step_time=5)\n"], cwd=PYTHON_DIR, check=True)
    server = subprocess.Popen([sys.executable, "-m", "mervane.tango", "--sim", "--state", str(state), "--nodb",
                               "--port", str(port)], cwd=PYTHON_DIR, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    for line in server.stdout:
        if "Ready to accept request" in line:
            threading.Thread(target=server.stdout.read, daemon=True).start()
            return server
    raise SystemExit("the server did not start")


def wait_rest(motor):
    deadline = time.monotonic() + 20
    while motor.state() != tango.DevState.ON:
        if time.monotonic() > deadline:
            raise SystemExit("the motor did not come to rest")
        time.sleep(0.002)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reads", type=int, default=1000)
    parser.add_argument("--moves", type=int, default=100)
    args = parser.parse_args()
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with tempfile.TemporaryDirectory() as state:
        server = start_server(state, port)
        try:
            base = f"tango://127.0.0.1:{port}/"
            motor = tango.DeviceProxy(base + "mervane/motor/X#dbase=no")
            box = tango.DeviceProxy(base + "mervane/box/SIM00001#dbase=no")
            motor.Position  # the connection is made here, not in the first timed read
            reads = []
            for _ in range(args.reads):
                t = time.perf_counter()
                motor.Position
                reads.append(time.perf_counter() - t)
            report(f"Position read ({args.reads} reads)", reads)

            stops = {}  # move number -> monotonic time of the subscriber's ON event
            move = [0]

            def on_state(event):
                if not event.err and event.attr_value.value == tango.DevState.ON:
                    stops.setdefault(move[0], time.monotonic())

            sub = motor.subscribe_event("State", tango.EventType.CHANGE_EVENT, on_state)
            time.sleep(0.5)  # the event channel connects after the first value
            to_wire, to_event = [], []
            where = 0.0
            for n in range(1, args.moves + 1):
                box.SimWriteTimes()  # empties the emulator's write log
                move[0] = n
                where = 0.05 if where == 0.0 else 0.0  # 10 steps
                t = time.monotonic()
                motor.Position = where
                wait_rest(motor)
                deadline = time.monotonic() + 5
                while n not in stops and time.monotonic() < deadline:
                    time.sleep(0.001)
                writes = box.SimWriteTimes()
                if len(writes) == 0 or n not in stops:
                    raise SystemExit(f"move {n}: no write or no stop event")
                to_wire.append(writes[0] - t)
                to_event.append(stops[n] - writes[-1])
            motor.unsubscribe_event(sub)
            report("Position write -> first step on the wire", to_wire)
            report("last step on the wire -> State ON event", to_event)
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(timeout=30)


if __name__ == "__main__":
    os.environ.pop("TANGO_HOST", None)
    main()
