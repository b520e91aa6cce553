#!/usr/bin/python3
"""qm4720d over TLS with tokens, read by curl and mosquitto_sub, with certificates that openssl
makes for this run (make_test_certificates.sh): a CA, the server's certificate for 127.0.0.1 and
localhost, a client's and a client's of another CA.

    tls_access_client.py --certificates SCRIPT --sim QM4720SIM --service QM4720D --module MODULE

HTTPS (read_access = "token"): curl --cacert reads the page, the values and the metrics with a
read token; without a token 401 with WWW-Authenticate: Bearer; a read token cannot write (403), a
write token writes and the meter holds the value; curl without the CA, or naming the server by a
host name its certificate does not carry, refuses the server; plain HTTP on the TLS port gets no
answer; clients that stall in their handshake hold nothing: the page answers, and they are closed
at the header deadline; requests pipelined in one TLS record are all answered. (The service never
serves an expired certificate: a file naming one is refused, access_config_test.cpp.)
MQTT: mosquitto with a TLS listener that requires a client certificate; qm4720d's readings arrive,
read by mosquitto_sub --cafile with a client certificate; one from another CA is refused.
"""
import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from qm4720d_lines import ServiceWithLines, service_arguments  # noqa: E402
from server_under_test import Checks, connection_closed, free_port, wait_for_port  # noqa: E402
from service_http import wait_until  # noqa: E402

READ = "reader-token-0123456789"
WRITE = "writer-token-0123456789"
PREFIX = "qmtls"
EXTRA = """
[http]
port = {http_port}
tls_certificate = "{certs}/server.pem"
tls_key = "{certs}/server.key"
writes = true
read_access = "token"
read_tokens = ["{read}"]
write_tokens = ["{write}"]

[mqtt]
host = "localhost"
port = {mqtt_port}
prefix = "{prefix}"
tls_ca_file = "{certs}/ca.pem"
tls_certificate = "{certs}/client.pem"
tls_key = "{certs}/client.key"
"""


def curl(url, *options, token=None):
    """(curl's exit status, HTTP status, headers and body) of one request."""
    command = ["curl", "-sS", "-i", "--max-time", "10", *options]
    if token is not None:
        command += ["-H", "Authorization: Bearer " + token]
    done = subprocess.run(command + [url], capture_output=True, text=True)
    status = 0
    if done.returncode == 0 and done.stdout.startswith("HTTP/"):
        status = int(done.stdout.split(" ", 2)[1])
    return done.returncode, status, done.stdout


def subscribe(port, certs, cert, key, seconds=3):
    """(mosquitto_sub's exit status, {topic: payload}) of the retained readings under PREFIX."""
    done = subprocess.run(
        ["mosquitto_sub", "-h", "localhost", "-p", str(port), "--cafile", f"{certs}/ca.pem",
         "--cert", f"{certs}/{cert}", "--key", f"{certs}/{key}", "-v", "-t", f"{PREFIX}/#",
         "--retained-only", "-W", str(seconds)], capture_output=True, text=True)
    return done.returncode, dict(line.split(" ", 1) for line in done.stdout.splitlines()
                                 if " " in line)


def start_broker(folder, certs, port):
    conf = os.path.join(folder, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\ncafile {certs}/ca.pem\ncertfile {certs}/server.pem\n"
                f"keyfile {certs}/server.key\nrequire_certificate true\n"
                "use_identity_as_username true\ntls_version tlsv1.2\nallow_anonymous true\n"
                "persistence false\nlog_dest none\n")
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf])
    if not wait_for_port(port, broker):
        broker.kill()
        broker.wait()
        raise SystemExit("mosquitto did not listen")
    return broker


def check_https(checks, port, certs, service_pid):
    url = f"https://127.0.0.1:{port}"
    ca = ["--cacert", f"{certs}/ca.pem"]
    values = wait_until(lambda: curl(url + "/api/v1/values", *ca, token=READ)[1] == 200, 10)
    checks.check("curl --cacert with a read token reads /api/v1/values: 200", values)
    _, status, text = curl(url + "/api/v1/values", *ca, token=READ)
    checks.check("the values hold line a", status == 200 and '"a"' in text, text[-200:])
    for path, says in (("/", "<html"), ("/metrics", "qm4720_"), ("/livez", "alive"),
                       ("/healthz", '"status"')):
        _, status, text = curl(f"https://localhost:{port}{path}", *ca, token=READ)
        # /healthz may say 503 (a meter not yet read): what matters is that the token let it in.
        good = status in (200, 503) if path == "/healthz" else status == 200
        checks.check(f"{path} by the name localhost with a read token: answered",
                     good and says in text, (status, text[:200]))
    for path in ("/", "/api/v1/values", "/metrics", "/healthz", "/livez"):
        _, status, text = curl(url + path, *ca)
        checks.check(f"{path} without a token: 401 asking for a bearer token",
                     status == 401 and "\nwww-authenticate: bearer" in text.lower(),
                     (status, text[:300]))
    _, status, _ = curl(url + "/metrics", *ca, token="x" + READ)
    checks.check("/metrics with an unknown token: 401", status == 401, status)

    write = ["-X", "POST", "-H", "Content-Type: application/json", "--data",
             json.dumps({"line": "a", "station": 1, "register": "SP", "value": 42.5})]
    _, status, text = curl(url + "/api/v1/write", *ca, *write, token=READ)
    checks.check("a write with a read token: 403", status == 403, (status, text[-200:]))
    _, status, text = curl(url + "/api/v1/write", *ca, *write)
    checks.check("a write without a token: 401", status == 401, (status, text[-200:]))
    _, status, text = curl(url + "/api/v1/write", *ca, *write, token=WRITE)
    checks.check("a write with a write token: 200, done", status == 200 and '"done"' in text,
                 (status, text[-200:]))

    def sp():
        _, _, text = curl(url + "/api/v1/values", *ca, token=WRITE)
        body = text.split("\n\n", 1)[-1] or "{}"
        for line in json.loads(body).get("lines", []):
            for meter in line["meters"]:
                for reg in meter["registers"]:
                    if (line["name"], meter["station"], reg["register"]) == ("a", 1, "SP"):
                        return reg["value"]
        return None
    checks.check("the meter holds the written 42.5, read back with the write token",
                 wait_until(lambda: sp() == 42.5, 5), sp())

    code, _, text = curl(url + "/api/v1/values", token=READ)
    checks.check("curl without the CA refuses the server (exit 60)", code == 60, (code, text))
    code, _, text = curl(f"https://other.invalid:{port}/api/v1/values", *ca,
                         "--resolve", f"other.invalid:{port}:127.0.0.1", token=READ)
    checks.check("curl naming the server other.invalid refuses it (exit 60)", code == 60,
                 (code, text))
    code, status, _ = curl(f"http://127.0.0.1:{port}/api/v1/values", token=READ)
    checks.check("plain HTTP on the TLS port gets no HTTP answer", status == 0, (code, status))
    checks.check("qm4720d still runs", service_pid.poll() is None)


