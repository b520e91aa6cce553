"""The server that a client test talks to, started from the test's command line.

    CLIENT_TEST --facts FACTS.json -- SERVER_COMMAND [ARGUMENTS...]

Each {name} in the server's arguments that names a listener of the facts file is replaced by a
free port on 127.0.0.1; the test waits until every listener accepts a connection, runs its checks
against what the facts file says the server holds, and stops the server by its process id
(SIGTERM; it must exit 0). The facts file says, with register i being holding registers 2i and
2i+1:
    listeners:      {name: "high" | "low" | "int16"}, the word order of each float32 listener,
                    or "int16" for one that serves one signed 16-bit register a value
    max_clients, idle_timeout_s: the bounds the server was started with
    settle_s:       (optional) how long the server needs after it listens before the reads
                    hold (the first polls of a service)
    reads:          [{unit, register, values}] that read as good floats
    exceptions:     [{what, unit, register, count, code}] reads answered with exception `code`
    write:          {unit, register, value}: a write that the meter acknowledges, read back after
    write_refusals: [{what, unit, register, value, code}]
    int16:          (optional) {listener, reads, exceptions, write, write_refusals} as above for
                    the int16 listener, with register i being register i, whole numbers for
                    values, and the write's `word` written and read back as `value` x 10^scale
Any of these entries may name its "listener"; a read without one is made on every float32
listener, the others on the first high-word-first listener.
"""
import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import time


class Checks:
    """Collects the result of every check and says which failed; exit status 1 if any did."""

    def __init__(self):
        self.failed = []
        self.count = 0

    def check(self, what, ok, detail=""):
        self.count += 1
        print(("ok      " if ok else "FAILED  ") + what + ("" if ok else ": " + str(detail)),
              flush=True)
        if not ok:
            self.failed.append(what)
        return ok

    def finish(self):
        print(f"{self.count - len(self.failed)} of {self.count} checks passed")
        return 1 if self.failed else 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def connection_closed(sock, seconds):
    """True when the peer closes `sock` within `seconds` (EOF or reset)."""
    sock.settimeout(seconds)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


class ServerUnderTest:
    def __init__(self, description):
        parser = argparse.ArgumentParser(description=description)
        parser.add_argument("--facts", required=True, help="what the server holds (JSON)")
        parser.add_argument("server", nargs=argparse.REMAINDER,
                            help="-- the server's command; {listener} is replaced by its port")
        args = parser.parse_args()
        command = args.server[1:] if args.server[:1] == ["--"] else args.server
        if not command:
            parser.error("the server's command is missing after --")
        with open(args.facts) as f:
            self.facts = json.load(f)
        self.ports = {name: free_port() for name in self.facts["listeners"]}
        self.command = [a.format(**self.ports) for a in command]
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        for name, port in self.ports.items():
            if not wait_for_port(port, self.process):
                self.stop()
                sys.exit(f"the server did not listen on port {port} ({name}): {self.output}")
        time.sleep(self.facts.get("settle_s", 0))
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
        try:
            self.output, _ = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(self.process.pid, signal.SIGKILL)
            self.output, _ = self.process.communicate()
        self.status = self.process.returncode
        self.process = None

    def served_by(self, entry, name):
        """True when `entry` of the facts is to be tried on float32 listener `name`."""
        return entry.get("listener", name) == name and self.facts["listeners"][name] != "int16"

    def port_of(self, entry):
        """The port and word order of the listener that `entry` of the facts names (by default
        the first high-word-first one)."""
        name = entry.get("listener")
        if name is None:
            name = next(n for n, order in self.facts["listeners"].items() if order == "high")
        return self.ports[name], self.facts["listeners"][name]

    def listener(self, order):
        """The port of a listener with word order `order`."""
        for name, value in self.facts["listeners"].items():
            if value == order:
                return self.ports[name]
        return None
