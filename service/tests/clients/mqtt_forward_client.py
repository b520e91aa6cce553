#!/usr/bin/python3
"""qm4720d's MQTT store-and-forward from its history, against Debian's mosquitto.

    mqtt_forward_client.py --sim QM4720SIM --service QM4720D --module MODULE
                           --outage-s SECONDS --max-age-s SECONDS [--queue-limit N]

Starts mosquitto on a free 127.0.0.1 port, qm4720d over the simulated lines of qm4720d_lines.py
with [history] and [mqtt], and a subscriber (mosquitto_sub, started again whenever the broker
drops it), each by process id. Stops the broker while readings flow, kills qm4720d with SIGKILL
half-way through the outage and starts it again, then starts the broker again. With
--max-age-s 0: every reading the history holds of the outage reaches the subscriber exactly
once, in order per register, with its original time and marked historical when the killed run
took it, and live readings follow. With a max age: the readings older than it are not sent but
counted in qm4720_mqtt_replay_skipped_total, and those sent are the newest of the outage. With a
short --queue-limit, the readings the new run dropped from its full queue come from the history
too.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from datetime import datetime, timezone

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mqtt_client import Broker  # noqa: E402
from qm4720d_lines import ServiceWithLines  # noqa: E402
from server_under_test import Checks, free_port, wait_for_port  # noqa: E402
from service_http import request, wait_until  # noqa: E402

PREFIX = "qmf"
CONFIG = """
[history]
database = "{{dir}}/history.db"

[mqtt]
host = "127.0.0.1"
port = {port}
prefix = "{prefix}"
replay_max_age_s = {max_age}
queue_limit = {queue_limit}

[http]
port = {http_port}
"""


def utc_ms(text):
    return int(datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")
               .replace(tzinfo=timezone.utc).timestamp() * 1000 + 0.5)


def iso(ms):
    return datetime.fromtimestamp(ms / 1000, timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


class Subscriber:
    """Every reading under PREFIX as (topic, time ms, historical), in the order it arrived."""

    def __init__(self, port):
        self.port = port
        self.got = []
        self.lock = threading.Lock()
        self.stopping = False
        self.process = None
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopping:
            self.process = subprocess.Popen(
                ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-q", "1", "-v",
                 "-t", f"{PREFIX}/+/+/+"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                text=True)
            for line in self.process.stdout:
                topic, _, payload = line.rstrip("\n").partition(" ")
                try:
                    body = json.loads(payload)
                except json.JSONDecodeError:
                    continue
                with self.lock:
                    self.got.append((topic, utc_ms(body["time"]), body.get("historical", False)))
            self.process.wait()
            time.sleep(0.05)

    def readings(self):
        with self.lock:
            return list(self.got)

    def stop(self):
        self.stopping = True
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
        self.thread.join(timeout=5)


def history_rows(http_port, since_ms, until_ms):
    """The history's rows in [since_ms, until_ms) as {(topic, time ms)}, read by the service."""
    query = urllib.parse.urlencode({"since": iso(since_ms - 1000), "until": iso(until_ms),
                                    "format": "csv"})
    status, _, body = request(f"http://127.0.0.1:{http_port}/api/v1/history?{query}")
    if status != 200:
        raise RuntimeError(f"history: {status} {body}")
    rows = set()
    for line in body.splitlines()[1:]:
        fields = line.split(",")
        time_ms = int(fields[1])
        if since_ms <= time_ms < until_ms:
            rows.add((f"{PREFIX}/{fields[2]}/{fields[3]}/{fields[4]}", time_ms))
    return rows


def metric(http_port, name):
    _, _, body = request(f"http://127.0.0.1:{http_port}/metrics")
    found = re.search(rf"^{name} (\S+)$", body, re.M)
    return float(found.group(1)) if found else None


def start_service(args, lines, log):
    return subprocess.Popen([args.service, "--config", lines.config, "--module", args.module],
                            stdout=log, stderr=subprocess.STDOUT)


