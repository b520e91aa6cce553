#!/usr/bin/python3
"""Lines through a serial device server (the real ser2net, listening on 127.0.0.1 only) and
through a long stable link, with qm4720sim on pseudo-terminals at the kernel's defaults.

    device_server_client.py CASE --sim QM4720SIM --ctl QM4720CTL --service QM4720D
                            --module MODULE [--ser2net SER2NET]

CASE is one of:
    ctl          qm4720ctl reads PV through tcp:// and rfc2217://; with rfc2217:// the
                 simulator sees the baud and stop bits asked for (the device server set its
                 end of the line to them)
    service      qm4720d polls through tcp://; ser2net killed is a lost line, ser2net started
                 again a reopened one; the bridge's round trip is in /metrics
    silent-server  qm4720d on rfc2217:// to a server that takes the connection and never
                 answers: the line is lost for the settings it did not take, and its worker is
                 never reported stuck by /healthz while it waits for the server
    stable-name  qm4720d polls through a link of more than 31 characters; the simulator
                 replaced by another on a new pseudo-terminal and the link pointed at it: the
                 line comes back, and the log names each device it opened
Every process is started here, tracked by its process id and stopped.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import socket
import tempfile
import threading
import time

from server_under_test import Checks, free_port, wait_for_port
from service_http import request, wait_until

SIM_ARGS = ["--frozen", "--station", "1", "--set", "1:PV=21.5"]


class Processes:
    """Every process of a case, by name; stopped in the reverse order of their start."""

    def __init__(self):
        self.running = {}
        self.dir = tempfile.TemporaryDirectory(prefix="qm-bridge-")

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def start_sim(self, name, sim, *more):
        """A simulator on a new pseudo-terminal; its device path."""
        log = open(self.path(name + ".log"), "w")
        process = subprocess.Popen([sim, *SIM_ARGS, *more], stdout=subprocess.PIPE, stderr=log,
                                   text=True)
        port = None
        for line in process.stdout:
            if line.startswith("PORT="):
                port = line.strip()[len("PORT="):]
            if line.strip() == "READY":
                break
        if port is None:
            process.kill()
            process.wait()
            raise SystemExit("qm4720sim did not start")
        self.running[name] = process
        return port

    def start(self, name, command):
        log = open(self.path(name + ".log"), "w")
        self.running[name] = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT)
        return self.running[name]

    def stop(self, name, sig=signal.SIGTERM):
        """Stops `name` by its process id; its exit status."""
        process = self.running.pop(name)
        if process.poll() is None:
            process.send_signal(sig)
        try:
            return process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            return process.wait()

    def log(self, name):
        with open(self.path(name + ".log")) as f:
            return f.read()

    def close(self):
        for name in reversed(list(self.running)):
            self.stop(name)
        self.dir.cleanup()


def start_ser2net(processes, ser2net, connections):
    """ser2net in the foreground with `connections` [(accepter, device)]; waits until each
    accepter listens."""
    yaml = ""
    for i, (accepter, device) in enumerate(connections):
        yaml += (f"connection: &line{i}\n  accepter: {accepter}\n"
                 f"  connector: serialdev,{device},9600n81,local\n")
    config = processes.path("ser2net.yaml")
    with open(config, "w") as f:
        f.write(yaml)
    process = processes.start("ser2net", [ser2net, "-n", "-d", "-c", config,
                                          "-P", processes.path("ser2net.pid")])
    for accepter, _ in connections:
        port = int(accepter.rsplit(",", 1)[1])
        if not wait_for_port(port, process):
            raise SystemExit("ser2net did not listen: " + processes.log("ser2net"))


def ctl_read(ctl, module, port, *more):
    run = subprocess.run([ctl, "read", "--module", module, "--port", port, "--station", "1",
                          "--format", "csv", *more, "PV"],
                         capture_output=True, text=True, timeout=30)
    rows = run.stdout.strip().splitlines()
    value = rows[-1].split(",")[4] if run.returncode == 0 and len(rows) == 2 else None
    return value, run.stderr.strip()


def case_ctl(args, processes, checks):
    raw, telnet = free_port(), free_port()
    raw_sim = processes.start_sim("sim-raw", args.sim)
    telnet_sim = processes.start_sim("sim-telnet", args.sim, "-v")
    start_ser2net(processes, args.ser2net, [(f"tcp,127.0.0.1,{raw}", raw_sim),
                                            (f"telnet(rfc2217),tcp,127.0.0.1,{telnet}",
                                             telnet_sim)])
    value, error = ctl_read(args.ctl, args.module, f"tcp://127.0.0.1:{raw}")
    checks.check("qm4720ctl read through tcp:// reads PV 21.5", value == "21.5", error)
    value, error = ctl_read(args.ctl, args.module, f"rfc2217://127.0.0.1:{telnet}",
                            "--baud", "4800", "--stop-bits", "2")
    checks.check("qm4720ctl read through rfc2217:// at 4800 baud reads PV 21.5", value == "21.5",
                 error)
    processes.stop("sim-telnet")
    # A pseudo-terminal keeps the baud and the stop bits it is given (Linux holds it at 8 data
    # bits without parity whatever it is asked).
    settings = re.findall(r"the other end set the line to (\S+)", processes.log("sim-telnet"))
    checks.check("the simulator saw the line set to 4800 baud, 2 stop bits by RFC 2217",
                 settings[-1:] == ["4800,8N2"], settings)
    value, error = ctl_read(args.ctl, args.module, f"tcp://127.0.0.1:{free_port()}")
    checks.check("no server at the port: qm4720ctl says it cannot connect",
                 value is None and "cannot connect" in error and "refused" in error, error)
    for port in ("tcp://127.0.0.1", "udp://127.0.0.1:5000", "tcp://127.0.0.1:70000"):
        run = subprocess.run([args.ctl, "read", "--module", args.module, "--port", port,
                              "--station", "1", "PV"], capture_output=True, text=True)
        checks.check(f"--port {port} refused as a usage error (2)",
                     run.returncode == 2 and port in run.stderr, (run.returncode, run.stderr))


def metric(http, name, line="a"):
    """The sample of `name` for line `line`, without other labels; None when there is none."""
    status, _, text = request(f"http://127.0.0.1:{http}/metrics")
    if status != 200:
        return None
    for row in text.splitlines():
        match = re.match(name + r'\{line="' + line + r'"([^}]*)\} (\S+)$', row)
        if match:
            return float(match.group(2)) if not match.group(1) else (match.group(1),
                                                                     float(match.group(2)))
    return None


def pv(http):
    status, _, text = request(f"http://127.0.0.1:{http}/metrics")
    match = re.search(r'qm4720_register_value\{line="a",station="1",register="PV"[^}]*\} (\S+)',
                      text) if status == 200 else None
    return float(match.group(1)) if match else None


def line_state(http, state):
    status, _, text = request(f"http://127.0.0.1:{http}/metrics")
    return status == 200 and f'qm4720_line_state{{line="a",state="{state}"}} 1' in text


def start_service(args, processes, port, http):
    config = processes.path("qm4720d.toml")
    with open(config, "w") as f:
        f.write(f'[[line]]\nname = "a"\nport = "{port}"\nreply_timeout_ms = 200\n'
                '    [[line.meter]]\n    station = 1\n'
                '        [[line.meter.poll]]\n        registers = ["PV"]\n'
                '        interval_s = 0.2\n'
                f'\n[http]\nport = {http}\n')
    service = processes.start("qm4720d", [args.service, "--config", config,
                                          "--module", args.module])
    if not wait_for_port(http, service):
        raise SystemExit("qm4720d did not start: " + processes.log("qm4720d"))


def case_service(args, processes, checks):
    raw, http = free_port(), free_port()
    device = processes.start_sim("sim", args.sim)
    connection = [(f"tcp,127.0.0.1,{raw}", device)]
    start_ser2net(processes, args.ser2net, connection)
    start_service(args, processes, f"tcp://127.0.0.1:{raw}", http)
    checks.check("qm4720d polls PV 21.5 through the device server",
                 wait_until(lambda: pv(http) == 21.5, 10), pv(http))
    round_trip = wait_until(lambda: metric(http, "qm4720_line_bridge_round_trip_seconds"), 5)
    checks.check("/metrics has the bridge's round trip, between 0 and the reply timeout",
                 round_trip is not None and 0 < round_trip < 0.2, round_trip)
    checks.check("/metrics has the bridge's connect time",
                 metric(http, "qm4720_line_bridge_connect_seconds") is not None)

    processes.stop("ser2net", signal.SIGKILL)
    checks.check("ser2net killed: the line is lost within 3 s",
                 wait_until(lambda: line_state(http, "lost"), 3), processes.log("qm4720d"))
    checks.check("while it is away, PV is not served as good",
                 wait_until(lambda: pv(http) is None, 3), pv(http))
    time.sleep(1.5)  # a reopen attempt or two fails meanwhile
    checks.check("while it is away, the line stays lost", line_state(http, "lost"))
    start_ser2net(processes, args.ser2net, connection)
    # The reopen backoff doubles from 1 s: the next attempt is at most 4 s away.
    checks.check("ser2net back: the line is up and PV is polled again within 8 s",
                 wait_until(lambda: line_state(http, "up") and pv(http) == 21.5, 8),
                 processes.log("qm4720d"))
    log = processes.log("qm4720d")
    checks.check("the log says the server closed the connection, and why it could not be "
                 "reopened", "lost (the device server closed the connection)" in log
                 and f"cannot open tcp://127.0.0.1:{raw}: cannot connect: Connection refused"
                 in log, log)


def case_silent_server(args, processes, checks):
    http = free_port()
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    held = []

    def accept():
        while True:
            try:
                held.append(listener.accept()[0])
            except OSError:
                return

    threading.Thread(target=accept, daemon=True).start()
    try:
        start_service(args, processes, f"rfc2217://127.0.0.1:{listener.getsockname()[1]}", http)
        seen = set()
        deadline = time.monotonic() + 6
        while time.monotonic() < deadline:
            status, _, text = request(f"http://127.0.0.1:{http}/healthz")
            seen.update(p.get("problem") for p in json.loads(text).get("problems", []))
            time.sleep(0.2)
        checks.check("the server was connected to", len(held) >= 1, len(held))
        checks.check("/healthz says the line is lost, never that its worker is stuck",
                     "line lost" in seen and "worker stuck" not in seen, sorted(seen))
        log = processes.log("qm4720d")
        checks.check("the log says the server did not take the line's settings",
                     "the server did not take the line's settings" in log, log)
    finally:
        listener.close()
        for connection in held:
            connection.close()


def case_stable_name(args, processes, checks):
    http = free_port()
    folder = processes.path("serial/by-id")
    os.makedirs(folder)
    link = os.path.join(folder, "usb-QM_Bench_RS485_Adapter_A10KX7Q2-if00-port0")
    first = processes.start_sim("sim", args.sim)
    os.symlink(first, link)
    start_service(args, processes, link, http)
    checks.check("qm4720d polls PV 21.5 through a link of %d characters" % len(link),
                 wait_until(lambda: pv(http) == 21.5, 10), processes.log("qm4720d"))

    processes.stop("sim", signal.SIGKILL)
    os.unlink(link)  # as udev takes an unplugged adapter's link away
    checks.check("the simulator gone: the line is lost",
                 wait_until(lambda: line_state(http, "lost"), 5), processes.log("qm4720d"))
    second = processes.start_sim("sim", args.sim, "--set", "1:PV=33.25")
    os.symlink(second, link)
    checks.check("another simulator on a new pseudo-terminal behind the same link: PV is polled "
                 "from it within 8 s", wait_until(lambda: pv(http) == 33.25, 8),
                 processes.log("qm4720d"))
    log = processes.log("qm4720d")
    opened = re.findall(re.escape(link) + r" is (\S+)", log)
    checks.check("the log names the device each open found",
                 opened[:1] == [first] and opened[-1:] == [second], (first, second, opened))


CASES = {"ctl": case_ctl, "service": case_service, "silent-server": case_silent_server,
         "stable-name": case_stable_name}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("case", choices=sorted(CASES))
    for option in ("--sim", "--ctl", "--service", "--module"):
        parser.add_argument(option, required=True)
    parser.add_argument("--ser2net", default="/usr/sbin/ser2net")
    args = parser.parse_args()
    checks = Checks()
    processes = Processes()
    try:
        CASES[args.case](args, processes, checks)
    finally:
        status = processes.running.get("qm4720d")
        status = processes.stop("qm4720d") if status is not None else 0
        processes.close()
    checks.check("qm4720d (when started) stopped cleanly on SIGTERM", status == 0, status)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
