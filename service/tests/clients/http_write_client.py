#!/usr/bin/python3
"""POST /api/v1/write of qm4720d with writes on, against the lines of qm4720d_lines.py: every
refusal (no token, a wrong one, a register read-only or not configured writable, a bad body, an
unknown line or station, a value the meter's field cannot carry, the meter, a silent meter)
answered with its status and leaving the meter as it was, the client's refusals counted apart
from the line's exchanges; then writes with the token, answered done with the value sent and
read back from the simulated meter through the service's polls, each logged once. (Writes off:
metrics_client.py.)

    http_write_client.py --sim QM4720SIM --service QM4720D --module MODULE
"""
import http.client
import json
import os
import tempfile
import time

from qm4720d_lines import ServiceWithLines, service_arguments
from metrics_client import Scrape
from server_under_test import Checks, free_port, wait_for_port
from service_http import request, wait_until

TOKEN = "s3cret-token-0123456789"
SP1 = {"line": "a", "station": 1, "register": "SP"}  # polled, writable, 100.25 on the simulator
PN0 = {"line": "b", "station": 0, "register": "PN"}  # an INT, polled, writable, 7

# (what, Authorization header or None, body, status, what the answer's error or outcome says)
REFUSALS = [
    ("no Authorization header", None, {**SP1, "value": 1}, 401, "Authorization: Bearer"),
    ("another scheme", "Basic " + TOKEN, {**SP1, "value": 1}, 401, "Authorization: Bearer"),
    ("a wrong token of the same length", "Bearer " + "x" * len(TOKEN), {**SP1, "value": 1},
     401, "token"),
    ("the token and a byte more", "Bearer " + TOKEN + "x", {**SP1, "value": 1}, 401, "token"),
    ("a wrong token tells nothing of the line", "Bearer " + "x" * len(TOKEN),
     {"line": "zz", "station": 1, "register": "SP", "value": 1}, 401, "token"),
    ("read-only in the model", "Bearer " + TOKEN,
     {"line": "a", "station": 1, "register": "PV", "value": 1}, 403, "read-only"),
    ("not configured writable", "Bearer " + TOKEN,
     {"line": "a", "station": 12, "register": "SP", "value": 1}, 403, "not configured writable"),
    ("not JSON", "Bearer " + TOKEN, "SP=1", 400, "not a JSON object"),
    ("a value that is not a number", "Bearer " + TOKEN, {**SP1, "value": "1"}, 400, "\"value\""),
    ("a station past 99", "Bearer " + TOKEN, {**SP1, "station": 100, "value": 1}, 400,
     "\"station\""),
    ("no register", "Bearer " + TOKEN, {"line": "a", "station": 1, "value": 1}, 400,
     "\"register\""),
    ("an unknown line", "Bearer " + TOKEN,
     {"line": "zz", "station": 1, "register": "SP", "value": 1}, 404, "no line"),
    ("a station not on the line", "Bearer " + TOKEN,
     {"line": "a", "station": 3, "register": "SP", "value": 1}, 404, "no station 3"),
    ("refused by the driver", "Bearer " + TOKEN, {**SP1, "value": 1e7}, 422,
     "refused by driver"),
    # An INT is the meter's 16 bits: 40000 would reach it as -25536, 2.7 as 2.
    ("an INT past 16 bits", "Bearer " + TOKEN, {**PN0, "value": 40000}, 422, "refused by driver"),
    ("an INT not whole", "Bearer " + TOKEN, {**PN0, "value": 2.7}, 422, "refused by driver"),
    ("refused by the meter", "Bearer " + TOKEN,
     {"line": "b", "station": 7, "register": "RT", "value": 1.5}, 502, "refused by meter"),
    ("the meter is silent", "Bearer " + TOKEN,
     {"line": "b", "station": 9, "register": "SP", "value": 1}, 504, "no answer"),
]


def value_of(url, line_name="a", station=1, register="SP"):
    """A register's value as /api/v1/values serves it (None unless good)."""
    _, _, body = request(url + "/api/v1/values")
    for line in json.loads(body)["lines"]:
        for meter in line["meters"]:
            for reg in meter["registers"]:
                if (line["name"], meter["station"], reg["register"]) == (line_name, station,
                                                                          register):
                    return reg["value"]
    return None


def sp_of_station_1(url):
    return value_of(url)


