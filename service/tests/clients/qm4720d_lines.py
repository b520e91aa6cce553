#!/usr/bin/python3
"""qm4720d serving two simulated lines, for the real Modbus clients' tests.

    qm4720d_lines.py --sim QM4720SIM --service QM4720D --module MODULE
                     --high-port PORT --low-port PORT [--int16-port PORT]

Line "a" (listener on --high-port, high word first): station 1 (default model) and station 12
(QM4720N) on one qm4720sim. Line "b" (listener on --low-port, low word first): station 3
(QM4720N), station 7 (default model) and station 0 (default model: PV 99.95 and SP 48.815,
floats that only their shortest decimal says as sent, and PN, an INT, writable) on a second
qm4720sim, and station 9, which is configured but not simulated: a silent meter, asked again
every second (its line's silent_retry_s). qm4720d's file calls station 7 a QM4720N, so that a
write of a fraction to RT, a FLOAT in that model's table and a whole number in the simulated one,
passes the driver and is refused by the meter. With --int16-port, line "c" (listener on it,
format int16) has station 5 (default model: PV and OP at the FLOAT's default scale 1, SP at
scale 2, writable, PN an INT at 0) and station 6 (QM4720N, PV 99999: past 16 bits at scale 1).
The simulators are frozen with known values, so that every read has one right answer
(tests/clients/qm4720d_facts.json).

Run as a program it stays until SIGTERM, which it passes on to qm4720d; then it stops the
simulators and exits with qm4720d's status. Imported, ServiceWithLines gives a test the
simulators to kill and start again, and `extra` tables ([mqtt]) for the end of the file.
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

LINES = {
    "a": ["--station", "1", "--station", "12:QM4720N", "--set", "1:PV=21.5", "--set",
          "1:OP=-3.25", "--set", "1:SP=100.25", "--set", "12:PV=7.125", "--set", "12:SP=0.5"],
    "b": ["--station", "3:QM4720N", "--station", "7", "--set", "3:PV=-12.75", "--set",
          "3:SP=60", "--station", "0", "--set", "0:PV=99.95", "--set", "0:SP=48.815", "--set",
          "0:PN=7"],
}

INT16_LINE = ["--station", "5", "--station", "6:QM4720N", "--set", "5:PV=21.5", "--set",
              "5:OP=-3.25", "--set", "5:SP=12.34", "--set", "5:PN=-7", "--set", "6:PV=99999"]

INT16_CONFIG = """
[[line]]
name = "c"
port = "{link_c}"
reply_timeout_ms = 200
    [line.modbus]
    port = {int16_port}
    format = "int16"
    [[line.meter]]
    station = 5
    writable = ["SP"]
        [[line.meter.poll]]
        registers = ["PV", "OP", "SP", "PN"]
        interval_s = 0.2
        [[line.meter.register]]
        name = "SP"
        scale = 2
    [[line.meter]]
    station = 6
    model = "QM4720N"
        [[line.meter.poll]]
        registers = ["PV"]
        interval_s = 0.2
"""

CONFIG = """\
[[line]]
name = "a"
port = "{link_a}"
reply_timeout_ms = 200
    [line.modbus]
    port = {high_port}
    word_order = "high-first"
    max_clients = 3
    idle_timeout_s = 2
    [[line.meter]]
    station = 1
    writable = ["SP"]
        [[line.meter.poll]]
        registers = ["PV", "OP", "SP"]
        interval_s = 0.2
    [[line.meter]]
    station = 12
    model = "QM4720N"
        [[line.meter.poll]]
        registers = ["PV", "OP", "ER", "SV"]
        interval_s = 0.2

[[line]]
name = "b"
port = "{link_b}"
reply_timeout_ms = 200
silent_retry_s = 1
silent_retry_max_s = 1
    [line.modbus]
    port = {low_port}
    word_order = "low-first"
    [[line.meter]]
    station = 3
    model = "QM4720N"
    writable = ["SP"]
        [[line.meter.poll]]
        registers = ["PV", "SP"]
        interval_s = 0.5
    [[line.meter]]
    station = 7
    model = "QM4720N"
    writable = ["RT"]
    [[line.meter]]
    station = 0
    writable = ["SP", "PN"]
        [[line.meter.poll]]
        registers = ["PV", "SP", "PN"]
        interval_s = 1
    [[line.meter]]
    station = 9
    writable = ["SP"]
        [[line.meter.poll]]
        registers = ["PV"]
        interval_s = 1
