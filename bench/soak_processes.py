#!/usr/bin/env python3
"""Soak of several processes on one emulator state folder: two mervanectl loops and a Python
loop move, stop, interrupt and look at motors on two boxes for a while, taking turns as the boxes
allow (a box is open in one process at a time; a refused command is tried again). At the end
every motor's position as the library reports it must equal the steps the emulator decoded, with
no phase error.

    soak_processes.py [--seconds 60] [--state DIR] [--mervanectl PATH]

Prints what each loop did and the final table; exit status 0 when every position matches."""
import argparse
import ctypes
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
import mervane  # noqa: E402
from mervane import _native  # noqa: E402

BUSY = "is in use by"
# name, box, type, address, coefficient (steps per unit), travel (units either way)
MOTORS = [("X", 0, "X (4wires)", 1, 200, 4.0), ("Y", 0, "Y (4wires)", 2, 100, 6.0),
          ("R", 1, "R (synchron)", 3, 10, 90.0), ("P", 1, "X (2wires)", 4, 50, 10.0)]


class Tally:
    def __init__(self, name):
        self.name, self.done, self.busy, self.other = name, 0, 0, []

    def __str__(self):
        return f"{self.name}: {self.done} done, {self.busy} refused as busy" + (
            f", {len(self.other)} other failures: {self.other[:3]}" if self.other else "")