def run(args, checks, broker, log):
    http_port = free_port()
    lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                             output=log, extra_config=CONFIG.format(
                                 port=broker.port, prefix=PREFIX, http_port=http_port,
                                 max_age=args.max_age_s, queue_limit=args.queue_limit))
    subscriber = Subscriber(broker.port)
    try:
        if not wait_for_port(http_port, lines.service):
            checks.check("qm4720d runs", False)
            return
        wait_until(lambda: len(subscriber.readings()) >= 10, 10)
        # The outage: the broker gone, then the service killed and started again during it.
        outage_ms = int(time.time() * 1000)
        broker.kill()
        time.sleep(args.outage_s / 2)
        lines.service.send_signal(signal.SIGKILL)
        lines.service.wait()
        restart_ms = int(time.time() * 1000)
        lines.service = start_service(args, lines, log)
        wait_for_port(http_port, lines.service)
        time.sleep(args.outage_s / 2)
        back_ms = int(time.time() * 1000)
        broker.start()

        expected = history_rows(http_port, outage_ms, back_ms)
        killed_run = {row for row in expected if row[1] < restart_ms}

        def arrived():
            got = {(t, ms) for t, ms, _ in subscriber.readings()}
            if args.max_age_s == 0:
                return expected <= got
            return (metric(http_port, "qm4720_mqtt_replay_skipped_total") or 0) > 0 and \
                any(h for _, ms, h in subscriber.readings() if ms > restart_ms - 1500)
        wait_until(arrived, 20)

        def live_after_replay():
            got = subscriber.readings()
            last = max((i for i, (_, _, h) in enumerate(got) if h), default=-1)
            return last >= 0 and any(not h and ms >= back_ms for _, ms, h in got[last + 1:])
        wait_until(live_after_replay, 10)
        got = subscriber.readings()
        in_outage = [(t, ms, h) for t, ms, h in got if outage_ms <= ms < back_ms]
        keys = [(t, ms) for t, ms, _ in in_outage]
        checks.check("the killed run's readings of the outage were in the history",
                     len(killed_run) > 0, len(killed_run))
        # (A silent meter's failed reading is published twice live, with one time: not ours.)
        twice = [k for k in killed_run if keys.count(k) > 1 or
                 (args.max_age_s == 0 and keys.count(k) == 0)]
        checks.check("the killed run's readings of the outage arrived once each", not twice,
                     sorted(twice)[:5])
        historical = [(t, ms) for t, ms, h in got if h]
        # With a short queue, the new run's own readings of the outage overflow it and come from
        # the history as well (until the service is connected again, after the broker is back).
        end_ms = back_ms + 60_000 if args.queue_limit < 100 else restart_ms
        checks.check("historical readings only of the outage",
                     all(outage_ms - 2000 <= ms < end_ms for _, ms in historical),
                     [iso(ms) for _, ms in historical if not outage_ms - 2000 <= ms < end_ms][:5])
        live = {(t, ms) for t, ms, h in got if not h}
        checks.check("no reading both live and historical", not live & set(historical),
                     sorted(live & set(historical))[:5])
        checks.check("the killed run's readings of the outage came marked historical",
                     all(h for t, ms, h in in_outage if (t, ms) in killed_run))
        per_topic = {}
        for t, ms in historical:
            per_topic.setdefault(t, []).append(ms)
        checks.check("historical readings in order", all(v == sorted(v) for v in per_topic.values()))
        checks.check("live readings follow the replay", live_after_replay(),
                     [(t, iso(ms), h) for t, ms, h in got[-4:]])
        if args.max_age_s == 0:
            missing = expected - {(t, ms) for t, ms, _ in got}
            checks.check("every reading of the outage in the history arrived", not missing,
                         sorted(missing)[:5])
            checks.check("replayed counted", (metric(http_port, "qm4720_mqtt_replayed_total") or 0)
                         >= len(killed_run), metric(http_port, "qm4720_mqtt_replayed_total"))
        else:
            missing = killed_run - set(historical)
            skipped = metric(http_port, "qm4720_mqtt_replay_skipped_total") or 0
            checks.check("readings older than replay_max_age_s counted as skipped",
                         0 < len(missing) <= skipped, (len(missing), skipped))
            newest_missing = max((ms for _, ms in missing), default=0)
            checks.check("the skipped readings are the oldest, the newer ones sent",
                         historical and all(ms > newest_missing for _, ms in historical),
                         (iso(newest_missing), [iso(ms) for _, ms in historical[:3]]))
    finally:
        subscriber.stop()
        lines.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--sim", "--service", "--module"):
        parser.add_argument(option, required=True)
    parser.add_argument("--outage-s", type=float, default=8)
    parser.add_argument("--max-age-s", type=int, default=0)
    parser.add_argument("--queue-limit", type=int, default=10000)
    args = parser.parse_args()
    checks = Checks()
    broker = Broker(free_port())
    with tempfile.TemporaryDirectory(prefix="qm-fwd-log-") as folder:
        log_path = os.path.join(folder, "qm4720d.log")
        try:
            with open(log_path, "w") as log:
                run(args, checks, broker, log)
        finally:
            broker.stop()
            if checks.failed:
                with open(log_path) as f:
                    print("qm4720d said:\n" + f.read())
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