"""


def service_arguments(doc, *more):
    """The --sim, --service and --module arguments that every client of ServiceWithLines takes,
    and the `more` options of one client, all required."""
    parser = argparse.ArgumentParser(description=doc,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--sim", "--service", "--module", *more):
        parser.add_argument(option, required=True)
    return parser.parse_args()


class ServiceWithLines:
    """The two simulators and qm4720d over them, each tracked by its process id."""

    def __init__(self, sim, service, module, high_port, low_port, output=None, extra_config="",
                 extra_sims=None, lines=None, int16_port=None):
        """`extra_config` is appended to the file: e.g. [history] and [http] tables, where
        {dir} names the temporary folder of this run and {link_NAME} the link of the simulator
        that `extra_sims` ({NAME: its arguments}) adds beside those of LINES. `lines` replaces
        the two lines of LINES and CONFIG by (simulators, the file's [[line]] tables) of a test's
        own, its simulators' links named by {link_NAME} there. `int16_port` adds line "c"."""
        self.sim = sim
        sims, config = lines or (LINES, CONFIG)
        if int16_port is not None:
            sims = {**sims, "c": INT16_LINE}
            config += INT16_CONFIG.replace("{int16_port}", str(int16_port))
        self.sim_args = {**sims, **(extra_sims or {})}
        # Short: the driver takes port names of 31 characters at most.
        self.dir = tempfile.TemporaryDirectory(prefix="qm-", dir="/tmp")
        self.links = {name: os.path.join(self.dir.name, "line-" + name) for name in self.sim_args}
        self.sims = {}
        self.config = os.path.join(self.dir.name, "qm4720d.toml")
        # Only the owner reads it, as the service asks of a file that holds a token.
        with open(os.open(self.config, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(config.format(high_port=high_port, low_port=low_port,
                                  **{"link_" + name: link for name, link in self.links.items()}))
            extra_config = extra_config.replace("{dir}", self.dir.name)
            for name, link in self.links.items():
                extra_config = extra_config.replace("{link_" + name + "}", link)
            f.write(extra_config)
        try:
            for name in self.sim_args:
                self.start_sim(name)
        except RuntimeError:
            self.service = None
            self.stop()
            raise
        self.service = subprocess.Popen([service, "--config", self.config, "--module", module],
                                        stdout=output, stderr=subprocess.STDOUT)

    def start_sim(self, name):
        """Starts line `name`'s simulator on its link; returns once it says READY."""
        process = subprocess.Popen([self.sim, "--frozen", "--link", self.links[name]]
                                   + self.sim_args[name], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        for line in process.stdout:
            if line.strip() == "READY":
                break
        else:
            process.wait()
            raise RuntimeError(f"qm4720sim of line {name} did not start")
        self.sims[name] = process

    def kill_sim(self, name):
        """Kills line `name`'s simulator and takes its link away, as a device that is unplugged
        takes its /dev/serial/by-id link: left behind, the link would name a pseudo-terminal
        number that the next pseudo-terminal of any program on the machine is given."""
        process = self.sims.pop(name)
        process.kill()
        process.wait()
        try:
            os.unlink(self.links[name])
        except FileNotFoundError:
            pass

    def stop(self):
        """Stops qm4720d by SIGTERM, then the simulators; qm4720d's exit status."""
        status = None
        if self.service is not None:
            if self.service.poll() is None:
                self.service.send_signal(signal.SIGTERM)
            try:
                status = self.service.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.service.kill()
                status = self.service.wait()
            self.service = None
        for name in list(self.sims):
            process = self.sims.pop(name)
            process.terminate()
            process.wait()
        self.dir.cleanup()
        return status


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--sim", "--service", "--module"):
        parser.add_argument(option, required=True)
    parser.add_argument("--high-port", type=int, required=True)
    parser.add_argument("--low-port", type=int, required=True)
    parser.add_argument("--int16-port", type=int)
    args = parser.parse_args()
    # SIGTERM is taken as a request, so that the simulators are stopped after the service. A
    # handler, not a blocked mask: the children must not inherit the block.
    asked = []
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: asked.append(True))
    lines = ServiceWithLines(args.sim, args.service, args.module, args.high_port, args.low_port,
                             int16_port=args.int16_port)
    while lines.service.poll() is None and not asked:
        time.sleep(0.1)
    status = lines.stop()
    return 1 if status is None else status


if __name__ == "__main__":
    sys.exit(main())
