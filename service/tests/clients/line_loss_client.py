#!/usr/bin/python3
"""A line lost and back, seen by pymodbus's client through qm4720d: the simulator of line "a" is
killed, its values go stale (exception 0x0B) while line "b" is served as before; a simulator
started again on the same link brings them back, fresh, within the reopen backoff.

    line_loss_client.py --sim QM4720SIM --service QM4720D --module MODULE

The lines and the service are those of qm4720d_lines.py.
"""
import logging
import time

from pymodbus.client import ModbusTcpClient
from pymodbus.constants import Endian
from pymodbus.payload import BinaryPayloadDecoder
from pymodbus.pdu import ExceptionResponse

from qm4720d_lines import ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port

PV = 4  # register PV of both models: holding registers 8 and 9


def read_pv(c, unit, wordorder):
    """The value of PV, or the exception code it was refused with."""
    reply = c.read_holding_registers(2 * PV, 2, slave=unit)
    if isinstance(reply, ExceptionResponse):
        return reply.exception_code
    if reply.isError():
        return reply
    decoder = BinaryPayloadDecoder.fromRegisters(reply.registers, byteorder=Endian.Big,
                                                 wordorder=wordorder)
    return decoder.decode_32bit_float()


def wait_until(what, seconds):
    """The time it took `what` to hold, or None when it did not within `seconds`."""
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        if what():
            return time.monotonic() - start
        time.sleep(0.05)
    return None


def main():
    args = service_arguments(__doc__)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    checks = Checks()
    high, low = free_port(), free_port()
    lines = ServiceWithLines(args.sim, args.service, args.module, high, low)
    status = None
    try:
        if not (wait_for_port(high, lines.service) and wait_for_port(low, lines.service)):
            raise SystemExit("qm4720d did not listen")
        a = ModbusTcpClient("127.0.0.1", port=high, timeout=5, retries=0)
        b = ModbusTcpClient("127.0.0.1", port=low, timeout=5, retries=0)
        a.connect()
        b.connect()
        line_a = lambda: read_pv(a, 1, Endian.Big)  # noqa: E731
        line_b = lambda: read_pv(b, 3, Endian.Little)  # noqa: E731
        checks.check("line a serves PV of station 1",
                     wait_until(lambda: line_a() == 21.5, 5) is not None, line_a())

        lines.kill_sim("a")
        took = wait_until(lambda: line_a() == 0x0B, 3)
        checks.check("the simulator killed: PV of station 1 goes stale (0x0B) within 3 s",
                     took is not None, line_a())
        # Longer than the first reopen attempts (1 s, then 2 s after the loss), which fail.
        stale = []
        line_b_good = []
        end = time.monotonic() + 2.5
        while time.monotonic() < end:
            stale.append(line_a())
            line_b_good.append(line_b())
            time.sleep(0.1)
        checks.check("while the line is lost, no read is served as good",
                     set(stale) == {0x0B}, sorted(set(map(str, stale))))
        checks.check("line b is served meanwhile", set(line_b_good) == {-12.75},
                     sorted(set(map(str, line_b_good))))

        lines.start_sim("a")
        # The next attempt is at most 4 s away (the backoff doubles from 1 s).
        took = wait_until(lambda: line_a() == 21.5, 6)
        checks.check("a simulator on the same link: PV of station 1 is fresh again within 6 s",
                     took is not None, line_a())
        a.close()
        b.close()
    finally:
        status = lines.stop()
    checks.check("qm4720d stopped cleanly on SIGTERM", status == 0, status)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
