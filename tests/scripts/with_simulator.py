#!/usr/bin/python3
"""Runs a command against a simulated meter on a new pseudo-terminal.

    with_simulator.py SIMULATOR [SIMULATOR ARGUMENTS...] -- COMMAND [ARGUMENTS...]

Starts the simulator, waits for its PORT= and READY lines, runs COMMAND with every "{port}" in its
arguments replaced by the simulator's device, then stops the simulator by its process id. The exit
status is the command's; 1 when the simulator does not start.
"""
import subprocess
import sys


def main(argv):
    if "--" not in argv:
        print(__doc__, file=sys.stderr)
        return 2
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
        return subprocess.call([arg.replace("{port}", port) for arg in command], timeout=60)
    finally:
        sim.terminate()
        try:
            sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
