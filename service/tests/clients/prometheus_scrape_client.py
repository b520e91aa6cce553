#!/usr/bin/python3
"""Debian's Prometheus scraping two qm4720d services, each over a simulator of its own, with the
rules of docs/prometheus/qm4720d-rules.yml.

    prometheus_scrape_client.py --sim QM4720SIM --service QM4720D --module MODULE --rules RULES.yml

Both services call their line "a" and its meter at station 1, with other values, so that only
the scrape's `instance` tells them apart; the north service also polls station 9, which nothing
simulates. Prometheus (its own storage and listener on 127.0.0.1, a 1 s scrape and evaluation)
and the services are started by process id and stopped. Checked through Prometheus's HTTP API:
each instance's qm4720_register_value is its simulator's value; every series that the rules'
expressions select exists on both services (a renamed metric or label value fails here, where the
rules' unit tests with their hand-made series cannot see it); the recording rule's share of good
registers per line; the meter-stale alert pending for north's station 9 alone; once south's
simulator is killed, the line-lost alert pending for south's line alone.
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qm4720d_lines import ServiceWithLines, service_arguments  # noqa: E402
from server_under_test import Checks, free_port, wait_for_port  # noqa: E402
from service_http import request, wait_until  # noqa: E402

# (simulators, [[line]] tables) of each service, and the value its station 1 PV reads.
NORTH = ({"a": ["--station", "1", "--set", "1:PV=21.5", "--set", "1:SP=100.25"]}, """
[[line]]
name = "a"
port = "{link_a}"
reply_timeout_ms = 200
silent_retry_s = 1
silent_retry_max_s = 1
    [[line.meter]]
    station = 1
        [[line.meter.poll]]
        registers = ["PV", "SP"]
        interval_s = 0.2
    [[line.meter]]
    station = 9
        [[line.meter.poll]]
        registers = ["PV"]
        interval_s = 0.5
""")
SOUTH = ({"a": ["--station", "1", "--set", "1:PV=-12.75"]}, """
[[line]]
name = "a"
port = "{link_a}"
reply_timeout_ms = 200
    [[line.meter]]
    station = 1
        [[line.meter.poll]]
        registers = ["PV"]
        interval_s = 0.2
""")
PV = {"north": 21.5, "south": -12.75}

PROMETHEUS = """
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
rule_files:
  - {rules}
scrape_configs:
  - job_name: qm4720d
    static_configs:
      - targets: ["127.0.0.1:{north}"]
        labels: {{site: north}}
      - targets: ["127.0.0.1:{south}"]
        labels: {{site: south}}
"""


class Prometheus:
    """prometheus with the configuration `config`, its storage under `folder`, tracked by its
    process id."""

    def __init__(self, folder, config):
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        path = os.path.join(folder, "prometheus.yml")
        with open(path, "w") as f:
            f.write(config)
        self.log_path = os.path.join(folder, "prometheus.log")
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(
                ["prometheus", "--config.file=" + path,
                 "--storage.tsdb.path=" + os.path.join(folder, "data"),
                 "--web.listen-address=127.0.0.1:" + str(self.port)],
                stdout=log, stderr=subprocess.STDOUT)

    def ready(self):
        return (wait_for_port(self.port, self.process, 15)
                and wait_until(lambda: request(self.url + "/-/ready")[0] == 200, 15))

    def api(self, path, **query):
        status, _, body = request(f"{self.url}/api/v1/{path}?" + urllib.parse.urlencode(query))
        answer = json.loads(body) if status == 200 else {}
        return answer.get("data")

    def query(self, expr):
        """{site: value} of an instant query's samples."""
        data = self.api("query", query=expr) or {"result": []}
        return {s["metric"].get("site"): float(s["value"][1]) for s in data["result"]}

    def alerts(self, name):
        """[(state, labels)] of the active alerts called `name`."""
        return [(a["state"], a["labels"]) for a in (self.api("alerts") or {"alerts": []})["alerts"]
                if a["labels"].get("alertname") == name]

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


