#!/usr/bin/env python3
"""The Windows module end to end under Wine, through the platform's own machinery.

regsvr32 registers the module built for Windows; qm4720ctl.exe creates the driver by its
programmatic identifier (CLSIDFromProgID, CoCreateInstance in process, no module path) and talks
to instruments through Wine's implementation of the Windows serial calls: COM5, COM6 and COM15
of the throw-away prefix lead to pseudo-terminals whose other ends are served by the native
instrument simulator. Finally a small Windows program shows that the module is unloaded by
CoFreeUnusedLibraries once the host has released what it created.

Prints one line per check ("ok   ..." or "FAIL ..."), grouped in stages; the exit status is 0
only when every check of every stage passed, and the last lines name the stages that failed.

Usage: wine_end_to_end.py --wine-run WINE_RUN --prefix WINEPREFIX --module QM4720_DLL
           --ctl QM4720CTL_EXE --probe ACTIVATION_PROBE_EXE --simulator QM4720SIM --work DIR

Where Wine's serial emulation on a pseudo-terminal differs from Windows (measured with Wine 8):
- PurgeComm with PURGE_TXCLEAR is tcflush(TCOFLUSH), and on a pseudo-terminal that discards the
  bytes written to it that the other side's line discipline has not taken in yet. The driver
  purges the transmit queue right after each completed synchronous write; on Windows the queue is
  then empty, since the write completed when its bytes had left the port driver's queue. Under Wine a request frame
  therefore vanishes now and then (measured: 1 in 300 on an idle machine, up to 1 in 12 on a busy
  one) and that exchange ends as a timeout. The driver is right to purge and is not changed: a
  run whose checks fail while the simulator's trace shows that it received fewer requests than
  the run sent is repeated (at most five runs in all), and each repetition is printed. Runs are
  kept to a few exchanges each for that reason.
- The exclusive open is not enforced (a second CreateFileA of a COM port succeeds), so the suite
  does not check that a port already open elsewhere is refused ("打开串口错误!" on Windows).
- Any baud rate is accepted and a non-standard one reads back as 38400, and a pseudo-terminal
  keeps 8 data bits and no parity whatever is asked: the suite runs at 9600 baud, 8N1, and leaves
  rates and framing to the serial port tests.
- Modem-control calls fail with error 50 on a pseudo-terminal; the driver makes none.
- The Wine server opens the COM device, and the pseudo-terminal becomes its controlling
  terminal: if the simulator closed its end while the server runs, the server would get SIGHUP
  and flood its output. So this suite starts the server itself with its output in a log, and
  stops it before it stops the simulators.
"""
import argparse
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

CLSID = "{352E65A1-594C-4A27-8B35-1293DABC8843}"
PROGID = "QM4720.QM4720Pro"

MSG_REGISTER_NAME = "设备寄存器名字错误!"
MSG_STATION = "输入的表号错误!"
MSG_TIMEOUT = "超时错误!"
MSG_REPLY = "接收到错误数据!"
NAK_TEXT = "the meter refused the value (NAK)"

WINE_TIMEOUT = 120  # seconds for any one Windows program; a hang is a failure, not a wait
ATTEMPTS = 5  # runs of one command line when Wine loses request frames (see above)

# The instruments: (COM port, simulator arguments); a port above COM9 is opened by the host
# program as "\\.\COM15", the only name under which Windows knows it. Stations 1 and 3 are of the
# default model, 12 and 15 of the QM4720N; station 7 is silent everywhere.
LINES = {
    "main": ("COM5", ["--station", "1", "--station", "3", "--station", "12:QM4720N",
                      "--station", "15:QM4720N", "--frozen",
                      "--set", "1:PV=12.5", "--set", "1:SP=25.5", "--set", "1:EE=0",
                      "--set", "3:PV=3.75", "--set", "3:SP=40",
                      "--set", "12:PV=33.25", "--set", "12:SP=30", "--set", "12:NP=1.5",
                      "--set", "15:PV=8"]),
    "nak": ("COM6", ["--station", "1", "--station", "12:QM4720N", "--frozen",
                     "--fault", "nak=1"]),
    "bad-bcc": ("COM15", ["--station", "1", "--station", "12:QM4720N", "--frozen",
                         "--fault", "bad-bcc=1"]),
}


