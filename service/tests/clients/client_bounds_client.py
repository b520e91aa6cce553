#!/usr/bin/python3
"""Clients that try to hold qm4720d, against the lines of qm4720d_lines.py, with writes on over
HTTP. Each misbehaves through a real socket while /api/v1/values must still answer:
- a write of a 200 MiB chunked body without the token is refused (401) before its body is sent, and
  neither that nor three such bodies sent at once, nor one with the token, swell the service
  (VmHWM from /proc/<pid>/status);
- a length of 10^12 bytes with no body is refused without waiting for the body;
- 24 clients that trickle their headers a byte at a time are cut at the header deadline, and do not
  starve the others;
- 500 idle connections from one address: the ones past that address's bound are refused at once;
- a kept-alive connection carries request after request;
- Modbus clients that never read their replies are closed after idle_timeout_s, and the client
  after them is served;
- a write under way when SIGTERM comes still gets its answer.
The attackers connect from 127.0.0.2, the checking client from 127.0.0.1: another host.

    client_bounds_client.py --sim QM4720SIM --service QM4720D --module MODULE
"""
import http.client
import select
import socket
import struct
import threading
import time

from qm4720d_lines import ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port
from service_http import request

TOKEN = "s3cret-token-0123456789"
ATTACKER = "127.0.0.2"
MiB = 1024 * 1024
CHUNK = b"%x\r\n" % (64 * 1024) + b"x" * (64 * 1024) + b"\r\n"  # one 64 KiB chunk, reused


