#!/usr/bin/python3
"""GET /healthz and GET /livez of qm4720d as a monitor reads them (urllib), against real
simulators:
  - the lines of qm4720d_lines.py, where station 9 of line "b" is configured but not simulated:
    503, and the one problem named is that meter, the good ones beside it are not;
  - one line of its own: 200 once every register answered, 503 naming the line once its
    simulator is killed (and never 200 while it is away), 200 again once a simulator is back
    on the same link.

    health_client.py --sim QM4720SIM --service QM4720D --module MODULE
"""
import json

from qm4720d_lines import LINES, ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port
from service_http import request, wait_until

# One line, two meters, polled every 0.2 s: each register's allowed age is 0.6 s.
ONE_LINE = """\
[[line]]
name = "a"
port = "{link_a}"
reply_timeout_ms = 200
    [[line.meter]]
    station = 1
        [[line.meter.poll]]
        registers = ["PV", "OP"]
        interval_s = 0.2
    [[line.meter]]
    station = 12
    model = "QM4720N"
        [[line.meter.poll]]
        registers = ["PV"]
        interval_s = 0.2
"""


def health(port):
    """(status, body as JSON or its text) of GET /healthz."""
    status, _, text = request(f"http://127.0.0.1:{port}/healthz")
    try:
        return status, json.loads(text)
    except ValueError:
        return status, text


def named(body):
    """The (line, station or None, problem) of each problem of a /healthz body."""
    if not isinstance(body, dict):
        return []
    return [(p.get("line"), p.get("station"), p.get("problem")) for p in body.get("problems", [])]


def one_silent_meter_among_good_ones(args, checks):
    port = free_port()
    lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                             extra_config=f"\n[http]\nport = {port}\n")
    try:
        checks.check("qm4720d serves HTTP", wait_for_port(port, lines.service))
        # Starting until its first request times out, then failed, then silent.
        nine_only = ([("b", 9, "failed")], [("b", 9, "silent")])
        wait_until(lambda: named(health(port)[1]) in nine_only, 10)
        status, body = health(port)
        checks.check("a meter that never answers among good ones: 503", status == 503, body)
        checks.check("the problem named is station 9 of line b alone, failed or silent",
                     named(body) in nine_only, body)
        problem = body["problems"][0] if named(body) else {}
        checks.check("it never had a good value: no time since which it is missing",
                     problem.get("since", 0) is None and problem.get("registers") == ["PV"],
                     problem)
    finally:
        status = lines.stop()
    checks.check("qm4720d stopped cleanly on SIGTERM", status == 0, status)


def simulator_killed_and_back(args, checks):
    port = free_port()
    lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                             extra_config=f"\n[http]\nport = {port}\n",
                             lines=({"a": LINES["a"]}, ONE_LINE))
    try:
        checks.check("qm4720d serves HTTP", wait_for_port(port, lines.service))
        status, _, text = request(f"http://127.0.0.1:{port}/livez")
        checks.check("GET /livez: 200 alive",
                     (status, json.loads(text)) == (200, {"status": "alive"}), (status, text))
        first_status, first_body = health(port)
        checks.check("right after the start: healthy, or 503 'starting' with nothing else",
                     first_status == 200 or (first_status == 503 and all(
                         p == "starting" for _, _, p in named(first_body))), first_body)
        wait_until(lambda: health(port)[0] == 200, 5)
        status, body = health(port)
        checks.check("every register answered: 200 healthy with no problem",
                     (status, body) == (200, {"status": "healthy", "problems": []}), body)

        lines.kill_sim("a")
        wait_until(lambda: health(port)[0] == 503, 5)
        status, body = health(port)
        checks.check("the simulator killed: 503 unhealthy", status == 503
                     and isinstance(body, dict) and body.get("status") == "unhealthy", body)
        checks.check("every problem is on line a, and there is one",
                     named(body) and all(line == "a" for line, _, _ in named(body)), body)
        statuses = set()
        for _ in range(20):
            statuses.add(health(port)[0])
        checks.check("while the simulator is away, never 200", statuses == {503}, statuses)
        status, _, _ = request(f"http://127.0.0.1:{port}/livez")
        checks.check("GET /livez stays 200 meanwhile", status == 200, status)

        lines.start_sim("a")
        # The reopen backoff doubles from 1 s: the next attempt is a few seconds away.
        wait_until(lambda: health(port)[0] == 200, 15)
        status, body = health(port)
        checks.check("a simulator on the same link: 200 healthy again", status == 200, body)
    finally:
        status = lines.stop()
    checks.check("qm4720d stopped cleanly on SIGTERM", status == 0, status)


def main():
    args = service_arguments(__doc__)
    checks = Checks()
    one_silent_meter_among_good_ones(args, checks)
    simulator_killed_and_back(args, checks)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