def selectors(rules):
    """Every vector selector of qm4720d's metrics in the loaded rules' expressions."""
    found = set()
    for group in rules["groups"]:
        for rule in group["rules"]:
            found |= {m.group(0) for m in re.finditer(r"(?<![\w:])qm4720_\w+(\{[^}]*\})?",
                                                      rule["query"])}
    return sorted(found)


def check(checks, prometheus, services):
    def values():
        got = prometheus.query('qm4720_register_value{line="a",station="1",register="PV"}')
        return got if got == PV else None

    checks.check("each instance's qm4720_register_value is its own simulator's value",
                 wait_until(values, 15), prometheus.query("qm4720_register_value"))

    def rules_evaluated():
        rules = prometheus.api("rules")
        healthy = rules and all(r["health"] == "ok" for g in rules["groups"] for r in g["rules"])
        return rules if healthy else None

    rules = wait_until(rules_evaluated, 10)
    checks.check("the rules are loaded and evaluated without error", bool(rules),
                 prometheus.api("rules"))
    chosen = selectors(rules or {"groups": []})
    checks.check("the rules select qm4720d's metrics", len(chosen) >= 3, chosen)
    for selector in chosen:
        sites = prometheus.query(f"count by (site) ({selector})")
        checks.check(f"{selector} is served by both services", sites.keys() == PV.keys(), sites)

    def share():
        got = prometheus.query("line:qm4720_register_up:avg")
        return got if got.keys() == PV.keys() and abs(got["north"] - 2 / 3) < 1e-9 else None

    checks.check("the recording rule: 2 of north's 3 registers good, all of south's",
                 (wait_until(share, 10) or {}).get("south") == 1,
                 prometheus.query("line:qm4720_register_up:avg"))

    def stale():
        return [(state, labels.get("site"), labels.get("line"), labels.get("station"))
                for state, labels in prometheus.alerts("QM4720MeterStale")]

    # Station 1 may be pending for a moment too, between its line's open and its first answer.
    only_9 = [("pending", "north", "a", "9")]
    checks.check("meter stale: north's station 9 alone, pending its 2 minutes",
                 wait_until(lambda: stale() == only_9, 10), stale())
    checks.check("line lost: none while both lines are up",
                 prometheus.alerts("QM4720LineLost") == [], prometheus.alerts("QM4720LineLost"))

    services["south"].kill_sim("a")

    def lost():
        return [(state, labels.get("site"), labels.get("line"))
                for state, labels in prometheus.alerts("QM4720LineLost")]

    checks.check("south's simulator killed: line lost pending for south's line a alone",
                 wait_until(lambda: lost() == [("pending", "south", "a")], 10), lost())
    checks.check("and no meter of south's lost line is called stale", stale() == only_9, stale())


def main():
    args = service_arguments(__doc__, "--rules")
    checks = Checks()
    ports = {"north": free_port(), "south": free_port()}
    services = {}
    with tempfile.TemporaryDirectory(prefix="qm-prometheus-") as folder:
        try:
            for site, lines in (("north", NORTH), ("south", SOUTH)):
                services[site] = ServiceWithLines(
                    args.sim, args.service, args.module, 0, 0, lines=lines,
                    extra_config=f"\n[http]\nport = {ports[site]}\n")
            prometheus = Prometheus(folder, PROMETHEUS.format(
                rules=os.path.abspath(args.rules), **ports))
            try:
                if all(wait_for_port(p, services[s].service) for s, p in ports.items()):
                    if checks.check("Prometheus is ready", prometheus.ready()):
                        check(checks, prometheus, services)
                else:
                    checks.check("both services serve HTTP", False)
            finally:
                status = prometheus.stop()
                checks.check("Prometheus stopped cleanly on SIGTERM", status == 0, status)
                if checks.failed:
                    with open(prometheus.log_path) as f:
                        print("prometheus said:\n" + f.read())
        finally:
            for site, lines in services.items():
                status = lines.stop()
                checks.check(f"{site} qm4720d stopped cleanly on SIGTERM", status == 0, status)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
