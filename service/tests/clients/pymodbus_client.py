#!/usr/bin/python3
"""pymodbus's client against a Modbus server: reads with functions 03 and 04 in both word orders,
the exceptions, a write read back, the write refusals, the bound on clients, the idle timeout,
and a malformed frame that closes its own connection and no other; on an int16 listener, signed
16-bit registers read with 03 and 04, refused, and written with 06 and 16.

    pymodbus_client.py --facts FACTS.json -- SERVER_COMMAND [ARGUMENTS...]
"""
import logging
import socket
import struct
import time

from pymodbus.client import ModbusTcpClient
from pymodbus.constants import Endian
from pymodbus.payload import BinaryPayloadBuilder, BinaryPayloadDecoder
from pymodbus.pdu import ExceptionResponse

from server_under_test import Checks, ServerUnderTest, connection_closed


def endian(order):
    return Endian.Big if order == "high" else Endian.Little


def client(port):
    c = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
    c.connect()
    return c


def read_floats(c, order, unit, register, count, function=3):
    read = c.read_holding_registers if function == 3 else c.read_input_registers
    reply = read(2 * register, 2 * count, slave=unit)
    if reply.isError():
        return reply
    decoder = BinaryPayloadDecoder.fromRegisters(reply.registers, byteorder=Endian.Big,
                                                 wordorder=endian(order))
    return [decoder.decode_32bit_float() for _ in range(count)]


def write_float(c, order, unit, register, value):
    builder = BinaryPayloadBuilder(byteorder=Endian.Big, wordorder=endian(order))
    builder.add_32bit_float(value)
    return c.write_registers(2 * register, builder.to_registers(), slave=unit)


def exception_code(reply):
    return reply.exception_code if isinstance(reply, ExceptionResponse) else None


def signed(words):
    return [w - 0x10000 if w >= 0x8000 else w for w in words]


def check_int16(server, checks):
    facts = server.facts["int16"]
    c = client(server.ports[facts["listener"]])
    for read in facts["reads"]:
        for function in (3, 4):
            call = c.read_holding_registers if function == 3 else c.read_input_registers
            reply = call(read["register"], len(read["values"]), slave=read["unit"])
            values = reply if reply.isError() else signed(reply.registers)
            checks.check(f"int16, function {function:02}: {read['what']} reads {read['values']}",
                         values == read["values"], values)
    for case in facts["exceptions"]:
        reply = c.read_input_registers(case["register"], case["count"], slave=case["unit"])
        checks.check(f"int16: read {case['what']}: exception {case['code']:#04x}",
                     exception_code(reply) == case["code"], reply)
    write = facts["write"]
    # 06 first, then the same value again with 16, each read back from the meter after.
    for function, value in ((6, write["word"]), (16, write["word"] + 1)):
        if function == 6:
            reply = c.write_register(write["register"], value, slave=write["unit"])
        else:
            reply = c.write_registers(write["register"], [value], slave=write["unit"])
        checks.check(f"int16: function {function}: write {value} is acknowledged",
                     not reply.isError(), reply)
        values = None
        for _ in range(50):
            reply = c.read_holding_registers(write["register"], 1, slave=write["unit"])
            values = reply if reply.isError() else signed(reply.registers)
            if values == [value]:
                break
            time.sleep(0.2)
        checks.check(f"int16: {value} reads back from the meter", values == [value], values)
    for case in facts["write_refusals"]:
        reply = c.write_register(case["register"], case["word"], slave=case["unit"])
        checks.check(f"int16: write {case['what']}: exception {case['code']:#04x}",
                     exception_code(reply) == case["code"], reply)
    c.close()


