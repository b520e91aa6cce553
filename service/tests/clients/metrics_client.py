#!/usr/bin/python3
"""GET /metrics of qm4720d read by the Prometheus client library's own parser, against the lines of
qm4720d_lines.py with history kept and HTTP writes off: the value gauges hold what the
simulators hold, the exchange counters rise, each latency histogram counts every exchange, a
write is refused while writes are off, and a stopped simulator's values leave the gauges.

    metrics_client.py --sim QM4720SIM --service QM4720D --module MODULE
"""
import json
import os
import tempfile
import time

from prometheus_client.parser import text_string_to_metric_families

from qm4720d_lines import ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port
from service_http import request, wait_until

# (line, station, register, model): what the frozen simulators hold (qm4720d_lines.LINES, and
# the simulator's own values where LINES sets none).
VALUES = {
    ("a", "1", "PV", "default"): 21.5, ("a", "1", "OP", "default"): -3.25,
    ("a", "1", "SP", "default"): 100.25, ("a", "12", "PV", "QM4720N"): 7.125,
    ("a", "12", "OP", "QM4720N"): 40.0, ("a", "12", "ER", "QM4720N"): 0.0,
    ("a", "12", "SV", "QM4720N"): 100.0, ("b", "3", "PV", "QM4720N"): -12.75,
    ("b", "3", "SP", "QM4720N"): 60.0, ("b", "0", "PV", "default"): 99.95,
    ("b", "0", "SP", "default"): 48.815, ("b", "0", "PN", "default"): 7.0,
}
SILENT = ("b", "9", "PV", "default")
OUTCOMES = ["ok", "timeout", "reply_error", "nak", "other_error", "open_error"]


class Scrape:
    """One GET /metrics, parsed."""

    def __init__(self, url):
        self.status, headers, text = request(url)
        self.content_type = headers.get("Content-Type")
        families = list(text_string_to_metric_families(text))
        self.names = [f.name for f in families]
        self.families = {f.name: f for f in families}

    def samples(self, name, suffix=""):
        family = self.families.get(name)
        return [s for s in (family.samples if family else []) if s.name == name + suffix]

    def cells(self, name):
        """{(line, station, register, model): value} of a register family."""
        return {(s.labels["line"], s.labels["station"], s.labels["register"], s.labels["model"]):
                s.value for s in self.samples(name)}

    def by_line(self, name, label, suffix=""):
        """{(line, label value): value}; label "" for the line alone."""
        return {(s.labels["line"], s.labels.get(label, "")): s.value
                for s in self.samples(name, suffix)}

    def outcomes(self):
        return self.by_line("qm4720_exchanges", "outcome", "_total")