def main():
    args = service_arguments(__doc__)
    checks = Checks()
    port = free_port()
    extra = f'\n[http]\nport = {port}\nwrites = true\nwrite_token = "{TOKEN}"\n'
    folder = tempfile.TemporaryDirectory(prefix="qm-http-log-")
    log_path = os.path.join(folder.name, "qm4720d.log")
    with open(log_path, "w") as log:
        lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                                 output=log, extra_config=extra)
    try:
        url = f"http://127.0.0.1:{port}"
        if not wait_for_port(port, lines.service):
            raise SystemExit("qm4720d did not serve HTTP")
        checks.check("SP of station 1 reads the simulator's 100.25",
                     wait_until(lambda: sp_of_station_1(url) == 100.25, 5),
                     sp_of_station_1(url))
        write = url + "/api/v1/write"
        for what, authorization, body, status, says in REFUSALS:
            headers = {} if authorization is None else {"Authorization": authorization}
            got, _, text = request(write, body, headers)
            try:
                reply = json.loads(text)
            except ValueError:
                reply = {}
            told = reply.get("error", "") + " " + reply.get("outcome", "")
            checks.check(f"{what}: {status}, ok false, saying '{says}'",
                         got == status and reply.get("ok") is False and says in told,
                         (got, text))
        got, _, _ = request(write, " " * 100_000, {"Authorization": "Bearer " + TOKEN})
        checks.check("a body of 100 kB: 413", got == 413, got)
        checks.check("after the refusals SP of station 1 is still 100.25",
                     sp_of_station_1(url) == 100.25, sp_of_station_1(url))
        checks.check("after the refusals PN of station 0 is still 7",
                     value_of(url, "b", 0, "PN") == 7, value_of(url, "b", 0, "PN"))
        scrape = Scrape(url + "/metrics")
        refusals = scrape.by_line("qm4720_write_refusals", "", "_total")
        outcomes = scrape.outcomes()
        checks.check("the client's refusals are counted apart, not as faults of the line",
                     refusals.get(("a", "")) == 1 and refusals.get(("b", "")) == 2
                     and outcomes.get(("b", "other_error")) == 0
                     and outcomes.get(("a", "other_error")) == 0, (refusals, outcomes))
        # The meter's floats as it sent them, not as their float widens to a double.
        def station_0_floats():
            return (value_of(url, "b", 0, "PV"), value_of(url, "b", 0, "SP"))
        checks.check("station 0's PV and SP: 99.95 and 48.815",
                     wait_until(lambda: station_0_floats() == (99.95, 48.815), 5),
                     station_0_floats())

        got, _, text = request(write, {**SP1, "value": 42.5}, {"Authorization": "Bearer " + TOKEN})
        reply = json.loads(text) if got == 200 else {}
        checks.check("a write with the token: 200, done",
                     got == 200 and reply.get("ok") is True and reply.get("outcome") == "done"
                     and reply.get("value") == 42.5, (got, text))
        checks.check("the simulated meter holds it: SP of station 1 reads 42.5 within 2 s",
                     wait_until(lambda: sp_of_station_1(url) == 42.5, 2), sp_of_station_1(url))
        # More digits than the field has: done with the value sent, which the meter then holds.
        got, _, text = request(write, {**PN0, "register": "SP", "value": 42.123456},
                               {"Authorization": "Bearer " + TOKEN})
        reply = json.loads(text) if got == 200 else {}
        checks.check("station 0 SP = 42.123456: done, value 42.123, requested 42.123456",
                     got == 200 and reply.get("outcome") == "done"
                     and reply.get("value") == 42.123 and reply.get("requested") == 42.123456,
                     (got, text))
        checks.check("the simulated meter holds 42.123",
                     wait_until(lambda: value_of(url, "b", 0, "SP") == 42.123, 2),
                     value_of(url, "b", 0, "SP"))
        with open(log_path) as f:
            said = f.read()
        checks.check("each write that reached a gateway logged once with the client's address",
                     said.count("write by HTTP 127.0.0.1:") == 9
                     and said.count("SP = 42.123 (requested 42.123456): done") == 1
                     and said.count("PN = 40000: refused by driver (INT") == 1, said)
        # A client that keeps its connection open, as a browser does between two updates.
        idle = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        idle.request("GET", "/api/v1/values")
        idle.getresponse().read()
    finally:
        started = time.monotonic()
        status = lines.stop()
        took = time.monotonic() - started
    checks.check("qm4720d stopped cleanly on SIGTERM within 2 s, a kept-alive client connected",
                 status == 0 and took < 2, (status, round(took, 2)))
    if checks.failed:
        with open(log_path) as f:
            print("qm4720d said:\n" + f.read())
    folder.cleanup()
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
