#!/usr/bin/python3
"""GET /metrics of qm4720d read by the Prometheus client library's own parser, against the lines of
qm4720d_lines.py with history kept and HTTP writes off: the value gauges hold what the
simulators hold, the exchange counters rise, each latency histogram counts every exchange, a
write is refused while writes are off, and a stopped simulator's values leave the gauges.

    metrics_client.py --sim QM4720SIM --service QM4720D --module MODULE
"""
import argparse
import json
import os
import tempfile
import time

from prometheus_client.parser import text_string_to_metric_families

from qm4720d_lines import ServiceWithLines
from server_under_test import Checks, free_port
from service_http import request, wait_for_http, wait_until

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"

# (line, station, register, model): the value the simulator holds (qm4720d_lines.LINES, and the
# frozen simulator's own values where LINES sets none).
VALUES = {
    ("a", "1", "PV", "default"): 21.5,
    ("a", "1", "OP", "default"): -3.25,
    ("a", "1", "SP", "default"): 100.25,
    ("a", "12", "PV", "QM4720N"): 7.125,
    ("a", "12", "OP", "QM4720N"): 40.0,
    ("a", "12", "ER", "QM4720N"): 0.0,
    ("a", "12", "SV", "QM4720N"): 100.0,
    ("b", "3", "PV", "QM4720N"): -12.75,
    ("b", "3", "SP", "QM4720N"): 60.0,
}
SILENT = ("b", "9", "PV", "default")
OUTCOMES = ["ok", "timeout", "reply_error", "nak", "other_error", "open_error"]


class Scrape:
    """One GET /metrics, parsed."""

    def __init__(self, url):
        status, headers, text = request(url)
        self.status = status
        self.content_type = headers.get("Content-Type")
        families = list(text_string_to_metric_families(text))
        self.names = [f.name for f in families]
        self.families = {f.name: f for f in families}

    def samples(self, name, suffix=""):
        family = self.families.get(name)
        return [] if family is None else [s for s in family.samples
                                          if s.name == name + suffix]

    def cells(self, name):
        """{(line, station, register, model): value} of a register family."""
        return {(s.labels["line"], s.labels["station"], s.labels["register"], s.labels["model"]):
                s.value for s in self.samples(name)}

    def by_line(self, name, label, suffix=""):
        """{(line, label value): value}."""
        return {(s.labels["line"], s.labels[label]): s.value
                for s in self.samples(name, suffix)}

    def one(self, name, suffix=""):
        samples = self.samples(name, suffix)
        return samples[0].value if len(samples) == 1 else None


def check_histograms(checks, scrape):
    family = scrape.families.get("qm4720_exchange_latency_seconds")
    checks.check("the latency is a histogram", family is not None and family.type == "histogram",
                 family and family.type)
    exchanges = scrape.by_line("qm4720_exchanges", "outcome", "_total")
    counts = {s.labels["line"]: s.value
              for s in scrape.samples("qm4720_exchange_latency_seconds", "_count")}
    buckets = scrape.samples("qm4720_exchange_latency_seconds", "_bucket")
    for line in ("a", "b"):
        polled = sum(exchanges.get((line, o), 0) for o in OUTCOMES if o != "open_error")
        checks.check(f"line {line}: the histogram counts every exchange but the failed opens",
                     counts.get(line) == polled and polled > 0, (counts.get(line), polled))
        mine = [(float(s.labels["le"]), s.value) for s in buckets if s.labels["line"] == line]
        ordered = [v for _, v in sorted(mine)]
        checks.check(f"line {line}: buckets rise with le and end at +Inf with the count",
                     len(mine) == 11 and ordered == sorted(ordered)
                     and dict(mine).get(float("inf")) == counts.get(line), mine)


