// What the binding hands to Python: readings and registers as Python objects, and failures as
// qm4720.DriverError or ValueError. Every function here needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "qm4720/qm4720.hpp"

namespace qm4720py {

namespace py = pybind11;

// One register as Python sees it.
struct PyRegister {
    std::string mnemonic;
    int index = -1;
    std::string type;  // "INT", "FLOAT"
    bool readOnly = false;
};

// One reading as Python sees it: the value an int for every type but FLOAT, the time a datetime
// in UTC.
struct PyReading {
    int station = 0;
    std::string reg;
    std::string type;
    py::object value;
    int quality = 0;
    py::object time;
    double latencyMs = 0;
};

PyRegister ToPython(const qm4720::Register& reg);
PyReading ToPython(const qm4720::Reading& reading);

// Defines qm4720.DriverError (an Exception with .code, .message and .reason) and the ERROR_* codes
// in `m`.
void DefineErrors(py::module_& m);

// `text` as a Python str. Texts come back from the caller's own arguments (a bytes register name
// in a message): bytes that are not UTF-8 are shown as \x escapes rather than raise.
py::str Text(const std::string& text);

// Raises `error`: ValueError for a fault of the call (kUsage, kNotOpen), else DriverError.
[[noreturn]] void Raise(const qm4720::Error& error);
[[noreturn]] void RaiseValueError(const std::string& message);

}  // namespace qm4720py