def check_running(checks, url):
    def every_value():
        s = Scrape(url)
        return s if VALUES.keys() <= s.cells("qm4720_register_value").keys() else None

    scrape = wait_until(every_value, 5) or Scrape(url)
    checks.check("200 with the 0.0.4 content type; each family's samples together",
                 (scrape.status, scrape.content_type) == (
                     200, "text/plain; version=0.0.4; charset=utf-8")
                 and len(scrape.names) == len(set(scrape.names)),
                 (scrape.status, scrape.content_type, scrape.names))
    values, up = scrape.cells("qm4720_register_value"), scrape.cells("qm4720_register_up")
    checks.check("the value gauges are the simulators' values, and only theirs",
                 values == VALUES, values)
    checks.check("those are up; the silent meter is not",
                 up == {**{k: 1 for k in VALUES}, SILENT: 0}, up)
    ages = scrape.cells("qm4720_register_age_seconds")
    checks.check("the answering registers' ages are within their allowed age (0.6 s)",
                 ages.keys() == VALUES.keys() and all(0 <= a <= 0.6 for a in ages.values()), ages)
    states = scrape.by_line("qm4720_line_state", "state")
    checks.check("both lines are up, and in one state each",
                 {k for k, v in states.items() if v == 1} == {("a", "up"), ("b", "up")}
                 and len(states) == 6, states)

    family = scrape.families.get("qm4720_exchange_latency_seconds")
    counts = scrape.by_line("qm4720_exchange_latency_seconds", "", "_count")
    buckets = scrape.by_line("qm4720_exchange_latency_seconds", "le", "_bucket")
    for line in "ab":
        polled = sum(scrape.outcomes().get((line, o), 0) for o in OUTCOMES[:-1])
        mine = sorted((float(le), v) for (name, le), v in buckets.items() if name == line)
        checks.check(f"line {line}: the latency histogram counts every exchange but the "
                     "failed opens, its buckets rise with le up to +Inf",
                     family.type == "histogram" and polled > 0 and counts.get((line, "")) == polled and len(mine) == 11
                     and [v for _, v in mine] == sorted(v for _, v in mine)
                     and mine[-1] == (float("inf"), polled), (polled, counts, mine))

    time.sleep(1.2)
    before, after = scrape.outcomes(), Scrape(url).outcomes()
    every = sorted((line, o) for line in "ab" for o in OUTCOMES)
    checks.check("one counter per line and outcome; line a's ok and line b's timeouts (station 9 "
                 "is silent) rise", sorted(after) == every
                 and after[("a", "ok")] > before[("a", "ok")]
                 and after[("b", "timeout")] > before[("b", "timeout")], (before, after))
    def history_committed():
        s = Scrape(url)
        written = s.samples("qm4720_history_rows_written", "_total")
        commit = s.samples("qm4720_history_last_commit_timestamp_seconds")
        return (written and written[0].value > 0 and commit
                and time.time() - 5 < commit[0].value <= time.time() + 1)

    checks.check("the history has written rows, the last commit within 5 s",
                 wait_until(history_committed, 3),
                 [f for f in Scrape(url).families.values() if "history" in f.name])


def check_stopped_simulator(checks, url, lines):
    lines.kill_sim("a")

    def line_a_down():
        s = Scrape(url)
        up, values = s.cells("qm4720_register_up"), s.cells("qm4720_register_value")
        return (all(v == 0 for k, v in up.items() if k[0] == "a")
                and values == {k: v for k, v in VALUES.items() if k[0] == "b"})

    checks.check("line a's simulator killed: its values leave the gauges within 3 s and it is "
                 "down, while line b is served", wait_until(line_a_down, 3),
                 Scrape(url).cells("qm4720_register_value"))

    # The reopen attempts come 1 s, then 2 s after the loss; each fails on the missing link.
    def lost_and_counted():
        s = Scrape(url)
        return (s.by_line("qm4720_line_state", "state")[("a", "lost")] == 1
                and s.outcomes()[("a", "open_error")] > 0)

    lost = wait_until(lost_and_counted, 5)
    checks.check("line a is lost and its failed opens are counted", lost, Scrape(url).outcomes())


def main():
    args = service_arguments(__doc__)
    checks = Checks()
    port = free_port()
    with tempfile.TemporaryDirectory(prefix="qm-metrics-") as scratch:
        extra = (f'\n[history]\ndatabase = "{os.path.join(scratch, "history.db")}"\n'
                 f'\n[http]\nport = {port}\n')
        lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                                 extra_config=extra)
        try:
            url = f"http://127.0.0.1:{port}"
            if not wait_for_port(port, lines.service):
                raise SystemExit("qm4720d did not serve HTTP")
            check_running(checks, url + "/metrics")
            status, _, body = request(url + "/api/v1/write",
                                      {"line": "a", "station": 1, "register": "SP", "value": 1},
                                      {"Authorization": "Bearer " + "t" * 16})
            checks.check("a write while [http] writes is off: 403 saying so",
                         status == 403 and "off" in json.loads(body).get("error", ""),
                         (status, body))
            check_stopped_simulator(checks, url + "/metrics", lines)
        finally:
            status = lines.stop()
    checks.check("qm4720d stopped cleanly on SIGTERM", status == 0, status)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
