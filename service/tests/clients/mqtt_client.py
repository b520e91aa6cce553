#!/usr/bin/python3
"""qm4720d's MQTT publisher against Debian's mosquitto, read by mosquitto_sub.

    mqtt_client.py --sim QM4720SIM --service QM4720D --module MODULE

Starts mosquitto on a free 127.0.0.1 port with a file of its own (no persistence) and qm4720d
over the two simulated lines of qm4720d_lines.py with [mqtt] writes on, each by process id, and
checks: the retained readings hold the simulators' values (a silent meter's as failed, with no
value), the status topic says online; writes through .../set reach the meter or are refused with
the right outcome and the value sent on the result topic, and are logged (a flood said once a
second with a count); after a reload with writes off a .../set is not acted on; while the broker
is stopped the bounded queue drops its oldest messages, counted in /metrics (parsed by the
Prometheus client library), and once the broker is back the readings arrive again; after kill -9
of qm4720d the broker's last will says offline.
"""
import json
import os
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qm4720d_lines import ServiceWithLines, service_arguments  # noqa: E402
from metrics_client import Scrape  # noqa: E402
from server_under_test import Checks, free_port, wait_for_port  # noqa: E402
from service_http import wait_until  # noqa: E402

PREFIX = "qmt"
MQTT = """
[mqtt]
host = "127.0.0.1"
port = {port}
prefix = "{prefix}"
writes = true
queue_limit = 8

[http]
port = {http_port}
"""


class Broker:
    """mosquitto on `port`, tracked by its process id."""

    def __init__(self, port):
        self.port = port
        self.dir = tempfile.TemporaryDirectory(prefix="qm-mqtt-")
        self.conf = os.path.join(self.dir.name, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                    "log_dest none\n")
        self.start()

    def start(self):
        self.process = subprocess.Popen(["/usr/sbin/mosquitto", "-c", self.conf])
        if not wait_for_port(self.port, self.process):
            self.stop()
            raise RuntimeError("mosquitto did not listen")

    def kill(self):
        self.process.kill()
        self.process.wait()

    def stop(self):
        self.kill()
        self.dir.cleanup()


def retained(port, topic="#"):
    """What the broker keeps retained under PREFIX/`topic`: {topic: payload}."""
    out = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-v",
                          "-t", f"{PREFIX}/{topic}", "--retained-only", "-W", "1"],
                         capture_output=True, text=True).stdout
    return dict(line.split(" ", 1) for line in out.splitlines() if " " in line)