class Suite:
    """Counts and prints checks, stage by stage."""

    def __init__(self):
        self.stage = ""
        self.checks = 0
        self.failed_stages = []
        self.start = time.monotonic()

    def begin(self, stage):
        self.stage = stage
        print(f"== {stage} (at {time.monotonic() - self.start:.1f} s)", flush=True)

    def check(self, ok, what, detail=""):
        self.checks += 1
        if ok:
            print(f"ok   {what}", flush=True)
        else:
            print(f"FAIL {what}" + (f": {detail}" if detail else ""), flush=True)
            if self.stage not in self.failed_stages:
                self.failed_stages.append(self.stage)
        return ok

    def not_run(self, why):
        self.check(False, f"stage not run: {why}")


class Run:
    """One finished Windows program: exit status and both streams as text, CRs removed."""

    def __init__(self, status, out, err):
        self.status = status
        self.out = out
        self.err = err

    def rows(self):
        """The JSON lines of stdout; None when one of them is not JSON."""
        try:
            return [json.loads(line) for line in self.out.splitlines() if line.strip()]
        except json.JSONDecodeError:
            return None

    def describe(self):
        return f"exit {self.status}; stdout {self.out.strip()!r}; stderr {self.err.strip()!r}"


class Wine:
    def __init__(self, wine_run, prefix, log):
        self.wine_run = wine_run
        self.prefix = prefix
        self.log = log
        self.env = dict(os.environ, WINEPREFIX=prefix)
        self.env.pop("DISPLAY", None)
        self.started = False

    def server(self, *args, timeout=30):
        with open(self.log, "ab") as log:
            return subprocess.run(["wineserver", *args], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, timeout=timeout).returncode

    def start_server(self):
        # A server left by an earlier test of this build holds no line of ours: stop it, so
        # that the one serving this suite is ours and writes to our log.
        self.server("-k")
        self.server("-w")
        os.makedirs(self.prefix, exist_ok=True)
        self.started = True
        # -p: persistent until stopped; the server detaches and keeps the log as its output.
        return self.server("-p")

    def stop_server(self):
        if not self.started:
            return
        self.server("-k")
        try:
            self.server("-w", timeout=30)
        except subprocess.TimeoutExpired:
            pass
        self.started = False

    def run(self, *args, timeout=WINE_TIMEOUT):
        """Runs a Windows program (or Wine's own, such as reg) in the prefix."""
        # Files, not pipes: the first program of a Wine session starts the session's background
        # processes, which inherit its output and would hold a pipe open for as long as they run.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                status = subprocess.run([self.wine_run, *args], env=self.env,
                                        stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                        timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                return Run(-1, "", f"no end within {timeout} s")
            text = []
            for stream in (out, err):
                stream.seek(0)
                # The Windows C runtime writes CR LF in text mode.
                text.append(stream.read().decode("utf-8", "replace").replace("\r", ""))
        return Run(status, *text)


class Simulator:
    """The native qm4720sim on a new pseudo-terminal, with its frame trace in a log."""

    def __init__(self, program, name, args, work):
        self.name = name
        self.trace = os.path.join(work, f"sim-{name}.log")
        self.port = None
        with open(self.trace, "wb") as trace:
            self.process = subprocess.Popen([program, "-v", *args], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=trace)
        deadline = time.monotonic() + 15
        pending = b""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], 0.2)
            if not ready:
                if self.process.poll() is not None:
                    break
                continue
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                break
            pending += chunk
            lines = pending.decode("utf-8", "replace").splitlines()
            for line in lines:
                if line.startswith("PORT="):
                    self.port = line[len("PORT="):].strip()
            if "READY" in lines and self.port:
                return
        self.port = None

    def requests_seen(self):
        """Requests that the simulator has taken off the line so far, by its trace."""
        try:
            with open(self.trace, encoding="utf-8", errors="replace") as trace:
                return sum(1 for line in trace
                           if " host>inst " in line and ("read request" in line
                                                         or "write request" in line))
        except OSError:
            return 0

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