def memory_kib(pid, field):
    """VmRSS or VmHWM of process `pid`, in KiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/{pid}/status")


def connect(port, source="127.0.0.1", timeout=5):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                    source_address=(source, 0))


def chunked_write_head(authorization=None):
    head = "POST /api/v1/write HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
    if authorization:
        head += f"Authorization: Bearer {authorization}\r\n"
    return (head + "Transfer-Encoding: chunked\r\n\r\n").encode()


def answer_within(sock, seconds):
    """The first bytes the service sends within `seconds` (b"" when none or closed)."""
    readable, _, _ = select.select([sock], [], [], seconds)
    if not readable:
        return b""
    try:
        return sock.recv(4096)
    except OSError:
        return b""


def stream_body(sock, total=200 * MiB):
    """Sends chunks of `total` bytes until done or the service ends the connection; bytes sent."""
    sent = 0
    try:
        while sent < total:
            sock.sendall(CHUNK)
            sent += len(CHUNK)
        sock.sendall(b"0\r\n\r\n")
    except OSError:
        pass
    return sent


def values_answer(url):
    """The status of GET /api/v1/values within 10 s, None when it did not come."""
    try:
        status, _, _ = request(url + "/api/v1/values", timeout=10)
        return status
    except OSError:
        return None


def check_bodies(checks, port, pid):
    rss_before = memory_kib(pid, "VmRSS")
    with connect(port, ATTACKER) as sock:
        sock.sendall(chunked_write_head())
        answer = answer_within(sock, 3)
        checks.check("a chunked write without the token: 401 before any of its body is sent",
                     answer.startswith(b"HTTP/1.1 401"), answer[:60])
        sent = stream_body(sock)
        checks.check("then the service takes no more than a little of its 200 MiB body",
                     sent < 100 * MiB, sent // MiB)

    def attack(results, index, authorization):
        try:
            with connect(port, ATTACKER, timeout=30) as sock:
                sock.sendall(chunked_write_head(authorization))
                results[index] = stream_body(sock)
        except OSError:
            results[index] = 0

    # Three at once, sending without waiting for an answer; then one with the token.
    for what, tokens in (("three without the token", [None] * 3), ("one with it", [TOKEN])):
        results = [None] * len(tokens)
        threads = [threading.Thread(target=attack, args=(results, i, t))
                   for i, t in enumerate(tokens)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        checks.check(f"chunked bodies of 200 MiB, {what}: cut by the service well before their "
                     "end", all(r is not None and r < 100 * MiB for r in results),
                     [r // MiB if r is not None else None for r in results])
    peak = memory_kib(pid, "VmHWM")
    checks.check("the service's peak memory stayed within 32 MiB of its size before them",
                 peak < rss_before + 32 * 1024, (rss_before, peak))

    # (what, headers past the request line, status), each sent without its body
    for what, headers, status in (
            ("a length of 10^12 bytes with the token: 413",
             f"Authorization: Bearer {TOKEN}\r\nContent-Length: 1000000000000\r\n", b"413"),
            ("a length of -1 with the token: 413",
             f"Authorization: Bearer {TOKEN}\r\nContent-Length: -1\r\n", b"413"),
            ("asking to go on (Expect: 100-continue) without the token: 401",
             "Expect: 100-continue\r\nContent-Length: 1000000000000\r\n", b"401")):
        with connect(port) as sock:
            sock.sendall(b"POST /api/v1/write HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers.encode()
                         + b"\r\n")
            answer = answer_within(sock, 2)
            checks.check(f"{what}, at once", answer.startswith(b"HTTP/1.1 " + status), answer[:60])


def check_trickling(checks, port, url):
    trickling = [connect(port, ATTACKER) for _ in range(24)]
    request_line = b"GET /api/v1/values HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"y" * 40
    ended = {}
    stop = threading.Event()

    def trickle():
        for i in range(len(request_line)):
            for sock in trickling:
                if sock in ended:
                    continue
                readable, _, _ = select.select([sock], [], [], 0)
                try:
                    if readable:
                        raise OSError("answered or closed")
                    sock.send(request_line[i:i + 1])
                except OSError:
                    ended[sock] = time.monotonic()
            if len(ended) == len(trickling) or stop.wait(1):
                return

    started = time.monotonic()
    thread = threading.Thread(target=trickle)
    thread.start()
    try:
        time.sleep(2)
        checks.check("24 clients trickling a byte a second: /api/v1/values still answers",
                     values_answer(url) == 200)
        thread.join(15)
        checks.check("every trickling client was cut within 10 s (refused, or at the header "
                     "deadline)",
                     len(ended) == len(trickling)
                     and max(ended.values()) - started < 10,
                     sorted(round(t - started, 1) for t in ended.values()))
    finally:
        stop.set()
        thread.join()
        for sock in trickling:
            sock.close()


def check_idle(checks, port, url):
    idle = [connect(port, ATTACKER) for _ in range(500)]
    try:
        checks.check("500 idle connections from one address: /api/v1/values still answers",
                     values_answer(url) == 200)
        answers = [answer_within(sock, 0.01) for sock in idle]
        refused = [i for i, answer in enumerate(answers) if answer.startswith(b"HTTP/1.1 503")]
        checks.check("all but a few of them were refused at once with 503", len(refused) >= 480,
                     len(refused))
        answer = answers[refused[0]] if refused else b""
        while refused and (more := answer_within(idle[refused[0]], 2)):
            answer += more
        head, _, body = answer.partition(b"\r\n\r\n")
        length = [int(line.split(b":")[1]) for line in head.split(b"\r\n")
                  if line.lower().startswith(b"content-length:")]
        checks.check("the 503 is a whole answer: its body of the length it gives",
                     head.startswith(b"HTTP/1.1 503") and length == [len(body)], answer)
    finally:
        for sock in idle:
            sock.close()


def check_keep_alive(checks, port):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    seen = []
    for _ in range(20):
        connection.request("GET", "/api/v1/values")
        reply = connection.getresponse()
        reply.read()
        seen.append((reply.status, connection.sock.getsockname() if connection.sock else None))
    connection.close()
    checks.check("20 requests over one kept-alive connection: each answered on that connection",
                 all(status == 200 for status, _ in seen) and len({s for _, s in seen}) == 1
                 and seen[0][1] is not None, seen[-1])


def modbus_read(transaction, unit, register, count):
    """Function 3 for `count` floats from float register `register` (two words each)."""
    return struct.pack(">HHHBBHH", transaction, 0, 6, unit, 3, 2 * register, 2 * count)


def ended_after_draining(sock):
    """True when `sock`'s peer closed it: its end, or a reset, comes after what was sent on it,
    rather than a second of silence."""
    sock.setblocking(True)
    sock.settimeout(1)
    try:
        while sock.recv(65536):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def check_modbus_non_reader(checks, port, idle_timeout_s, max_clients):
    time.sleep(1)  # wait_for_port's connection has been let go
    stuck = []
    for _ in range(max_clients):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        sock.connect(("127.0.0.1", port))
        sock.setblocking(False)
        stuck.append(sock)
    # Requests to all until the service stops taking them (a second without room to send on
    # each): its replies have filled the buffers between, and it waits to send.
    batch = b"".join(modbus_read(i, 12, 4, 4) for i in range(1000))
    sent_at = {sock: time.monotonic() for sock in stuck}
    full, lost = set(), set()
    deadline = time.monotonic() + 30
    while len(full) + len(lost) < len(stuck) and time.monotonic() < deadline:
        open_ones = [sock for sock in stuck if sock not in full and sock not in lost]
        _, writable, _ = select.select([], open_ones, [], 0.2)
        for sock in open_ones:
            if sock in writable:
                try:
                    sock.send(batch)
                    sent_at[sock] = time.monotonic()
                except BlockingIOError:
                    pass
                except OSError:
                    lost.add(sock)  # closed while it still took requests
            elif time.monotonic() - sent_at[sock] > 1:
                full.add(sock)
    checks.check(f"{max_clients} Modbus clients that never read: the service stops taking "
                 "their requests", len(full) == len(stuck), (len(full), len(lost)))
    # Past the timeout their places are free for the next client, before any of them reads. A
    # loaded machine may take a few seconds more to notice: asked again until 10 s past it.
    time.sleep(idle_timeout_s)
    reply = b""
    deadline = time.monotonic() + 10
    while reply[7:9] != b"\x03\x08" and time.monotonic() < deadline:
        time.sleep(0.5)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=3) as sock:
                sock.sendall(modbus_read(1, 1, 4, 2))
                reply = sock.recv(64)
        except OSError:
            pass
    checks.check("the next Modbus client is served", reply[7:9] == b"\x03\x08", reply.hex())
    # Then each reads what reached it: the service has closed the connection (an end
    # or a reset) rather than gone on answering once its client reads again.
    closed = sum(1 for sock in stuck if ended_after_draining(sock))
    checks.check(f"they are closed after idle_timeout_s ({idle_timeout_s} s)",
                 closed == len(stuck), closed)
    for sock in stuck:
        sock.close()


def write_to_silent_meter(url, outcome):
    try:
        status, _, _ = request(url + "/api/v1/write",
                               {"line": "b", "station": 9, "register": "SP", "value": 1},
                               {"Authorization": "Bearer " + TOKEN})
        outcome.append(status)
    except OSError as error:
        outcome.append(repr(error))


def main():
    args = service_arguments(__doc__)
    checks = Checks()
    outcome = []
    writer = None
    port = free_port()
    high_port = free_port()
    extra = f'\n[http]\nport = {port}\nwrites = true\nwrite_token = "{TOKEN}"\n'
    lines = ServiceWithLines(args.sim, args.service, args.module, high_port, free_port(),
                             extra_config=extra)
    try:
        url = f"http://127.0.0.1:{port}"
        if not wait_for_port(port, lines.service) or not wait_for_port(high_port, lines.service):
            raise SystemExit("qm4720d did not listen")
        check_bodies(checks, port, lines.service.pid)
        check_trickling(checks, port, url)
        check_idle(checks, port, url)
        check_keep_alive(checks, port)
        # Line a's listener: idle_timeout_s = 2, max_clients = 3.
        check_modbus_non_reader(checks, high_port, 2, 3)
        # Last, a write to the silent station 9 is under way when SIGTERM comes.
        writer = threading.Thread(target=write_to_silent_meter, args=(url, outcome))
        writer.start()
        time.sleep(0.15)  # it has arrived; the meter's reply timeout (200 ms) has not passed
    finally:
        status = lines.stop()
    if writer is not None:
        writer.join(10)
    checks.check("a write under way at SIGTERM still gets its answer (504)", outcome == [504],
                 outcome)
    checks.check("qm4720d stopped cleanly on SIGTERM", status == 0, status)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