def check_running(checks, url):
    def every_value():
        s = Scrape(url)
        return s if all(k in s.cells("qm4720_register_value") for k in VALUES) else None

    scrape = wait_until(every_value, 5) or Scrape(url)
    checks.check("/metrics answers 200 with the 0.0.4 text format's content type",
                 scrape.status == 200 and scrape.content_type == CONTENT_TYPE,
                 (scrape.status, scrape.content_type))
    checks.check("every family's samples stand together (no family parsed twice)",
                 len(scrape.names) == len(set(scrape.names)), scrape.names)
    values = scrape.cells("qm4720_register_value")
    for key, want in VALUES.items():
        checks.check(f"value gauge {key} is the simulator's {want}", values.get(key) == want,
                     values.get(key))
    up = scrape.cells("qm4720_register_up")
    checks.check("every register the simulators answer is up",
                 all(up.get(k) == 1 for k in VALUES), up)
    checks.check("the silent meter has no value gauge and is not up",
                 SILENT not in values and up.get(SILENT) == 0, (values.get(SILENT), up.get(SILENT)))
    ages = scrape.cells("qm4720_register_age_seconds")
    checks.check("the answering registers' ages are under their allowed age (0.6 s)",
                 all(0 <= ages.get(k, -1) <= 0.6 for k in VALUES), ages)
    states = scrape.by_line("qm4720_line_state", "state")
    checks.check("both lines are up, and in one state each",
                 states.get(("a", "up")) == 1 and states.get(("b", "up")) == 1
                 and sum(states.values()) == 2, states)
    check_histograms(checks, scrape)

    time.sleep(1.2)
    later = Scrape(url)
    before = scrape.by_line("qm4720_exchanges", "outcome", "_total")
    after = later.by_line("qm4720_exchanges", "outcome", "_total")
    checks.check("line a's ok exchanges rise", after.get(("a", "ok"), 0) > before.get(("a", "ok")),
                 (before.get(("a", "ok")), after.get(("a", "ok"))))
    checks.check("line b's timeouts rise (station 9 is silent)",
                 after.get(("b", "timeout"), 0) > before.get(("b", "timeout"), 0),
                 (before.get(("b", "timeout")), after.get(("b", "timeout"))))
    checks.check("each line has one exchange counter per outcome",
                 sorted(after) == sorted((line, o) for line in "ab" for o in OUTCOMES),
                 sorted(after))
    written = wait_until(lambda: Scrape(url).one("qm4720_history_rows_written", "_total"), 3)
    checks.check("the history has written rows", (written or 0) > 0, written)
    commit = Scrape(url).one("qm4720_history_last_commit_timestamp_seconds")
    checks.check("the history's last commit is within the last 5 s",
                 commit is not None and time.time() - 5 < commit <= time.time() + 1, commit)
    checks.check("no MQTT metrics without [mqtt]",
                 not any(n.startswith("qm4720_mqtt_") for n in later.names), later.names)


def check_stopped_simulator(checks, url, lines):
    lines.kill_sim("a")
    gone = wait_until(lambda: not any(k[0] == "a" for k in
                                      Scrape(url).cells("qm4720_register_value")), 3)
    scrape = Scrape(url)
    checks.check("the simulator of line a stopped: its values leave the gauges within 3 s",
                 gone, scrape.cells("qm4720_register_value"))
    up = scrape.cells("qm4720_register_up")
    checks.check("... and its registers are down",
                 all(v == 0 for k, v in up.items() if k[0] == "a")
                 and len(up) == len(VALUES) + 1, up)
    values = scrape.cells("qm4720_register_value")
    checks.check("... while line b's stay",
                 all(values.get(k) == v for k, v in VALUES.items() if k[0] == "b"), values)
    # The reopen attempts come 1 s, then 2 s after the loss; each fails on the missing link.
    def lost_and_counted():
        s = Scrape(url)
        return (s.by_line("qm4720_line_state", "state").get(("a", "lost")) == 1
                and s.by_line("qm4720_exchanges", "outcome", "_total").get(("a", "open_error"), 0)
                > 0)

    lost = wait_until(lost_and_counted, 5)
    checks.check("line a is lost and its failed opens are counted", lost,
                 Scrape(url).by_line("qm4720_exchanges", "outcome", "_total"))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--sim", "--service", "--module"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    checks = Checks()
    port = free_port()
    with tempfile.TemporaryDirectory(prefix="qm-metrics-") as scratch:
        extra = (f'\n[history]\ndatabase = "{os.path.join(scratch, "history.db")}"\n'
                 f'\n[http]\nport = {port}\n')
        lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                                 extra_config=extra)
        try:
            url = f"http://127.0.0.1:{port}"
            if not wait_for_http(url + "/metrics", lines.service):
                raise SystemExit("qm4720d did not serve HTTP")
            check_running(checks, url + "/metrics")
            status, _, body = request(url + "/api/v1/write",
                                      {"line": "a", "station": 1, "register": "SP", "value": 1},
                                      {"Authorization": "Bearer " + "t" * 16})
            reply = json.loads(body)
            checks.check("a write while [http] writes is off: 403 saying so",
                         status == 403 and reply.get("ok") is False and "off" in reply["error"],
                         (status, body))
            check_stopped_simulator(checks, url + "/metrics", lines)
        finally:
            status = lines.stop()
    checks.check("qm4720d stopped cleanly on SIGTERM", status == 0, status)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
