#!/usr/bin/python3
"""Modbus TCP writes only from the addresses of a line's write_clients, seen by pymodbus's client
through qm4720d: the listener lists 127.0.0.2 alone. A client on 127.0.0.1 reads as any client,
but each of its writes gets exception 01 and leaves the meter as it was; the same write from a
client bound to 127.0.0.2 lands and is read back. Every refusal is counted in /metrics.

    write_clients_client.py --sim QM4720SIM --service QM4720D --module MODULE
"""
import logging
import re
import time

from pymodbus.client import ModbusTcpClient
from pymodbus.constants import Endian
from pymodbus.payload import BinaryPayloadBuilder, BinaryPayloadDecoder
from pymodbus.pdu import ExceptionResponse

from qm4720d_lines import LINES, ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port
from service_http import request

SP = 13  # register SP of the default model: holding registers 26 and 27

ONE_LINE = """\
[[line]]
name = "a"
port = "{link_a}"
reply_timeout_ms = 200
    [line.modbus]
    port = {high_port}
    write_clients = ["127.0.0.2"]
    [[line.meter]]
    station = 1
    writable = ["SP"]
        [[line.meter.poll]]
        registers = ["SP"]
        interval_s = 0.2
"""


def read_sp(c):
    reply = c.read_holding_registers(2 * SP, 2, slave=1)
    if isinstance(reply, ExceptionResponse) or reply.isError():
        return reply
    return BinaryPayloadDecoder.fromRegisters(reply.registers, byteorder=Endian.Big,
                                              wordorder=Endian.Big).decode_32bit_float()


def write_sp(c, value):
    """The exception code of a write of SP, or 0 when it was acknowledged."""
    builder = BinaryPayloadBuilder(byteorder=Endian.Big, wordorder=Endian.Big)
    builder.add_32bit_float(value)
    reply = c.write_registers(2 * SP, builder.to_registers(), slave=1)
    if isinstance(reply, ExceptionResponse):
        return reply.exception_code
    return reply if reply.isError() else 0


def wait_for(what, seconds):
    deadline = time.monotonic() + seconds
    while not what() and time.monotonic() < deadline:
        time.sleep(0.1)
    return what()


def main():
    args = service_arguments(__doc__)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    checks = Checks()
    port, http = free_port(), free_port()
    lines = ServiceWithLines(args.sim, args.service, args.module, port, free_port(),
                             extra_config=f"\n[http]\nport = {http}\n",
                             lines=({"a": LINES["a"]}, ONE_LINE))
    status = None
    try:
        if not wait_for_port(port, lines.service):
            raise SystemExit("qm4720d did not listen")
        outside = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
        listed = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0,
                                 source_address=("127.0.0.2", 0))
        checks.check("both clients connect", outside.connect() and listed.connect())
        checks.check("a client outside the list reads SP",
                     wait_for(lambda: read_sp(outside) == 100.25, 5), read_sp(outside))
        refused = [write_sp(outside, 42.5), write_sp(outside, 43.5)]
        half = outside.write_register(2 * SP, 0x4148, slave=1)
        refused.append(half.exception_code if isinstance(half, ExceptionResponse) else half)
        checks.check("its writes (16, 06) get exception 01", refused == [1, 1, 1], refused)
        time.sleep(0.5)  # a few polls: a write that went through would show
        checks.check("the meter keeps its value", read_sp(outside) == 100.25, read_sp(outside))

        checks.check("the same write from 127.0.0.2, which is listed, is acknowledged",
                     write_sp(listed, 42.5) == 0)
        checks.check("and lands: SP reads 42.5 for every client",
                     wait_for(lambda: read_sp(outside) == 42.5, 5), read_sp(outside))

        _, _, text = request(f"http://127.0.0.1:{http}/metrics")
        counted = re.search(r'^qm4720_modbus_writes_refused_total\{line="a"\} (\S+)$', text,
                            re.MULTILINE)
        checks.check("/metrics counts the three refusals",
                     counted is not None and float(counted.group(1)) == 3,
                     counted.group(0) if counted else "no sample")
        outside.close()
        listed.close()
    finally:
        status = lines.stop()
    checks.check("qm4720d stopped cleanly on SIGTERM", status == 0, status)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
