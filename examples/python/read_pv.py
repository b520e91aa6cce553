#!/usr/bin/python3
"""Reads the process value of station 1 on the port given: read_pv.py /dev/ttyUSB0 [MODULE]"""
import sys

import qm4720

port = sys.argv[1] if len(sys.argv) > 1 else "/dev/ttyUSB0"
module = sys.argv[2] if len(sys.argv) > 2 else None  # None: the installed driver module
try:
    with qm4720.Driver(port, line="9600,8N1,400", module=module) as meter:
        pv = meter.read(1, "PV")
        print(f"PV = {pv.value} at {pv.time.isoformat()} (quality {pv.quality}, "
              f"{pv.latency_ms:.0f} ms)")
except qm4720.DriverError as error:
    # The message, the reason in English (no such device, busy, ...) and the code.
    sys.exit(f"read_pv: {error}")
