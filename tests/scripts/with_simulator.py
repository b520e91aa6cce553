#!/usr/bin/python3
"""Runs a command against a simulated meter on a new pseudo-terminal.

    with_simulator.py [--expect TEXT] SIMULATOR [SIMULATOR ARGUMENTS...] -- COMMAND [ARGUMENTS...]

Starts the simulator, waits for its PORT= and READY lines, runs COMMAND with every "{port}" in its
arguments replaced by the simulator's device, then stops the simulator by its process id. The exit
status is the command's; 1 when the simulator does not start, or when --expect is given and the
command's output (which is passed on) does not contain TEXT.
"""
import subprocess
import sys


def main(argv):
    if "--" not in argv:
        print(__doc__, file=sys.stderr)
        return 2
    expect = None
    if argv[:1] == ["--expect"]:
        expect, argv = argv[1], argv[2:]
    split = argv.index("--")
    simulator, command = argv[:split], argv[split + 1:]
    sim = subprocess.Popen(simulator, stdout=subprocess.PIPE, text=True)
    try:
        port = None
        for line in sim.stdout:
            line = line.strip()
            if line.startswith("PORT="):
                port = line[len("PORT="):]
            if line == "READY":
                break
        if port is None:
            print("the simulator did not start", file=sys.stderr)
            return 1
        command = [arg.replace("{port}", port) for arg in command]
        if expect is None:
            return subprocess.call(command, timeout=60)
        run = subprocess.run(command, stdout=subprocess.PIPE, text=True, timeout=60)
        sys.stdout.write(run.stdout)
        if run.returncode == 0 and expect not in run.stdout:
            print(f"expected '{expect}' in the output of {' '.join(command)}", file=sys.stderr)
            return 1
        return run.returncode
    finally:
        sim.terminate()
        try:
            sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