def wait_retained(port, done, seconds=10):
    """The retained messages once `done(them)` holds, or the last seen after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        them = retained(port)
        if done(them) or time.monotonic() > deadline:
            return them
        time.sleep(0.2)


def reading(them, topic):
    try:
        return json.loads(them.get(f"{PREFIX}/{topic}", "null")) or {}
    except json.JSONDecodeError:
        return {}


class Results:
    """mosquitto_sub on every result topic, read line by line on a thread of its own."""

    def __init__(self, port):
        self.process = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port),
                                         "-v", "-t", f"{PREFIX}/+/+/+/result"],
                                        stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def next(self, seconds):
        """(topic, payload as JSON) of the next result, or None within `seconds`."""
        try:
            topic, payload = self.lines.get(timeout=seconds).split(" ", 1)
            return topic, json.loads(payload)
        except (queue.Empty, ValueError):
            return None

    def stop(self):
        self.process.kill()
        self.process.wait()


def publish(port, topic, payload, retain=False):
    """Publishes `payload` (None: an empty message, which clears a retained one)."""
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "-q", "1",
                    "-t", f"{PREFIX}/{topic}"] + (["-n"] if payload is None else ["-m", payload])
                   + (["-r"] if retain else []), check=True)


def reload(lines, log_path, count, change=None):
    """SIGHUP to qm4720d, after `change` to its file; True once it runs the file again."""
    if change:
        with open(lines.config) as f:
            config = f.read()
        with open(lines.config, "w") as f:
            f.write(config.replace(*change))
    lines.service.send_signal(signal.SIGHUP)
    return (wait_log(log_path, "configuration reloaded", count=count)
            and wait_log(log_path, "MQTT: connected", count=count + 1))


def wait_log(path, text, count=1, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(path) as f:
            if f.read().count(text) >= count:
                return True
        time.sleep(0.1)
    return False


def run(args, checks, broker, log_path):
    results = Results(broker.port)
    http_port = free_port()
    metrics = f"http://127.0.0.1:{http_port}/metrics"
    with open(log_path, "w") as log:
        lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                                 output=log, extra_config=MQTT.format(
                                     port=broker.port, prefix=PREFIX, http_port=http_port))
    try:
        if not wait_log(log_path, "MQTT: connected") or lines.service.poll() is not None:
            checks.check("qm4720d runs and reaches the broker", False)
            return
        # Retained readings, as the simulators hold them.
        # Station 0's floats as the meter sent them, not as their float widens to a double.
        expected = {"a/1/PV": 21.5, "a/1/OP": -3.25, "a/1/SP": 100.25, "a/12/PV": 7.125,
                    "b/3/PV": -12.75, "b/3/SP": 60.0, "b/0/PV": 99.95, "b/0/SP": 48.815,
                    "b/0/PN": 7}
        them = wait_retained(broker.port, lambda t: all(
            reading(t, k).get("value") == v for k, v in expected.items())
            and reading(t, "b/9/PV").get("state") == "failed")
        checks.check("status online", them.get(f"{PREFIX}/status") == "online",
                     them.get(f"{PREFIX}/status"))
        for topic, value in expected.items():
            r = reading(them, topic)
            checks.check(f"retained {topic} = {value}", r.get("value") == value
                         and r.get("state") == "good" and r.get("quality") == 192
                         and str(r.get("time", "")).endswith("Z"), r)
        silent = reading(them, "b/9/PV")
        checks.check("silent meter: failed, no value, the driver's error and its gloss",
                     silent.get("state") == "failed" and "value" in silent
                     and silent["value"] is None and silent.get("error_code", -1) >= 0
                     and silent.get("error") != "" and silent.get("gloss") != "", silent)

        # Writes, each answered on its result topic with the value sent (null when none was).
        writes = [
            ("done", "a/1/SP", '{"value": 42.5, "id": "w1"}', "done", "w1", 42.5),
            ("read-only in the model", "a/1/PV", "1", "not-writable", None, None),
            ("not configured writable", "a/12/SP", "1", "not-writable", None, None),
            ("no such line", "x/1/SP", "1", "not-writable", None, None),
            ("refused by the meter", "b/7/RT", "1.5", "refused-by-meter", None, 1.5),
            ("refused by the driver", "a/1/SP", "10000000", "refused-by-driver", None, None),
            ("not a number", "a/1/SP", "forty", "bad-request", None, None),
            # An INT is the meter's 16 bits: 65538 would reach it as 2.
            ("an INT past 16 bits", "b/0/PN", '{"value": 65538, "id": "w2"}', "refused-by-driver",
             "w2", None),
            # Station 0, as Modbus unit 0 and HTTP reach it; more digits than the field has.
            ("station 0, six characters", "b/0/SP", '{"value": 42.123456, "id": "w3"}', "done",
             "w3", 42.123),
        ]
        for what, topic, payload, outcome, request_id, sent in writes:
            publish(broker.port, f"{topic}/set", payload)
            got = results.next(10)
            ok = (got is not None and got[0] == f"{PREFIX}/{topic}/result"
                  and got[1].get("outcome") == outcome
                  and got[1].get("ok") == (outcome == "done")
                  and got[1].get("id") == request_id and got[1].get("value") == sent)
            checks.check(f"write {what}: {outcome}, value {sent}", ok, got)
        them = wait_retained(broker.port, lambda t: reading(t, "a/1/SP").get("value") == 42.5
                             and reading(t, "b/0/SP").get("value") == 42.123)
        checks.check("the written values are read back from the meters",
                     reading(them, "a/1/SP").get("value") == 42.5
                     and reading(them, "b/0/SP").get("value") == 42.123,
                     (reading(them, "a/1/SP"), reading(them, "b/0/SP")))
        checks.check("refused writes left the meters alone",
                     reading(them, "a/1/PV").get("value") == 21.5
                     and reading(them, "b/0/PN").get("value") == 7,
                     (reading(them, "a/1/PV"), reading(them, "b/0/PN")))
        checks.check("MQTT writes are logged with what was sent and what came of it",
                     wait_log(log_path, 'write by MQTT id "w1": line a station 1 SP = 42.5: done')
                     and wait_log(log_path, 'write by MQTT id "w3": line b station 0 SP = 42.123 '
                                  '(requested 42.123456): done')
                     and wait_log(log_path, "PN = 65538: refused by driver"))

        # A flood: each message is either written (and logged) or answered at once, and those
        # are said once a second with their count, not a line each.
        flood = 200
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-q", "1",
                        "-t", f"{PREFIX}/a/1/SP/set", "-l"], input="42.5\n" * flood, text=True,
                       check=True)

        def flood_said():
            with open(log_path) as f:
                said = f.read()
            # Written whatever the meter made of it: on a loaded machine one may time out.
            written = said.count("write by MQTT: line a station 1 SP = 42.5: ")
            summaries = [int(n) for n in re.findall(
                r"MQTT: (\d+) write\(s\) answered no-answer at once", said)]
            return written, summaries
        wait_until(lambda: sum(flood_said()[1]) + flood_said()[0] >= flood, 30)
        written, summaries = flood_said()
        checks.check(f"a flood of {flood}: every message written or counted, the ones answered "
                     "at once said in a line a second",
                     written + sum(summaries) == flood and 1 <= len(summaries) <= 3,
                     (written, summaries))
        while results.next(2) is not None:  # the flood's answers, before the checks below
            pass

        # A retained .../set is acted on when it comes, never again on a new subscription.
        publish(broker.port, "a/1/SP/set", "43.5", retain=True)
        got = results.next(10)
        checks.check("retained write acted on when it comes",
                     got is not None and got[1].get("outcome") == "done", got)
        checks.check("reloaded", reload(lines, log_path, 1))
        got = results.next(2)
        checks.check("retained write not acted on again after a reload", got is None, got)
        publish(broker.port, "a/1/SP/set", None, retain=True)

        # Writes off after a reload: a .../set is not acted on.
        checks.check("reloaded with writes off",
                     reload(lines, log_path, 2, ("writes = true", "writes = false")))
        publish(broker.port, "a/1/SP/set", "7")
        got = results.next(2)
        checks.check("writes off: no result", got is None, got)
        time.sleep(0.6)  # three polls
        checks.check("writes off: the meter keeps its value",
                     reading(retained(broker.port), "a/1/SP").get("value") == 43.5)

        # The broker away: the queue keeps the newest 8 messages and counts the rest as dropped.
        results.stop()
        broker.kill()

        def mqtt(scrape, name, suffix=""):
            samples = scrape.samples("qm4720_mqtt_" + name, suffix)
            return samples[0].value if samples else None

        def dropping():
            scrape = Scrape(metrics)
            return (mqtt(scrape, "connected") == 0
                    and (mqtt(scrape, "messages_dropped", "_total") or 0) > 0
                    and mqtt(scrape, "messages_queued") == 8) and scrape
        scrape = wait_until(dropping, 15)
        checks.check("broker away: not connected, 8 queued, the oldest dropped and counted",
                     bool(scrape), scrape and {n: mqtt(scrape, n) for n in ("connected",
                                                                           "messages_queued")})
        broker.start()

        def back():
            scrape = Scrape(metrics)
            return (mqtt(scrape, "connected") == 1 and mqtt(scrape, "messages_queued") == 0
                    and (mqtt(scrape, "reconnects", "_total") or 0) >= 1)
        checks.check("broker back: reconnected, the queue sent", wait_until(back, 40))
        them = wait_retained(broker.port, lambda t: reading(t, "a/12/PV").get("value") == 7.125
                             and t.get(f"{PREFIX}/status") == "online")
        checks.check("broker back: online and readings published again",
                     reading(them, "a/12/PV").get("value") == 7.125, them.get(f"{PREFIX}/status"))

        # The last will when qm4720d dies without a word.
        lines.service.kill()
        lines.service.wait()
        them = wait_retained(broker.port, lambda t: t.get(f"{PREFIX}/status") == "offline")
        checks.check("last will after kill -9: offline",
                     them.get(f"{PREFIX}/status") == "offline", them.get(f"{PREFIX}/status"))
    finally:
        lines.stop()
        results.stop()


def main():
    args = service_arguments(__doc__)
    checks = Checks()
    broker = Broker(free_port())
    with tempfile.TemporaryDirectory(prefix="qm-mqtt-log-") as folder:
        log_path = os.path.join(folder, "qm4720d.log")
        try:
            run(args, checks, broker, log_path)
        finally:
            broker.stop()
            if checks.failed:
                with open(log_path) as f:
                    print("qm4720d said:\n" + f.read())
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
