#!/usr/bin/env python3
"""Includes run one way (STYLE.md, "Layers"): every quoted include of the project's own files is
checked against the table below. Prints each include against the direction as file:line with the
rule it breaks, and exits 1 if there is any.

Usage: include_directions.py <source root>

An include is named from the source root ("driver/ver4720ezo.h"), or from the including file's
own folder when it lies there; any other quoted name (a generated header, a library's) is not the
project's and is not checked. The public header (qm4720/) may be included from anywhere. Tests and
fuzz targets reach into every layer on purpose and are not checked."""

import fnmatch
import os
import re
import sys

SOURCE_FOLDERS = ["records", "contract", "platform", "catalogue", "serial", "protocol", "driver",
                  "server", "host", "tools", "service", "bench", "python", "examples", "include"]
SUFFIXES = (".c", ".cpp", ".h", ".hpp")

MODULE_BELOW = ["catalogue/", "records/", "contract/"]
MODULE = ["driver/", "protocol/", "serial/", "platform/"] + MODULE_BELOW
CLIENT = ["host/client/", "records/", "contract/"]
PROGRAM = CLIENT + ["host/oskit/"]
SERVICE_OUTPUT = ["service/core/"] + CLIENT

# (scope, what files in it may include besides their own scope and the public header). The
# longest scope that holds a file decides; a scope is a folder ("x/") or one file.
RULES = [
    # The module, from the top down.
    ("server/", MODULE),
    ("driver/", MODULE),
    ("protocol/", MODULE_BELOW),
    ("serial/", ["platform/", "records/"]),
    ("platform/", []),
    ("catalogue/", ["records/", "contract/"]),
    ("records/", []),
    ("contract/", []),
    ("include/", []),
    # The host side: the module only through the public header and the contract.
    ("host/client/", ["records/", "contract/"]),
    # Finding the module by programmatic identifier reads the class root it registers itself in.
    ("host/client/prog_id.cpp", ["records/", "contract/", "platform/registry.h"]),
    ("host/oskit/", []),
    ("tools/ctl/", PROGRAM),
    # qm4720ctl history reads the service's database with the service's own reader.
    ("tools/ctl/history_command.cpp",
     PROGRAM + ["service/core/history_params.h", "service/core/history_points.h",
                "service/core/history_reader.h", "service/core/history_row.h"]),
    ("tools/sim/", ["host/oskit/", "records/", "contract/"]),
    ("service/", CLIENT),
    ("service/main.cpp", ["service/"] + CLIENT),
    ("service/outputs.h", ["service/"] + CLIENT),
    ("service/outputs.cpp", ["service/"] + CLIENT),
    # A line through a serial device server opens the bridge's terminal in place of the port.
    ("service/core/", CLIENT + ["host/oskit/bridge/"]),
    ("service/modbus/", SERVICE_OUTPUT),
    ("service/http/", SERVICE_OUTPUT),
    ("service/mqtt/", SERVICE_OUTPUT),
    ("service/history/", SERVICE_OUTPUT),
    ("python/", CLIENT),
    ("examples/", CLIENT),
    ("bench/", PROGRAM),
    ("bench/service/", PROGRAM + ["service/"]),
    # The bench of the core's own operations links the module's code, not the module.
    ("bench/core_bench.cpp", PROGRAM + MODULE),
]

# Headers that only the files of these patterns may include, whatever their layer allows; this
# holds in tests and fuzz targets too.
PRIVATE = [
    # The session is the Driver's private part: every program talks to qm4720::Driver.
    ("host/client/driver_session.h", ["host/client/*.cpp", "tests/host/*"]),
]

UNCHECKED = re.compile(r"(^|/)(tests|fuzz)/")
QUOTED = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
NATIVE = re.compile(r"^\s*#\s*include\s*<platform_native\.h>")


def rule_for(path):
    best = None
    for scope, allowed in RULES:
        if path == scope or (scope.endswith("/") and path.startswith(scope)):
            if best is None or len(scope) > len(best[0]):
                best = (scope, allowed)
    return best


def own_folder(path):
    """The folder of the scope a file belongs to: what it may always include."""
    scope = rule_for(path)[0]
    return scope if scope.endswith("/") else os.path.dirname(scope) + "/"


def project_name(root, path, name):
    """The include as a path from the root, or None when it is not one of the project's files."""
    beside = os.path.normpath(os.path.join(os.path.dirname(path), name))
    if os.path.isfile(os.path.join(root, beside)) and "/" not in name:
        return beside
    top = name.split("/", 1)[0]
    if top == "qm4720" or top not in SOURCE_FOLDERS:
        return None
    return name


def allowed(path, target):
    scope, rules = rule_for(path)
    if target.startswith(own_folder(path)):
        return True
    return any(target == r or (r.endswith("/") and target.startswith(r)) for r in rules)


def private_fault(path, target):
    """Why `path` may not include the private header `target`; None when it may."""
    for header, includers in PRIVATE:
        if target == header and not any(fnmatch.fnmatch(path, p) for p in includers):
            return f"only {', '.join(includers)} may"
    return None


def describe(path):
    scope, rules = rule_for(path)
    others = ", ".join(rules) if rules else "nothing else"
    return f"{scope} may include {own_folder(path)} and {others} (and the public header)"


def check(root):
    faults = []
    for top in SOURCE_FOLDERS:
        for folder, _, files in os.walk(os.path.join(root, top)):
            for file in sorted(files):
                if not file.endswith(SUFFIXES):
                    continue
                path = os.path.relpath(os.path.join(folder, file), root).replace(os.sep, "/")
                layered = not UNCHECKED.search(path) and rule_for(path) is not None
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as text:
                    for number, line in enumerate(text, 1):
                        if layered and NATIVE.match(line) and not path.startswith("platform/"):
                            faults.append(f"{path}:{number}: includes <platform_native.h>: "
                                          "only platform/ may")
                            continue
                        match = QUOTED.match(line)
                        if not match:
                            continue
                        target = project_name(root, path, match.group(1))
                        if target is None:
                            continue
                        if why := private_fault(path, target):
                            faults.append(f"{path}:{number}: includes \"{match.group(1)}\": {why}")
                        elif layered and not allowed(path, target):
                            faults.append(f"{path}:{number}: includes \"{match.group(1)}\": "
                                          f"{describe(path)}")
    return faults


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check(sys.argv[1])
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} include(s) against the direction (STYLE.md, Layers)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
