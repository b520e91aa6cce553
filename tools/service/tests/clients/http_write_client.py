#!/usr/bin/python3
"""POST /api/v1/write of qm4720d with writes on, against the lines of qm4720d_lines.py: every
refusal (no token, a wrong one, a register read-only or not configured writable, a bad body, an
unknown line or station, the driver, the meter, a silent meter) answered with its status and
leaving the meter as it was; then a write with the token, answered done and read back from the
simulated meter through the service's polls. (Writes off: metrics_client.py.)

    http_write_client.py --sim QM4720SIM --service QM4720D --module MODULE
"""
import http.client
import json
import time

from qm4720d_lines import ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port
from service_http import request, wait_until

TOKEN = "s3cret-token-0123456789"
SP1 = {"line": "a", "station": 1, "register": "SP"}  # polled, writable, 100.25 on the simulator

# (what, Authorization header or None, body, status, what the answer's error or outcome says)
REFUSALS = [
    ("no Authorization header", None, {**SP1, "value": 1}, 403, "Authorization: Bearer"),
    ("another scheme", "Basic " + TOKEN, {**SP1, "value": 1}, 403, "Authorization: Bearer"),
    ("a wrong token of the same length", "Bearer " + "x" * len(TOKEN), {**SP1, "value": 1},
     403, "token"),
    ("the token and a byte more", "Bearer " + TOKEN + "x", {**SP1, "value": 1}, 403, "token"),
    ("a wrong token tells nothing of the line", "Bearer " + "x" * len(TOKEN),
     {"line": "zz", "station": 1, "register": "SP", "value": 1}, 403, "token"),
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
    ("refused by the meter", "Bearer " + TOKEN,
     {"line": "b", "station": 7, "register": "RT", "value": 1.5}, 502, "refused by meter"),
    ("the meter is silent", "Bearer " + TOKEN,
     {"line": "b", "station": 9, "register": "SP", "value": 1}, 504, "no answer"),
]


def sp_of_station_1(url):
    """SP of station 1 on line a as /api/v1/values serves it (None unless good)."""
    _, _, body = request(url + "/api/v1/values")
    for line in json.loads(body)["lines"]:
        for meter in line["meters"]:
            for reg in meter["registers"]:
                if (line["name"], meter["station"], reg["register"]) == ("a", 1, "SP"):
                    return reg["value"]
    return None


def main():
    args = service_arguments(__doc__)
    checks = Checks()
    port = free_port()
    extra = f'\n[http]\nport = {port}\nwrites = true\nwrite_token = "{TOKEN}"\n'
    lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                             extra_config=extra)
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

        got, _, text = request(write, {**SP1, "value": 42.5}, {"Authorization": "Bearer " + TOKEN})
        reply = json.loads(text) if got == 200 else {}
        checks.check("a write with the token: 200, done",
                     got == 200 and reply.get("ok") is True and reply.get("outcome") == "done"
                     and reply.get("value") == 42.5, (got, text))
        checks.check("the simulated meter holds it: SP of station 1 reads 42.5 within 2 s",
                     wait_until(lambda: sp_of_station_1(url) == 42.5, 2), sp_of_station_1(url))
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
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