def check_stalled_handshakes(checks, port, certs):
    """Clients that start a handshake and stop: the page still answers, and each of them is
    closed at the header deadline (5 s) rather than held."""
    stalled = []
    for _ in range(6):
        sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        sock.sendall(b"\x16\x03\x01\x02\x00\x01")  # the start of a ClientHello, no more
        stalled.append(sock)
    _, status, _ = curl(f"https://127.0.0.1:{port}/api/v1/values", "--cacert",
                        f"{certs}/ca.pem", token=READ)
    checks.check("6 stalled handshakes from one address: the values still answer", status == 200,
                 status)
    closed = [connection_closed(sock, 10) for sock in stalled]
    checks.check("each stalled handshake is closed by the service", all(closed), closed)
    for sock in stalled:
        sock.close()


def check_pipelined(checks, port, certs):
    """Three requests of 4096 bytes each in one TLS record: the service's first read takes the
    first whole, the other two wait decrypted inside the TLS session, where a poll of the socket
    does not see them; all three must still be answered."""
    def request(last):
        head = (f"GET /api/v1/values HTTP/1.1\r\nHost: localhost\r\n"
                f"Authorization: Bearer {READ}\r\n"
                + ("Connection: close\r\n" if last else "") + "X-Pad: ")
        return (head + "p" * (4096 - len(head) - 4) + "\r\n\r\n").encode()
    context = ssl.create_default_context(cafile=f"{certs}/ca.pem")
    answers = b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
            with context.wrap_socket(raw, server_hostname="localhost") as sock:
                sock.sendall(request(False) + request(False) + request(True))
                while True:
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    answers += chunk
    except OSError as error:
        answers += repr(error).encode()
    checks.check("three pipelined requests in one TLS record: three answers",
                 answers.count(b"HTTP/1.1 200 OK") == 3, answers[:200])


def check_mqtt(checks, port, certs):
    def arrived():
        code, them = subscribe(port, certs, "client.pem", "client.key")
        return code in (0, 27) and f"{PREFIX}/a/1/PV" in them and them
    them = wait_until(arrived, 15)
    checks.check("mosquitto_sub --cafile with a client certificate reads qm4720d's readings "
                 "from the TLS broker", bool(them) and json.loads(
                     them.get(f"{PREFIX}/a/1/PV", "{}")).get("value") == 21.5, them)
    code, them = subscribe(port, certs, "rogue.pem", "rogue.key", seconds=2)
    checks.check("a client certificate of another CA is refused", code not in (0, 27) and
                 not them, (code, them))


def main():
    args = service_arguments(__doc__, "--certificates")
    checks = Checks()
    folder = tempfile.TemporaryDirectory(prefix="qm-tls-")
    # The broker drops its root rights before it reads the files: they must be readable to it.
    os.chmod(folder.name, 0o755)
    certs = folder.name
    subprocess.run(["sh", args.certificates, certs], check=True)
    for name in os.listdir(certs):
        os.chmod(os.path.join(certs, name), 0o644)

    mqtt_port, http_port = free_port(), free_port()
    broker = start_broker(folder.name, certs, mqtt_port)
    log_path = os.path.join(folder.name, "qm4720d.log")
    lines = None
    try:
        extra = EXTRA.format(http_port=http_port, mqtt_port=mqtt_port, certs=certs, read=READ,
                             write=WRITE, prefix=PREFIX)
        with open(log_path, "w") as log:
            lines = ServiceWithLines(args.sim, args.service, args.module, free_port(),
                                     free_port(), output=log, extra_config=extra)
        if not wait_for_port(http_port, lines.service):
            raise SystemExit("qm4720d did not serve HTTPS")
        check_https(checks, http_port, certs, lines.service)
        check_stalled_handshakes(checks, http_port, certs)
        check_pipelined(checks, http_port, certs)
        check_mqtt(checks, mqtt_port, certs)
        checks.check("qm4720d ends with status 0 on SIGTERM", lines.stop() == 0)
        lines = None
    finally:
        if lines is not None:
            lines.stop()
        broker.kill()
        broker.wait()
        if checks.failed:
            with open(log_path) as f:
                print("qm4720d said:\n" + f.read())
        folder.cleanup()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
