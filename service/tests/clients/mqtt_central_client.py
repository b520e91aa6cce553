#!/usr/bin/python3
"""Two qm4720d services feeding one central mosquitto, as a plant's central store is fed.

    mqtt_central_client.py --sim QM4720SIM --service QM4720D --module MODULE

One mosquitto on a free 127.0.0.1 port; two services, each over a simulator of its own, with
prefixes plant/north and plant/south and client ids of their own, and both calling their line
"a" and its meter at station 1. Everything is started and stopped by process id. A mosquitto_sub
on the topics a central store takes (docs/mqtt-feed.md) started before them sees both services' readings and both
status topics online; one that subscribes later is handed the same state retained; after
SIGKILL of north, the broker publishes north's last will (offline) while south's readings keep
coming, and keeps north's status offline beside its last reading.
"""
import json
import os
import queue
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mqtt_client import Broker  # noqa: E402
from qm4720d_lines import ServiceWithLines, service_arguments  # noqa: E402
from server_under_test import Checks, free_port  # noqa: E402

# Each service's line: its own simulator, station 1 holding PV[site].
LINE = """
[[line]]
name = "a"
port = "{link_a}"
reply_timeout_ms = 200
    [[line.meter]]
    station = 1
        [[line.meter.poll]]
        registers = ["PV"]
        interval_s = 0.2
"""
PV = {"north": 21.5, "south": -12.75}
MQTT = """
[mqtt]
host = "127.0.0.1"
port = {port}
prefix = "plant/{site}"
client_id = "qm4720d-{site}"
"""


class Subscriber:
    """mosquitto_sub -v on `topic`, its messages read on a thread of their own."""

    def __init__(self, port, topic, *options):
        self.process = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port),
                                         "-v", "-t", topic, *options],
                                        stdout=subprocess.PIPE, text=True)
        self.messages = queue.Queue()
        self.seen = []  # (topic, payload), in the order they came
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            self.messages.put((topic, payload))

    def wait(self, done, seconds):
        """True once `done(self.seen)` holds, within `seconds`."""
        deadline = time.monotonic() + seconds
        while not done(self.seen):
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            try:
                self.seen.append(self.messages.get(timeout=min(left, 0.2)))
            except queue.Empty:
                pass
        return True

    def finish(self):
        """What a subscription that ends by itself (-W, --retained-only) was sent: {topic:
        payload}."""
        self.process.wait()
        self.reader.join()
        while not self.messages.empty():
            self.seen.append(self.messages.get())
        return dict(self.seen)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


# What docs/mqtt-feed.md tells a store to subscribe to: every service's status and readings.
STORE = ["plant/+/status", "-t", "plant/+/+/+/+"]


def retained(port):
    """{topic: payload} that the broker keeps retained for the store."""
    return Subscriber(port, *STORE, "--retained-only", "-W", "2").finish()


def value(payload):
    try:
        reading = json.loads(payload)
    except json.JSONDecodeError:
        return None
    return reading.get("value") if isinstance(reading, dict) and reading.get(
        "state") == "good" else None


def fed(seen, site):
    """True when `seen` ((topic, payload) pairs) holds `site`'s status online and a good reading
    of its simulator's PV."""
    seen = list(seen)
    return (("plant/" + site + "/status", "online") in seen
            and any(t == f"plant/{site}/a/1/PV" and value(p) == PV[site] for t, p in seen))


def run(args, checks, broker):
    central = Subscriber(broker.port, *STORE)
    services = {}
    try:
        for site in PV:
            services[site] = ServiceWithLines(
                args.sim, args.service, args.module, 0, 0,
                lines=({"a": ["--station", "1", "--set", f"1:PV={PV[site]}"]}, LINE),
                extra_config=MQTT.format(port=broker.port, site=site))
        checks.check("the central subscriber sees both services online and their readings",
                     central.wait(lambda seen: all(fed(seen, site) for site in PV), 15),
                     central.seen[-10:])

        late = retained(broker.port)
        checks.check("a subscriber that comes later is handed both services' state, retained",
                     all(fed(late.items(), site) for site in PV), late)

        north = services["north"].service
        north.kill()
        north.wait()
        killed = len(central.seen)
        checks.check("north killed: the broker publishes its last will, offline",
                     central.wait(lambda seen: ("plant/north/status", "offline") in seen[killed:],
                                  10), central.seen[killed:])
        will = central.seen.index(("plant/north/status", "offline"), killed)
        checks.check("south keeps publishing after north's last will",
                     central.wait(lambda seen: sum(
                         t == "plant/south/a/1/PV" and value(p) == PV["south"]
                         for t, p in seen[will:]) >= 5, 10), central.seen[will:])
        # A store that comes now learns that north's last reading is from a service gone.
        late = retained(broker.port)
        checks.check("retained now: north offline beside its last reading, south online",
                     late.get("plant/north/status") == "offline"
                     and value(late.get("plant/north/a/1/PV", "")) == PV["north"]
                     and late.get("plant/south/status") == "online", late)
    finally:
        central.stop()
        for site, lines in services.items():
            status = lines.stop()
            if site == "south":
                checks.check("south stopped cleanly on SIGTERM", status == 0, status)


def main():
    args = service_arguments(__doc__)
    checks = Checks()
    broker = Broker(free_port())
    try:
        run(args, checks, broker)
    finally:
        broker.stop()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
