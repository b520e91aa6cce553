#!/usr/bin/python3
"""qm4720d's Sparkplug B payload as a host that nobody here wrote decodes it.

    sparkplug_client.py --sim QM4720SIM --service QM4720D --module MODULE --node-modules DIR

Starts mosquitto on a free 127.0.0.1 port, node with sparkplug_host.js (the published JavaScript
codec and MQTT client from DIR, installed by `make deps`), two frozen simulators and qm4720d with
[mqtt] payload = "sparkplug-b", each by process id, and checks what the host decodes: NBIRTH with
bdSeq, a DBIRTH for each meter with every polled register as a metric (name, alias unique over
the node, Float or Int32 as the model's table says, unit and label properties, the simulator's
value); a DCMD write to a writable register reaches the meter and comes back as DDATA by alias,
one to a register not configured writable does not; a stopped simulator gives DDEATH of its
meter and DBIRTH again when it is back; NCMD Node Control/Rebirth gives NBIRTH and DBIRTH again;
seq runs without a gap modulo 256 from each NBIRTH; after kill -9 of qm4720d the broker's will
is NDEATH with the bdSeq of the birth.
"""
import argparse
import json
import os
import queue
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mqtt_client import Broker, wait_log  # noqa: E402
from qm4720d_lines import ServiceWithLines  # noqa: E402
from server_under_test import Checks, free_port  # noqa: E402

SIMS = {
    "a": ["--station", "1", "--station", "2", "--set", "1:PV=21.5", "--set", "1:SP=100.25",
          "--set", "1:PN=7", "--set", "2:PV=-3.25", "--set", "2:SP=0.5"],
    "b": ["--station", "3", "--set", "3:PV=12.125"],
}
LINES = """\
[[line]]
name = "a"
port = "{link_a}"
reply_timeout_ms = 200
    [[line.meter]]
    station = 1
    writable = ["SP"]
        [[line.meter.poll]]
        registers = ["PV", "SP", "PN"]
        interval_s = 0.2
        [[line.meter.register]]
        name = "PV"
        label = "Oven"
        unit = "degC"
    [[line.meter]]
    station = 2
        [[line.meter.poll]]
        registers = ["PV", "SP"]
        interval_s = 0.2

[[line]]
name = "b"
port = "{link_b}"
reply_timeout_ms = 200
    [[line.meter]]
    station = 3
        [[line.meter.poll]]
        registers = ["PV"]
        interval_s = 0.2
"""
MQTT = """
[mqtt]
host = "127.0.0.1"
port = {port}
client_id = "qm4720d-spb"
writes = true
payload = "sparkplug-b"
group_id = "plant"
edge_node_id = "qm-test"
"""
NODE = "spBv1.0/plant/{}/qm-test"


def f32(value):
    """`value` as a Sparkplug Float carries it."""
    return struct.unpack("f", struct.pack("f", value))[0]