class EndToEnd:
    def __init__(self, options):
        self.o = options
        self.suite = Suite()
        os.makedirs(options.work, exist_ok=True)
        self.wine = Wine(options.wine_run, options.prefix,
                         os.path.join(options.work, "wineserver.log"))
        open(self.wine.log, "wb").close()
        self.simulators = {}
        self.links = []

    # ---- helpers ------------------------------------------------------------------------------

    def ctl(self, *args):
        return self.wine.run(self.o.ctl, "--progid", PROGID, *args)

    def on_line(self, line, exchanges, args, checks):
        """Runs qm4720ctl against simulator `line` with `args` and applies `checks` (a function
        of the Run giving (ok, what, detail) triples). When some fail and the simulator received
        fewer than the `exchanges` requests that the run sent, Wine dropped a request frame (see
        the top of this file): the run is repeated, at most ATTEMPTS times in all."""
        simulator = self.simulators[line]
        port = LINES[line][0]
        for attempt in range(1, ATTEMPTS + 1):
            before = simulator.requests_seen()
            run = self.ctl(*args, "--port", port)
            results = checks(run)
            received = simulator.requests_seen() - before
            lost = received < exchanges and "cannot open" not in run.err
            if all(ok for ok, _, _ in results) or not lost or attempt == ATTEMPTS:
                break
            print(f"note Wine lost a request frame: the simulator received {received} of "
                  f"{exchanges}; repeating qm4720ctl {' '.join(args)}", flush=True)
        for ok, what, detail in results:
            self.suite.check(ok, what, detail if detail else run.describe())
        return run

    # ---- stages -------------------------------------------------------------------------------

    def prerequisites(self):
        self.suite.begin("prerequisites")
        ok = True
        for what, path in (("module", self.o.module), ("host program", self.o.ctl),
                           ("activation probe", self.o.probe), ("Wine runner", self.o.wine_run)):
            ok &= self.suite.check(os.path.isfile(path), f"the {what} exists: {path}",
                                   "build the Windows tree first (make build-win32, build-win64)")
        self.have_simulator = self.suite.check(
            os.access(self.o.simulator, os.X_OK),
            f"the native simulator exists: {self.o.simulator}",
            "the Windows suite drives the simulator of the native build; build it first with "
            "'make build' ('make test' builds the native tree before the Windows suite)")
        return ok

    def server(self):
        self.suite.begin("wine server")
        status = self.wine.start_server()
        return self.suite.check(status == 0, f"wineserver started, output in {self.wine.log}",
                                f"wineserver -p exited with {status}")

    def registration(self):
        self.suite.begin("registration")
        keys = [f"HKEY_CLASSES_ROOT\\{PROGID}", f"HKEY_CLASSES_ROOT\\CLSID\\{CLSID}"]
        # Earlier tests of this build may have registered the module: start from no entries, so
        # that what is found below was written by this regsvr32.
        for key in keys:
            self.wine.run("reg", "delete", key, "/f")
        gone = [key for key in keys if self.wine.run("reg", "query", key).status == 0]
        self.suite.check(not gone, "no registration left before regsvr32", f"still there: {gone}")

        winpath = self.wine.run("winepath", "-w", self.o.module).out.strip()
        run = self.wine.run("regsvr32", "/s", winpath)
        if not self.suite.check(run.status == 0, f"regsvr32 /s {winpath} exits 0",
                                run.describe()):
            return False

        found = {}
        for key in keys:
            found.update(parse_reg_query(self.wine.run("reg", "query", key, "/s").out))
        hkcr = "HKEY_CLASSES_ROOT\\"
        expected = [
            (f"{PROGID}", PROGID),
            (f"{PROGID}\\CLSID", CLSID),
            (f"CLSID\\{CLSID}", PROGID),
            (f"CLSID\\{CLSID}\\ProgID", PROGID),
        ]
        for key, value in expected:
            got = found.get(hkcr + key, {}).get("(Default)")
            self.suite.check(got == value, f"HKCR\\{key} = {value}", f"found {got!r}")
        server_key = f"{hkcr}CLSID\\{CLSID}\\InProcServer32"
        server = found.get(server_key, {}).get("(Default)", "")
        unix = self.wine.run("winepath", "-u", server).out.strip() if server else ""
        self.suite.check(server and os.path.realpath(unix) == os.path.realpath(self.o.module),
                         f"HKCR\\CLSID\\{CLSID}\\InProcServer32 = {server} (the built module)",
                         f"names {server!r}, which is {unix!r}")
        values = found.get(server_key, {})
        self.suite.check(set(values) == {"(Default)"},
                         "InProcServer32 holds no threading model", f"values {sorted(values)}")
        expected_keys = {hkcr + key for key, _ in expected} | {server_key}
        self.suite.check(set(found) == expected_keys, "nothing else is registered",
                         f"keys {sorted(set(found) - expected_keys)}")
        return True

    def host_without_line(self):
        self.suite.begin("host program, no line: activation, tables, tag validation")
        for model, count, entries in (
                ("", 62, {4: ("PV", "FLOAT", True), 12: ("AS", "INT", True),
                          13: ("SP", "FLOAT", False), 61: ("BL", "INT", False)}),
                ("QM4720N", 58, {12: ("NP", "FLOAT", True), 13: ("SP", "FLOAT", False),
                                 29: ("AF", "FLOAT", False), 57: ("BL", "INT", False)})):
            run = self.ctl("--format", "jsonl", "tables", *(["--model", model] if model else []))
            rows = run.rows() or []
            name = model or "default model"
            self.suite.check(run.status == 0 and len(rows) == count,
                             f"tables ({name}): exit 0, {count} registers", run.describe())
            for index, (mnemonic, kind, read_only) in entries.items():
                row = rows[index] if index < len(rows) else {}
                self.suite.check(
                    row == {"index": index, "mnemonic": mnemonic, "type": kind,
                            "read_only": read_only},
                    f"tables ({name}): entry {index} is {mnemonic} {kind}, read-only "
                    f"{read_only}", f"got {row}")

        run = self.ctl("--format", "jsonl", "parse", "SP", "--types", "FLOAT")
        self.suite.check(run.status == 0 and run.rows() == [
            {"register": "SP", "index": 13, "type": "FLOAT", "read_only": False}],
            "parse SP --types FLOAT: accepted as index 13", run.describe())
        run = self.ctl("--format", "jsonl", "parse", "NP", "--model", "QM4720N")
        self.suite.check(run.status == 0 and run.rows() == [
            {"register": "NP", "index": 12, "type": "FLOAT", "read_only": True}],
            "parse NP --model QM4720N: accepted as index 12", run.describe())
        run = self.ctl("parse", "NP")
        self.suite.check(run.status == 1 and MSG_REGISTER_NAME in run.err and not run.out,
                         f"parse NP (default model): refused, exit 1, \"{MSG_REGISTER_NAME}\"",
                         run.describe())
        run = self.ctl("check-station", "07")
        self.suite.check(run.status == 0 and run.out.strip() == "7",
                         "check-station 07: station 7", run.describe())
        run = self.ctl("check-station", "123")
        self.suite.check(run.status == 1 and MSG_STATION in run.err,
                         f"check-station 123: refused, exit 1, \"{MSG_STATION}\"", run.describe())
        run = self.wine.run(self.o.ctl, "--progid", "QM4720.NoSuchClass", "tables")
        self.suite.check(run.status == 3 and "not registered (CLSIDFromProgID 0x800401F3)"
                         in run.err, "--progid QM4720.NoSuchClass: exit 3, not registered "
                         "(CO_E_CLASSSTRING)", run.describe())

    def simulators_up(self):
        self.suite.begin("simulators on COM5, COM6, COM15")
        if not self.have_simulator:
            self.suite.not_run(f"{self.o.simulator} is missing (see prerequisites)")
            return False
        ok = True
        for name, (port, args) in LINES.items():
            simulator = Simulator(self.o.simulator, name, args, self.o.work)
            self.simulators[name] = simulator
            if not self.suite.check(simulator.port is not None,
                                    f"qm4720sim ({name}) ready on {simulator.port}",
                                    f"no PORT= and READY within 15 s; see {simulator.trace}"):
                ok = False
                continue
            link = os.path.join(self.o.prefix, "dosdevices", port.lower())
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(simulator.port, link)
            self.links.append(link)
            print(f"     {port} -> {simulator.port}", flush=True)
        return ok

    def traffic(self):
        self.suite.begin("host program on COM5: probe, reads, writes, poll, timeout")
        common = ["--format", "jsonl"]

        def rows_are(run, expected, status=0):
            """Each row carries the expected fields (others may be there as well)."""
            rows = run.rows()
            if run.status != status or rows is None or len(rows) != len(expected):
                return False
            return all(all(row.get(k) == v for k, v in want.items())
                       for row, want in zip(rows, expected))

        def stamped(run):
            return all(row.get("quality") == 192 and str(row.get("time", "")).endswith("Z")
                       for row in run.rows() or [])

        # Probe: EE of each station; the default model answers when EE lies in 0..6.
        self.on_line("main", 3, common + ["probe", "--stations", "1-3", "--timeout", "500"],
                     lambda r: [(rows_are(r, [{"station": 1, "answered": True},
                                              {"station": 3, "answered": True}]),
                                 "probe 1-3 (default model): stations 1 and 3 answer, 2 is "
                                 "silent", "")])
        self.on_line("main", 3, common + ["probe", "--model", "QM4720N", "--stations",
                                          "11-12,15", "--timeout", "500"],
                     lambda r: [(rows_are(r, [{"station": 12, "model": "QM4720N"},
                                              {"station": 15, "model": "QM4720N"}]),
                                 "probe 11-12,15 (QM4720N): stations 12 and 15 answer, 11 is "
                                 "silent", "")])

        # Reads of both models: values as the simulator was set, stamped with quality 192.
        self.on_line("main", 3, common + ["read", "PV", "SP", "EE", "--station", "1"],
                     lambda r: [(rows_are(r, [
                         {"station": 1, "register": "PV", "value": 12.5, "status": "ok",
                          "error": None},
                         {"station": 1, "register": "SP", "value": 25.5, "status": "ok"},
                         {"station": 1, "register": "EE", "value": 0, "type": "INT",
                          "status": "ok"}]) and stamped(r),
                         "read PV SP EE of station 1 (default model): 12.5 25.5 0, quality 192, "
                         "time stamped", "")])
        self.on_line("main", 2, common + ["read", "PV", "NP", "--station", "12", "--model",
                                          "QM4720N"],
                     lambda r: [(rows_are(r, [
                         {"station": 12, "register": "PV", "value": 33.25, "status": "ok"},
                         {"station": 12, "register": "NP", "value": 1.5, "status": "ok"}])
                         and stamped(r),
                         "read PV NP of station 12 (QM4720N): 33.25 1.5, quality 192", "")])

        # Writes of both models, each read back by the same run and once more by a new one.
        self.on_line("main", 4, common + ["write", "SP=42.5", "PN=3", "--station", "1",
                                          "--verify"],
                     lambda r: [(rows_are(r, [
                         {"register": "SP", "value": 42.5, "status": "verified",
                          "read_back": 42.5, "error": None},
                         {"register": "PN", "value": 3, "status": "verified", "read_back": 3}]),
                         "write SP=42.5 PN=3 to station 1 (default model): ACK, read back", "")])
        self.on_line("main", 2, common + ["write", "SP=7.25", "--station", "12", "--model",
                                          "QM4720N", "--verify"],
                     lambda r: [(rows_are(r, [
                         {"register": "SP", "value": 7.25, "status": "verified",
                          "read_back": 7.25}]),
                         "write SP=7.25 to station 12 (QM4720N): ACK, read back", "")])
        self.on_line("main", 2, common + ["read", "SP", "PN", "--station", "1"],
                     lambda r: [(rows_are(r, [{"register": "SP", "value": 42.5},
                                              {"register": "PN", "value": 3}]),
                                 "a new host reads the written values of station 1: 42.5 3", "")])

        # Poll: two stations, two cycles.
        self.on_line("main", 4, common + ["poll", "PV", "--station", "1,3", "--count", "2",
                                          "--interval", "0.1"],
                     lambda r: [(rows_are(r, [
                         {"station": s, "register": "PV", "value": v, "status": "ok",
                          "quality": 192}
                         for _ in range(2) for s, v in ((1, 12.5), (3, 3.75))]),
                         "poll PV of stations 1,3, 2 cycles: 4 samples, all ok, quality 192",
                         "")])

        # A silent station: the timeout and its message, and how long the wait took.
        self.on_line("main", 1, common + ["read", "PV", "--station", "7", "--timeout", "400"],
                     lambda r: [(rows_are(r, [{"station": 7, "register": "PV", "value": None,
                                               "status": "timeout", "error": MSG_TIMEOUT}],
                                          status=1) and MSG_TIMEOUT in r.err,
                                 f"read PV of silent station 7: exit 1, status timeout, "
                                 f"\"{MSG_TIMEOUT}\"", "")])

        def timing(r):
            rows = r.rows() or [{}]
            latency = rows[0].get("latency_ms", -1)
            # 30 ms pause after the send, the 400 ms deadline, at most one 20 ms poll after it;
            # generous slack above for a loaded machine.
            return [(r.status == 1 and rows[0].get("status") == "timeout"
                     and 400 <= latency <= 1000,
                     f"the timeout ends after the 400 ms deadline (took {latency} ms)", "")]
        self.on_line("main", 1, common + ["poll", "PV", "--station", "7", "--count", "1",
                                          "--timeout", "400"], timing)

    def faults(self):
        self.suite.begin("host program on COM6 and COM15: a NAK'd write, a wrong block check")
        common = ["--format", "jsonl"]

        def refused(r, station):
            rows = r.rows() or [{}]
            return [(r.status == 1 and len(rows) == 1 and rows[0].get("station") == station
                     and rows[0].get("status") == "refused"
                     and rows[0].get("error") == NAK_TEXT,
                     f"write SP to station {station}, answered NAK: exit 1, status refused", "")]
        self.on_line("nak", 1, common + ["write", "SP=50", "--station", "1"],
                     lambda r: refused(r, 1))
        self.on_line("nak", 1, common + ["write", "SP=50", "--station", "12", "--model",
                                         "QM4720N"], lambda r: refused(r, 12))

        def reply_error(r, station, label):
            rows = r.rows() or [{}]
            return [(r.status == 1 and len(rows) == 1 and rows[0].get("station") == station
                     and rows[0].get("value", 0) is None
                     and rows[0].get("status") == "reply-error"
                     and rows[0].get("error") == MSG_REPLY and MSG_REPLY in r.err,
                     f"read PV of station {station}, {label}: exit 1, status reply-error, "
                     f"\"{MSG_REPLY}\"", "")]
        self.on_line("nak", 1, common + ["read", "PV", "--station", "1"],
                     lambda r: reply_error(r, 1, "answered by a lone NAK"))
        self.on_line("bad-bcc", 1, common + ["read", "PV", "--station", "1"],
                     lambda r: reply_error(r, 1, "wrong block check"))
        self.on_line("bad-bcc", 1, common + ["read", "PV", "--station", "12", "--model",
                                             "QM4720N"],
                     lambda r: reply_error(r, 12, "QM4720N, wrong block check"))

    def unload(self):
        self.suite.begin("unload after the host released its objects")
        simulator = self.simulators["main"]
        for attempt in range(1, ATTEMPTS + 1):
            before = simulator.requests_seen()
            run = self.wine.run(self.o.probe, "COM5", "1")
            received = simulator.requests_seen() - before
            lost = received < 1 and "FAIL ExecuteRequestEx" in run.out
            if run.status == 0 or not lost or attempt == ATTEMPTS:
                break
            print("note Wine lost the request frame; repeating the probe", flush=True)
        for line in run.out.splitlines():
            if line.startswith(("ok   ", "FAIL ")):
                self.suite.check(line.startswith("ok   "), "probe: " + line[5:])
        self.suite.check(run.status == 0 and "ok   CoFreeUnusedLibraries unloaded" in run.out,
                         "activation probe with COM5: every check passed", run.describe())

    def cleanup(self):
        # The server first: the pseudo-terminals are its controlling terminals.
        self.wine.stop_server()
        for simulator in self.simulators.values():
            simulator.stop()
        for link in self.links:
            if os.path.islink(link):
                os.unlink(link)

    def main(self):
        try:
            files_ok = self.prerequisites()
            if not files_ok:
                return 1
            if not self.server():
                return 1
            registered = self.registration()
            if not registered:
                self.suite.begin("host program")
                self.suite.not_run("the module is not registered (see registration)")
            else:
                self.host_without_line()
                if self.simulators_up():
                    self.traffic()
                    self.faults()
                    self.unload()
                else:
                    self.suite.begin("host program on serial lines, unload after traffic")
                    self.suite.not_run("no simulator (see above): probe, reads, writes, poll, "
                                       "timeout, NAK, block check and unload were not checked")
        finally:
            self.cleanup()
        failed = self.suite.failed_stages
        print(f"== {self.suite.checks} checks in {time.monotonic() - self.suite.start:.0f} s; "
              + ("all passed" if not failed else "failed stages: " + "; ".join(failed)))
        return 1 if failed else 0


def parse_reg_query(text):
    """`reg query KEY /s` output -> {key: {value name: data}}."""
    found = {}
    key = None
    for line in text.splitlines():
        if line.startswith("HKEY_"):
            key = line.strip()
            found[key] = {}
        elif key and line.startswith("    "):
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                name = parts[0]
                found[key][name] = parts[2] if len(parts) == 3 else ""
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("wine-run", "prefix", "module", "ctl", "probe", "simulator", "work"):
        parser.add_argument(f"--{name}", required=True)
    options = parser.parse_args()
    # SIGTERM (ctest's timeout, a Ctrl-C) ends the run through the cleanup.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    signal.signal(signal.SIGINT, lambda *_: sys.exit(130))
    return EndToEnd(options).main()


if __name__ == "__main__":
    sys.exit(main())