def main():
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    checks = Checks()
    with ServerUnderTest(__doc__) as server:
        facts = server.facts
        for name, order in facts["listeners"].items():
            c = client(server.ports[name])
            for read in facts["reads"]:
                if not server.served_by(read, name):
                    continue
                for function in (3, 4):
                    values = read_floats(c, order, read["unit"], read["register"],
                                         len(read["values"]), function)
                    checks.check(f"{order} word first, function {function:02}: unit "
                                 f"{read['unit']} register {read['register']} reads "
                                 f"{read['values']}", values == read["values"], values)
            c.close()

        clients = {}  # one connection per listener, kept open across the checks below

        def client_of(entry):
            port, order = server.port_of(entry)
            if port not in clients:
                clients[port] = client(port)
            return clients[port], order

        for case in facts["exceptions"]:
            c, order = client_of(case)
            reply = read_floats(c, order, case["unit"], case["register"], case["count"])
            checks.check(f"read {case['what']}: exception {case['code']:#04x}",
                         exception_code(reply) == case["code"], reply)
        c, _ = client_of(facts["reads"][0])
        half = c.read_holding_registers(1, 2, slave=facts["reads"][0]["unit"])
        checks.check("a read that starts half-way through a value: exception 0x02",
                     exception_code(half) == 2, half)

        write = facts["write"]
        c, order = client_of(write)
        reply = write_float(c, order, write["unit"], write["register"], write["value"])
        checks.check(f"write {write['value']} to register {write['register']} is acknowledged",
                     not reply.isError(), reply)
        values = None
        for _ in range(50):
            values = read_floats(c, order, write["unit"], write["register"], 1)
            if values == [write["value"]]:
                break
            time.sleep(0.2)
        checks.check("the written value reads back", values == [write["value"]], values)
        half = c.write_register(2 * write["register"], 0x4148, slave=write["unit"])
        checks.check("function 06 (half a value): exception 0x02", exception_code(half) == 2, half)
        for case in facts["write_refusals"]:
            c, order = client_of(case)
            reply = write_float(c, order, case["unit"], case["register"], case["value"])
            checks.check(f"write {case['what']}: exception {case['code']:#04x}",
                         exception_code(reply) == case["code"], reply)
        if "int16" in facts:
            check_int16(server, checks)
        # The checks below are on the first high-word-first listener, with the connection that
        # the ones above used there still open.
        port, _ = server.port_of(facts["reads"][0])
        c, _ = client_of(facts["reads"][0])
        for other in clients.values():
            if other is not c:
                other.close()

        # A frame whose header disagrees with its length closes that connection only.
        read = facts["reads"][0]
        bad = socket.create_connection(("127.0.0.1", port))
        bad.sendall(struct.pack(">HHHBBHH", 1, 0, 9, read["unit"], 3, 0, 2))
        checks.check("a malformed frame closes its connection", connection_closed(bad, 5))
        bad.close()
        before = c.socket.getsockname()
        values = read_floats(c, "high", read["unit"], read["register"], len(read["values"]))
        checks.check("another client's connection goes on after it",
                     values == read["values"] and c.socket.getsockname() == before, values)
        c.close()
        # Closed clients count against the bound until their server threads have seen the close.
        time.sleep(0.5)

        # The bound: with every slot held, one more connection is closed at once.
        held = [client(port) for _ in range(facts["max_clients"])]
        for h in held:
            read_floats(h, "high", read["unit"], read["register"], 1)
        extra = socket.create_connection(("127.0.0.1", port))
        checks.check(f"a client beyond {facts['max_clients']} is closed at once",
                     connection_closed(extra, 5))
        extra.close()
        for h in held:
            h.close()
        # Again (a few milliseconds; longer under the sanitizers): without this pause the idle
        # client below could be turned away as one too many, which is not what it is there to test.
        time.sleep(0.5)

        # The idle timeout: a silent client is closed after it, a talking one is not.
        idle = socket.create_connection(("127.0.0.1", port))
        c = client(port)
        timeout = facts["idle_timeout_s"]
        checks.check(f"a client silent for {timeout} s is still open before it",
                     not connection_closed(idle, timeout * 0.5))
        read_floats(c, "high", read["unit"], read["register"], 1)
        talking = c.socket.getsockname()
        checks.check(f"a client silent for {timeout} s is closed",
                     connection_closed(idle, timeout + 3))
        values = read_floats(c, "high", read["unit"], read["register"], 1)
        checks.check("a client that talked meanwhile is not",
                     values == read["values"][:1] and c.socket.getsockname() == talking, values)
        c.close()
        idle.close()

    checks.check("the server stopped cleanly on SIGTERM", server.status == 0, server.output)
    if "int16" in facts:
        # What the meter was sent: the registers divided back by 10^scale.
        write = facts["int16"]["write"]
        for word in (write["word"], write["word"] + 1):
            value = word / 10 ** write["scale"]
            sent = f"station {write['unit']} {write['name']} = {value:g}: done"
            checks.check(f"int16: {word} reached the meter as {value:g}", sent in server.output,
                         server.output[-2000:])
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
