#!/usr/bin/env python3
"""The Windows simulator under Wine: --help works, a pseudo-terminal is refused with a clear
message, and with --device COM5 it serves the port. COM5 of the build's prefix is wired to a
pseudo-terminal whose other end this script holds, playing the host with the protocol's own
example frames.

Usage: serves_a_com_port.py BUILD_DIR SIMULATOR

The Wine server takes the pseudo-terminal as its controlling terminal, and a hang-up of it would
end the server with SIGHUP: the server is stopped before the terminal is closed.
"""
import os
import select
import signal
import subprocess
import sys
import time
import tty

READ_PV_1 = bytes.fromhex("04 30 30 31 31 50 56 05")  # read, station 1, PV
REPLY_PV_25_5 = bytes.fromhex("02 50 56 30 30 32 35 2E 35 03 19")  # PV, field 0025.5
WRITE_PN_1 = bytes.fromhex("04 30 30 31 31 02 50 4E 30 30 30 30 32 35 03 1A")  # PN 25
ACK = bytes([0x06])

failures = []


def check(condition, what, detail=""):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)
        if detail:
            print(detail)


def read_reply(master, size, seconds):
    reply = b""
    deadline = time.monotonic() + seconds
    while len(reply) < size and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            reply += os.read(master, 64)
    return reply


def read_lines_until(stream, wanted, seconds):
    """Lines of the child's stdout until one equals `wanted` or the time runs out."""
    lines = []
    buffered = b""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], 0.1)
        if not ready:
            continue
        chunk = os.read(stream.fileno(), 256)
        if not chunk:
            break
        buffered += chunk
        while b"\n" in buffered:
            line, buffered = buffered.split(b"\n", 1)
            lines.append(line.decode(errors="replace").rstrip("\r"))
            if lines[-1] == wanted:
                return lines
    return lines


def main():
    build, simulator = os.path.abspath(sys.argv[1]), sys.argv[2]
    wine_run = os.path.join(build, "wine-run.sh")
    prefix = os.path.join(build, "wineprefix")
    env = dict(os.environ, WINEPREFIX=prefix)

    done = subprocess.run([wine_run, simulator, "--help"], env=env, capture_output=True,
                          timeout=120)
    out = done.stdout.decode(errors="replace")
    check(done.returncode == 0 and "--device" in out and "PORT=" in out,
          "--help exits 0 and describes --device and PORT=", out)

    done = subprocess.run([wine_run, simulator, "--station", "1"], env=env, capture_output=True,
                          timeout=60)
    err = done.stderr.decode(errors="replace")
    check(done.returncode == 1 and "needs Linux" in err and "--device" in err,
          "a new pseudo-terminal is refused: it needs Linux, --device serves a port", err)

    master, slave = os.openpty()  # the slave stays open here, so the line never hangs up
    tty.setraw(slave)  # no echo before the simulator sets the line up itself
    link = os.path.join(prefix, "dosdevices", "com5")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    errors_path = os.path.join(build, "simulator-com5.err")
    sim = None
    try:
        with open(errors_path, "wb") as errors:
            sim = subprocess.Popen([wine_run, simulator, "--device", "COM5", "--station", "1",
                                    "--frozen", "--set", "1:PV=25.5", "--reply-delay", "0"],
                                   env=env, stdout=subprocess.PIPE, stderr=errors)
            lines = read_lines_until(sim.stdout, "READY", 60)
            check(lines == ["PORT=COM5", "READY"], "PORT=COM5 then READY", repr(lines))

            os.write(master, READ_PV_1)
            reply = read_reply(master, len(REPLY_PV_25_5), 5)
            check(reply == REPLY_PV_25_5, "a read of PV is answered with its data reply",
                  reply.hex(" "))
            os.write(master, WRITE_PN_1)
            reply = read_reply(master, 1, 5)
            check(reply == ACK, "a write of PN is answered ACK", reply.hex(" "))

            # Wine turns SIGINT into the console's Ctrl-C; the counts follow.
            sim.send_signal(signal.SIGINT)
            try:
                status = sim.wait(timeout=15)
            except subprocess.TimeoutExpired:
                status = None
        with open(errors_path, "rb") as errors:
            err = errors.read().decode(errors="replace")
        check(status == 0 and "requests: station 1: 2" in err and "ACK 1" in err,
              "Ctrl-C ends it with status 0 and its counts", f"status {status}\n{err}")
    finally:
        subprocess.run(["wineserver", "-k"], env=env, check=False)
        subprocess.run(["wineserver", "-w"], env=env, check=False)
        if sim is not None and sim.poll() is None:
            sim.kill()
            sim.wait()
        os.unlink(link)
        os.close(slave)
        os.close(master)
        if os.path.exists(errors_path):
            os.unlink(errors_path)
        # A fresh server for the tests that follow, started here with no output to hold: the
        # first program of a server session leaves helpers running that keep its output open.
        subprocess.run([wine_run, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
