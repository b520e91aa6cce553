#!/usr/bin/python3
"""mbpoll against a Modbus server: reads in both word orders, the exceptions, a write read back,
the write refusals, and the bound on clients; on an int16 listener, 16-bit input registers (-t 3)
read, refused and written.

    mbpoll_client.py --facts FACTS.json -- SERVER_COMMAND [ARGUMENTS...]

mbpoll's references are 1-based: register i of a table is reference 2i+1 as floats, i+1 as 16-bit
registers. It prints a refused request as libmodbus's text of the exception code on its standard
error, and a 16-bit register above 32767 as the unsigned number with the signed one in brackets.
"""
import re
import socket
import subprocess
import time

from server_under_test import Checks, ServerUnderTest

# The text mbpoll prints for each exception code.
EXCEPTION_TEXT = {
    1: "Illegal function",
    2: "Illegal data address",
    3: "Illegal data value",
    4: "Slave device or server failure",
    10: "Gateway path unavailable",
    11: "Target device failed to respond",
}


def mbpoll(port, order, unit, register, count=1, write=None):
    command = ["mbpoll", "-m", "tcp", "-a", str(unit), "-r", str(2 * register + 1), "-t",
               "4:float", "-p", str(port), "-o", "5"]
    if order == "high":
        command.append("-B")  # mbpoll's default is the low word first
    if write is None:
        command += ["-c", str(count), "-1", "127.0.0.1"]
    else:
        command += ["127.0.0.1", "--", repr(write)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=30)
    values = [float(v) for v in re.findall(r"^\[\d+\]:\s+(\S+)$", result.stdout, re.M)]
    return result.returncode, values, result.stderr.strip()


def mbpoll16(port, unit, register, count=1, write=None):
    """16-bit registers: read as input registers (-t 3), written as holding registers (-t 4)."""
    command = ["mbpoll", "-m", "tcp", "-a", str(unit), "-r", str(register + 1), "-p", str(port),
               "-o", "5"]
    if write is None:
        command += ["-t", "3", "-c", str(count), "-1", "127.0.0.1"]
    else:
        command += ["-t", "4", "127.0.0.1", "--", str(write)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=30)
    values = [int(signed or unsigned) for unsigned, signed in
              re.findall(r"^\[\d+\]:\s+(\d+)(?: \((-\d+)\))?$", result.stdout, re.M)]
    return result.returncode, values, result.stderr.strip()


def check_int16(server, checks):
    facts = server.facts["int16"]
    port = server.ports[facts["listener"]]
    for read in facts["reads"]:
        status, values, error = mbpoll16(port, read["unit"], read["register"], len(read["values"]))
        checks.check(f"int16: {read['what']} reads {read['values']}",
                     status == 0 and values == read["values"], (status, values, error))
    for case in facts["exceptions"]:
        status, values, error = mbpoll16(port, case["unit"], case["register"], case["count"])
        checks.check(f"int16: read {case['what']}: exception {case['code']:#04x}",
                     status != 0 and not values and EXCEPTION_TEXT[case["code"]] in error,
                     (status, error))
    write = facts["write"]
    status, _, error = mbpoll16(port, write["unit"], write["register"], write=write["word"])
    checks.check(f"int16: write {write['word']} ({write['value']} on the meter) is acknowledged",
                 status == 0, error)
    values = []
    for _ in range(50):
        _, values, _ = mbpoll16(port, write["unit"], write["register"])
        if values == [write["word"]]:
            break
        time.sleep(0.2)
    checks.check("int16: the written value reads back", values == [write["word"]], values)
    for case in facts["write_refusals"]:
        status, _, error = mbpoll16(port, case["unit"], case["register"], write=case["word"])
        checks.check(f"int16: write {case['what']}: exception {case['code']:#04x}",
                     status != 0 and EXCEPTION_TEXT[case["code"]] in error, (status, error))


def main():
    checks = Checks()
    with ServerUnderTest(__doc__) as server:
        facts = server.facts
        for name, order in facts["listeners"].items():
            port = server.ports[name]
            for read in facts["reads"]:
                if not server.served_by(read, name):
                    continue
                status, values, error = mbpoll(port, order, read["unit"], read["register"],
                                               len(read["values"]))
                checks.check(f"{order} word first: unit {read['unit']} register "
                             f"{read['register']} reads {read['values']}",
                             status == 0 and values == read["values"], (status, values, error))

        for case in facts["exceptions"]:
            port, order = server.port_of(case)
            status, values, error = mbpoll(port, order, case["unit"], case["register"],
                                           case["count"])
            expected = EXCEPTION_TEXT[case["code"]]
            checks.check(f"read {case['what']}: exception {case['code']:#04x}",
                         status != 0 and not values and expected in error, (status, error))

        write = facts["write"]
        port, order = server.port_of(write)
        status, _, error = mbpoll(port, order, write["unit"], write["register"],
                                  write=write["value"])
        checks.check(f"write {write['value']} to register {write['register']} is acknowledged",
                     status == 0, error)
        # The server answers reads from its table, which the write's outcome updates.
        values = []
        for _ in range(50):
            _, values, _ = mbpoll(port, order, write["unit"], write["register"])
            if values == [write["value"]]:
                break
            time.sleep(0.2)
        checks.check("the written value reads back", values == [write["value"]], values)

        for case in facts["write_refusals"]:
            port, order = server.port_of(case)
            status, _, error = mbpoll(port, order, case["unit"], case["register"],
                                      write=case["value"])
            checks.check(f"write {case['what']}: exception {case['code']:#04x}",
                         status != 0 and EXCEPTION_TEXT[case["code"]] in error, (status, error))

        if "int16" in facts:
            check_int16(server, checks)

        # Every client slot taken by an idle connection: mbpoll is turned away; one freed, served.
        read = facts["reads"][0]
        port, _ = server.port_of(read)
        # The mbpoll runs above count against the bound until their server threads have seen them
        # go (milliseconds; longer under the sanitizers and a loaded machine).
        time.sleep(0.5)
        held = [socket.create_connection(("127.0.0.1", port)) for _ in range(facts["max_clients"])]
        time.sleep(0.3)
        status, values, error = mbpoll(port, "high", read["unit"], read["register"])
        checks.check(f"a client beyond {facts['max_clients']} is refused", status != 0 and not values,
                     (status, values))
        held.pop().close()
        for _ in range(10):
            time.sleep(0.3)
            status, values, error = mbpoll(port, "high", read["unit"], read["register"])
            if status == 0:
                break
        checks.check("once a client left, the next one is served",
                     status == 0 and values == read["values"][:1], (status, values, error))
        for sock in held:
            sock.close()

    checks.check("the server stopped cleanly on SIGTERM", server.status == 0, server.output)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
