#!/usr/bin/env python3
"""The include-direction check over a copy of the sources: the copy as it is passes, and each
include against the direction, added alone, fails the check with its file:line and rule.

Usage: include_directions_test.py <check script> <source root>"""

import os
import shutil
import subprocess
import sys
import tempfile

# (file in the copy, the line put first in it, what the check must print for it)
CASES = [
    ("protocol/frames.cpp", '#include "driver/ver4720ezo.h"',
     'protocol/frames.cpp:1: includes "driver/ver4720ezo.h": protocol/ may include protocol/ and'),
    ("serial/serial_port.cpp", '#include "protocol/frames.h"',
     'serial/serial_port.cpp:1: includes "protocol/frames.h": serial/ may include'),
    ("contract/messages.cpp", '#include "records/io_request.h"',
     'contract/messages.cpp:1: includes "records/io_request.h": contract/ may include contract/ '
     "and nothing else"),
    ("host/client/driver_session.cpp", '#include "driver/messages.h"',
     'host/client/driver_session.cpp:1: includes "driver/messages.h": host/client/ may include'),
    ("host/client/driver_session.cpp", '#include "host/oskit/serial_line.h"',
     'host/client/driver_session.cpp:1: includes "host/oskit/serial_line.h"'),
    ("host/oskit/forward.cpp", "#include <platform_native.h>",
     "host/oskit/forward.cpp:1: includes <platform_native.h>: only platform/ may"),
    ("tools/sim/instrument.cpp", '#include "host/client/module_loader.h"',
     'tools/sim/instrument.cpp:1: includes "host/client/module_loader.h": tools/sim/ may'),
    ("python/binding.cpp", '#include "protocol/value_fields.h"',
     'python/binding.cpp:1: includes "protocol/value_fields.h": python/ may include'),
    # The session is the Driver's private part, in the service's tests too.
    ("service/core/line_worker.cpp", '#include "host/client/driver_session.h"',
     'service/core/line_worker.cpp:1: includes "host/client/driver_session.h": only '
     "host/client/*.cpp, tests/host/* may"),
    ("service/tests/config_test.cpp", '#include "host/client/driver_session.h"',
     'service/tests/config_test.cpp:1: includes "host/client/driver_session.h": only'),
    ("host/client/activation.h", '#include "host/client/driver_session.h"',
     'host/client/activation.h:1: includes "host/client/driver_session.h": only'),
    # Service outputs never include each other, only the service's core.
    ("service/http/probe.cpp", '#include "service/mqtt/mqtt_publisher.h"',
     'service/http/probe.cpp:1: includes "service/mqtt/mqtt_publisher.h": service/http/ may '
     "include service/http/ and service/core/"),
]


def run(check, root):
    result = subprocess.run([sys.executable, check, root], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def main():
    check, source = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as copy:
        for folder in os.listdir(source):
            if folder.startswith(("build", ".")) or not os.path.isdir(os.path.join(source, folder)):
                continue
            shutil.copytree(os.path.join(source, folder), os.path.join(copy, folder),
                            symlinks=True)
        code, output = run(check, copy)
        if code != 0:
            failures.append(f"the copy as it is: exit {code}, expected 0\n{output}")
        for path, line, expected in CASES:
            target = os.path.join(copy, path)
            original = None
            if os.path.exists(target):
                with open(target, encoding="utf-8") as f:
                    original = f.read()
            else:
                os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "w", encoding="utf-8") as f:
                f.write(line + "\n" + (original or ""))
            code, output = run(check, copy)
            if code != 1 or expected not in output:
                failures.append(f"{path} with {line}: exit {code}, expected 1 and the line\n"
                                f"  {expected}\nin:\n{output}")
            if original is None:
                os.remove(target)
            else:
                with open(target, "w", encoding="utf-8") as f:
                    f.write(original)
    for failure in failures:
        print(failure)
    print(f"{len(CASES) + 1 - len(failures)} of {len(CASES) + 1} cases as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
