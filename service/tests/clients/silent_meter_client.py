#!/usr/bin/python3
"""Meters that never answer, and a port that does not exist, seen through qm4720d's HTTP side,
its /metrics and its log, beside the lines of qm4720d_lines.py:

- line "c": station 1 answers (a simulator), stations 7, 8 and 9 never do; PV and OP of each
  every second with the default reply timeout. Station 1 is served good at every sample, the
  line is never lost, the three others are shown silent on /api/v1/values and /metrics, and
  the log says so once for each;
- line "d": a port that does not exist; the log, the line and its values say why;
- every listener's address is in the log, and SIGTERM ends the service within 2 s although a
  line is lost, three meters are silent and two writes to silent meters wait for the line.

    silent_meter_client.py --sim QM4720SIM --service QM4720D --module MODULE
"""
import json
import signal
import subprocess
import tempfile
import threading
import time

from prometheus_client.parser import text_string_to_metric_families

from qm4720d_lines import ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port
from service_http import request, wait_until

SILENT = ["7", "8", "9"]
TOKEN = "silent-meter-token-0123"
EXTRA = """
[http]
port = {http_port}
writes = true
write_token = "{token}"

[[line]]
name = "c"
port = "{link_c}"
"""
for station in ["1"] + SILENT:
    EXTRA += f"""    [[line.meter]]
    station = {station}
    writable = ["SP"]
        [[line.meter.poll]]
        registers = ["PV", "OP"]
        interval_s = 1
"""
EXTRA += """
[[line]]
name = "d"
port = "{dir}/no-such-port"
    [[line.meter]]
    station = 1
        [[line.meter.poll]]
        registers = ["PV"]
        interval_s = 1
"""


def line_of(values, name):
    return next(line for line in values["lines"] if line["name"] == name)


def meters_of(values, name):
    return {str(m["station"]): m for m in line_of(values, name)["meters"]}


def sample(url):
    status, _, body = request(url + "/api/v1/values")
    return json.loads(body) if status == 200 else None


def check_line_c(checks, url):
    """Station 1 of line c good at every sample over 15 s (three retries of a silent meter, and
    longer than the 10 s after which its line was taken for lost)."""
    first = wait_until(lambda: (v := sample(url)) and
                       meters_of(v, "c")["1"]["state"] == "answering" and v, 10)
    checks.check("station 1 of line c answers", bool(first),
                 first and meters_of(first, "c")["1"])
    bad = []
    line_states = set()
    samples = 0
    end = time.monotonic() + 15
    while time.monotonic() < end:
        values = sample(url)
        samples += 1
        line_states.add(line_of(values, "c")["state"])
        for r in meters_of(values, "c")["1"]["registers"]:
            if r["state"] != "good" or r["value"] is None:
                bad.append((r["register"], r["state"], r["age_ms"], r["error"]))
        time.sleep(0.25)
    checks.check(f"station 1 served good in all {samples} samples beside 3 silent meters",
                 not bad, bad[:5])
    checks.check("line c stays up", line_states == {"up"}, line_states)
    states = {s: m["state"] for s, m in meters_of(values, "c").items()}
    checks.check("stations 7, 8 and 9 are shown silent, station 1 answering",
                 states == {"1": "answering", "7": "silent", "8": "silent", "9": "silent"},
                 states)


def check_metrics(checks, url):
    _, _, text = request(url + "/metrics")
    silent = {}
    for family in text_string_to_metric_families(text):
        if family.name == "qm4720_meter_silent":
            silent = {(s.labels["line"], s.labels["station"]): s.value for s in family.samples}
    want = {("c", s): 1.0 for s in SILENT}
    want[("c", "1")] = 0.0
    checks.check("/metrics: qm4720_meter_silent is 1 for 7, 8, 9 and 0 for station 1 of line c",
                 {k: v for k, v in silent.items() if k[0] == "c"} == want, silent)


def check_lost_port(checks, url, port):
    line = line_of(sample(url), "d")
    reason = line.get("reason", "")
    checks.check("line d is lost and says its port does not exist",
                 line["state"] == "lost" and port in reason and "no such device" in reason,
                 line)
    errors = {r["error"] for m in line["meters"] for r in m["registers"]}
    checks.check("line d's values carry the same reason",
                 len(errors) == 1 and "no such device" in errors.pop(), line["meters"])


def check_log(checks, log, ports):
    def lines_with(*words):
        return [l for l in log.splitlines() if all(w in l for w in words)]
    checks.check("the log never calls line c lost", not lines_with("line c: lost"),
                 lines_with("line c: lost"))
    found = [l for l in lines_with("line c: station ") if " is silent (" in l]
    checks.check("the log says once each that stations 7, 8 and 9 are silent, and nothing of "
                 "station 1", sorted(l.split("station ")[1].split()[0] for l in found) == SILENT
                 and not lines_with("line c: station 1 "), found)
    found = lines_with("line d: cannot open", "no such device")
    checks.check("the log says once why line d's port cannot be opened", len(found) == 1,
                 found or log[-2000:])
    for what, port in ports.items():
        found = lines_with(what, f"127.0.0.1:{port}")
        checks.check(f"the log names the {what} listener's address", len(found) == 1,
                     found or log[:2000])


def main():
    args = service_arguments(__doc__)
    checks = Checks()
    http_port, high, low = free_port(), free_port(), free_port()
    log_file = tempfile.TemporaryFile("w+")
    lines = None
    try:
        extra = EXTRA.replace("{http_port}", str(http_port)).replace("{token}", TOKEN)
        lines = ServiceWithLines(args.sim, args.service, args.module, high, low,
                                 output=log_file, extra_config=extra,
                                 extra_sims={"c": ["--station", "1", "--set", "1:PV=21.5"]})
        if not wait_for_port(http_port, lines.service):
            raise SystemExit("qm4720d did not listen")
        url = f"http://127.0.0.1:{http_port}"
        check_line_c(checks, url)
        check_metrics(checks, url)
        check_lost_port(checks, url, lines.dir.name + "/no-such-port")

        # Two writes to silent meters, each a reply timeout on the line: the stop waits for the
        # one in progress, not for the other after it.
        writes = [threading.Thread(target=request, args=(
            url + "/api/v1/write", {"line": "c", "station": int(s), "register": "SP", "value": 1},
            {"Authorization": "Bearer " + TOKEN})) for s in SILENT[:2]]
        for w in writes:
            w.start()
        time.sleep(0.3)
        sent = time.monotonic()
        lines.service.send_signal(signal.SIGTERM)
        try:
            status = lines.service.wait(timeout=10)
        except subprocess.TimeoutExpired:
            status = None
        took = time.monotonic() - sent
        for w in writes:
            w.join()
        checks.check("SIGTERM with a lost line, silent meters and writes waiting: exit 0 "
                     "within 2 s",
                     status == 0 and took < 2.0, (status, round(took, 2)))
        log_file.seek(0)
        check_log(checks, log_file.read(),
                  {"HTTP": http_port, "line a: Modbus": high, "line b: Modbus": low})
    finally:
        if lines is not None:
            lines.stop()
        log_file.close()
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