def ctl(options, *args, timeout=60):
    done = subprocess.run([options.mervanectl, "--state", options.state, *args], capture_output=True, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def record(tally, status, err, accepted=(0,)):
    if status in accepted:
        tally.done += 1
        # A user pauses between commands; without it the loop that just had the boxes takes them
        # again before the others wake from their back-off, and one of them may never get a turn.
        time.sleep(random.uniform(0.05, 0.2))
    elif status == 1 and BUSY in err:
        tally.busy += 1
        time.sleep(random.uniform(0.05, 0.3))  # another process has the boxes: a while later
    else:
        tally.other.append((status, err.strip()))


# Past the end of the soak a loop that has not had one turn yet goes on trying this long: the
# boxes are taken in turns by try-and-back-off, which is fair only on average.
GRACE = 30.0


def going_on(end, done):
    now = time.monotonic()
    return now < end or (done == 0 and now < end + GRACE)


def shell_loop(options, tally, names, end, seed):
    """One mervanectl user: moves (some interrupted by a signal, some in the background and then
    stopped), runs of a box, and the motor table."""
    rng = random.Random(seed)
    while going_on(end, tally.done):
        name, box, _, _, _, travel = rng.choice([m for m in MOTORS if m[0] in names])
        target = f"{rng.uniform(-travel, travel):.3f}"
        choice = rng.random()
        if choice < 0.45:
            record(tally, *ctl(options, "move", name, "--", target)[0::2])
        elif choice < 0.6:
            run = subprocess.Popen([options.mervanectl, "--state", options.state, "move", name, "--", target],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            time.sleep(rng.uniform(0.05, 0.4))
            run.send_signal(rng.choice([signal.SIGINT, signal.SIGTERM, signal.SIGHUP]))
            err = run.communicate(timeout=60)[1]
            record(tally, run.returncode, err, accepted=(0, 129, 130, 143))
        elif choice < 0.75:
            status, _, err = ctl(options, "move", name, "--no-wait", "--", target)
            record(tally, status, err)
            if status == 0:
                time.sleep(rng.uniform(0.05, 0.3))
                record(tally, *ctl(options, "stop", name)[0::2])
        elif choice < 0.85:
            others = [m for m in MOTORS if m[1] == box and m[0] in names]
            moves = [f"{m[0]}={rng.uniform(-m[5], m[5]):.3f}" for m in others]
            record(tally, *ctl(options, "run", str(box), *moves)[0::2])
        else:
            record(tally, *ctl(options, "motors")[0::2])


def python_loop(options, tally, end, seed):
    """A Python user in another process: opens the library (when the boxes are free), moves its
    motors by name, stops one on its ramp, closes."""
    code = f"""
import random, sys, time
sys.path.insert(0, {os.path.join(HERE, '..', 'python')!r})
import mervane
rng = random.Random({seed})
end = time.monotonic() + {max(0.0, end - time.monotonic())}
done = busy = 0
while time.monotonic() < end or (done == 0 and time.monotonic() < end + {GRACE}):
    try:
        lib = mervane.open(simulate=True, state_dir={options.state!r})
    except mervane.Error as error:
        if "is in use by" not in str(error):
            raise
        busy += 1
        time.sleep(rng.uniform(0.05, 0.3))
        continue
    with lib:
        for _ in range(rng.randint(1, 3)):
            name, travel = rng.choice([("P", 10.0), ("X", 4.0), ("R", 90.0)])
            motor = lib.motor(name)
            if rng.random() < 0.3:
                motor.move_to(rng.uniform(-travel, travel), wait=False)
                time.sleep(rng.uniform(0.02, 0.2))
                motor.stop(wait=True, timeout=20)
            else:
                motor.move_to(rng.uniform(-travel, travel), timeout=60)
            done += 1
    time.sleep(rng.uniform(0.2, 0.6))  # the boxes are free for the others meanwhile
print(done, busy)
"""
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    if run.returncode != 0:
        tally.other.append((run.returncode, run.stderr.strip()[-500:]))
        return
    done, busy = map(int, run.stdout.split())
    tally.done, tally.busy = done, busy


def final_check(options):
    """Every motor's position from the library next to the emulator's decoded steps."""
    rows, good = [], True
    with mervane.open(simulate=True, state_dir=options.state) as lib:
        emulator = ctypes.CDLL(_native.find_emulator(lib.path))
        emulator.boxsim_position.restype = ctypes.c_longlong
        emulator.boxsim_position.argtypes = [ctypes.c_char_p, ctypes.c_int]
        emulator.boxsim_errors.restype = ctypes.c_longlong
        emulator.boxsim_errors.argtypes = [ctypes.c_char_p, ctypes.c_int]
        for motor in lib.motors:
            info = motor.info
            serial = lib.boxes[motor.box].serial.encode()
            steps = round(lib._c.SM_GetRealPosition(motor.box, motor.channel) * info.coefficient)
            decoded = emulator.boxsim_position(serial, info.address)
            errors = emulator.boxsim_errors(serial, info.address)
            ok = steps == decoded and errors == 0 and not motor.running
            good = good and ok
            rows.append(f"  {motor.name:<3} {motor.position:>10.3f} {steps:>8} {decoded:>8} {errors:>6}  "
                        f"{'ok' if ok else 'MISMATCH'}")
    return good, rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--state", default=None)
    parser.add_argument("--mervanectl", default=os.environ.get(
        "MERVANECTL", os.path.join(HERE, "..", "build", "tools", "mervanectl")))
    parser.add_argument("--seed", type=int, default=int(time.time()))
    options = parser.parse_args()
    scratch = None
    if options.state is None:
        scratch = tempfile.TemporaryDirectory(prefix="mervane-soak-")
        options.state = scratch.name
    for name, box, type_name, address, coefficient, _ in MOTORS:
        status, _, err = ctl(options, "setup", str(box), "--name", name, "--type", type_name, "--address",
                             str(address), "--coef", str(coefficient), "--min", "1", "--max", "5", "--accel", "10")
        if status != 0:
            print(f"setup of {name} failed: {err}", file=sys.stderr)
            return 1
    ctl(options, "motors")  # wires the emulator's connectors to the motors
    end = time.monotonic() + options.seconds
    tallies = [Tally("mervanectl 1"), Tally("mervanectl 2"), Tally("python")]
    threads = [threading.Thread(target=shell_loop, args=(options, tallies[0], "XYR", end, options.seed)),
               threading.Thread(target=shell_loop, args=(options, tallies[1], "XYRP", end, options.seed + 1)),
               threading.Thread(target=python_loop, args=(options, tallies[2], end, options.seed + 2))]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.monotonic() - started
    good, rows = final_check(options)
    print(f"soak of {took:.0f} s on {options.state} (seed {options.seed}):")
    for tally in tallies:
        print("  " + str(tally))
    print("  motor   position  library  emulator errors")
    print("\n".join(rows))
    failures = sum(len(t.other) for t in tallies)
    print("every position equals the emulator's" if good else "positions differ from the emulator's")
    return 0 if good and failures == 0 and all(t.done > 0 for t in tallies) else 1


if __name__ == "__main__":
    sys.exit(main())