class Host:
    """node sparkplug_host.js, its decoded messages read on a thread of its own."""

    def __init__(self, node_modules, port):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sparkplug_host.js")
        self.process = subprocess.Popen(["node", script, "--port", str(port)],
                                        env={**os.environ, "NODE_PATH": node_modules},
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.seen = []  # every decoded message, in order
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(json.loads(line))

    def next(self, want, seconds=10):
        """The next message for which `want(message)` holds, or None within `seconds`; all of
        them are kept in `seen`."""
        deadline = time.monotonic() + seconds
        while True:
            try:
                message = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                return None
            if "topic" in message:
                self.seen.append(message)
            if want(message):
                return message

    def send(self, topic, metrics):
        self.process.stdin.write(json.dumps({"topic": topic, "payload": {
            "timestamp": int(time.time() * 1000), "metrics": metrics}}) + "\n")
        self.process.stdin.flush()

    def stop(self):
        self.process.kill()
        self.process.wait()


def topic_is(topic):
    return lambda m: m.get("topic") == topic


def metrics_by_name(message):
    return {m.get("name"): m for m in message["payload"].get("metrics", [])}


def check_births(checks, host, nbirth, written=None):
    """The DBIRTHs after `nbirth`: a-1, a-2 and b-3 with every polled register, the simulators'
    values but those `written` ({(device, name): value})."""
    bd = metrics_by_name(nbirth).get("bdSeq", {})
    checks.check("NBIRTH: seq 0, bdSeq, Node Control/Rebirth",
                 nbirth["payload"].get("seq") == 0 and bd.get("type") == "UInt64"
                 and "Node Control/Rebirth" in metrics_by_name(nbirth), nbirth)
    births = {}
    for _ in range(3):
        m = host.next(lambda m: "/DBIRTH/" in m.get("topic", ""))
        if m:
            births[m["topic"].rsplit("/", 1)[1]] = metrics_by_name(m)
    checks.check("a DBIRTH for each meter", sorted(births) == ["a-1", "a-2", "b-3"],
                 sorted(births))
    expected = {("a-1", "PV"): ("Float", 21.5), ("a-1", "SP"): ("Float", 100.25),
                ("a-1", "PN"): ("Int32", 7), ("a-2", "PV"): ("Float", -3.25),
                ("a-2", "SP"): ("Float", 0.5), ("b-3", "PV"): ("Float", 12.125)}
    for key, value in (written or {}).items():
        expected[key] = (expected[key][0], value)
    aliases = {}
    for (device, name), (kind, value) in expected.items():
        metric = births.get(device, {}).get(name, {})
        props = metric.get("properties", {})
        aliases[(device, name)] = metric.get("alias")
        checks.check(f"DBIRTH {device} {name}: {kind} {value}, alias, quality 192",
                     metric.get("type") == kind and metric.get("value") == f32(value)
                     and isinstance(metric.get("alias"), int)
                     and props.get("Quality", {}).get("value") == 192, metric)
    pv = births.get("a-1", {}).get("PV", {}).get("properties", {})
    checks.check("DBIRTH a-1 PV: unit and label properties",
                 pv.get("unit", {}).get("value") == "degC"
                 and pv.get("label", {}).get("value") == "Oven", pv)
    checks.check("aliases unique over the node",
                 len(set(aliases.values())) == len(expected) and None not in aliases.values(),
                 aliases)
    return bd.get("value"), aliases


def check_seq(checks, seen):
    """seq from each NBIRTH's 0 up by one modulo 256 over every message but NDEATH."""
    gaps = []
    last = None
    for m in seen:
        if "/STATE/" in m["topic"] or "/NDEATH/" in m["topic"] or "/NCMD/" in m["topic"] \
                or "/DCMD/" in m["topic"]:
            continue
        seq = m["payload"].get("seq")
        if "/NBIRTH/" in m["topic"]:
            if seq != 0:
                gaps.append((m["topic"], seq))
        elif last is None or seq != (last + 1) % 256:
            gaps.append((m["topic"], last, seq))
        last = seq
    checks.check(f"seq without a gap over {len(seen)} messages", not gaps and last is not None,
                 gaps[:5])


def run(args, checks, broker, log_path):
    host = Host(args.node_modules, broker.port)
    if not host.next(lambda m: m.get("ready"), 15):
        checks.check("the Sparkplug host subscribes", False)
        host.stop()
        return
    with open(log_path, "w") as log:
        lines = ServiceWithLines(args.sim, args.service, args.module, 0, 0, output=log,
                                 extra_config=MQTT.format(port=broker.port),
                                 lines=(SIMS, LINES))
    try:
        nbirth = host.next(topic_is(NODE.format("NBIRTH")), 15)
        if not checks.check("NBIRTH", nbirth is not None):
            return
        bd_seq, aliases = check_births(checks, host, nbirth)

        # A write to a register not configured writable, and one that is taken.
        host.send(NODE.format("DCMD") + "/a-2", [{"name": "SP", "type": "Float", "value": 9}])
        host.send(NODE.format("DCMD") + "/a-1",
                  [{"alias": aliases[("a-1", "SP")], "type": "Float", "value": 42.5}])
        data = host.next(lambda m: "/DDATA/" in m.get("topic", ""))
        metric = (data or {}).get("payload", {}).get("metrics", [{}])[0]
        checks.check("DCMD to a-1 SP reaches the meter: DDATA by alias, 42.5",
                     data is not None and data["topic"].endswith("/a-1")
                     and metric.get("alias") == aliases[("a-1", "SP")]
                     and metric.get("value") == 42.5 and "name" not in metric, data)
        # a-2 is polled every 0.2 s: a value that had reached its meter would show within a
        # second.
        stray = host.next(topic_is(NODE.format("DDATA") + "/a-2"), 1.5)
        checks.check("DCMD to a-2 SP (not writable) is refused before the meter",
                     wait_log(log_path, "not configured writable") and stray is None, stray)

        # A line lost: its meter's DDEATH; back: its DBIRTH.
        lines.kill_sim("b")
        death = host.next(lambda m: "/DDEATH/" in m.get("topic", ""), 15)
        checks.check("simulator of line b stopped: DDEATH b-3",
                     death is not None and death["topic"] == NODE.format("DDEATH") + "/b-3", death)
        lines.start_sim("b")
        birth = host.next(lambda m: "/DBIRTH/" in m.get("topic", ""), 20)
        checks.check("simulator of line b back: DBIRTH b-3 with its value",
                     birth is not None and birth["topic"].endswith("/b-3")
                     and metrics_by_name(birth).get("PV", {}).get("value") == 12.125, birth)

        # The host asks for a rebirth.
        host.send(NODE.format("NCMD"), [{"name": "Node Control/Rebirth", "type": "Boolean",
                                         "value": True}])
        again = host.next(topic_is(NODE.format("NBIRTH")))
        checks.check("NCMD rebirth: NBIRTH again, same bdSeq",
                     again is not None and metrics_by_name(again)["bdSeq"]["value"] == bd_seq,
                     again)
        if again:
            check_births(checks, host, again, {("a-1", "SP"): 42.5})

        # Death without a word: the broker's will.
        lines.service.kill()
        lines.service.wait()
        ndeath = host.next(topic_is(NODE.format("NDEATH")), 10)
        checks.check("kill -9: NDEATH with the birth's bdSeq",
                     ndeath is not None and metrics_by_name(ndeath).get("bdSeq", {}).get("value")
                     == bd_seq, ndeath)
        check_seq(checks, host.seen)
    finally:
        lines.stop()
        host.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--sim", "--service", "--module", "--node-modules"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    checks = Checks()
    if not os.path.isdir(os.path.join(args.node_modules, "sparkplug-payload")):
        under_ci = os.environ.get("CI") == "true"
        print(("FAILED: " if under_ci else "skipped: ") + args.node_modules
              + " has no sparkplug-payload (make deps installs it)")
        return 1 if under_ci else 77
    broker = Broker(free_port())
    with tempfile.TemporaryDirectory(prefix="qm-spb-log-") as folder:
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
