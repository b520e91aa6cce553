#include "python_values.h"

#include <pybind11/eval.h>

#include <chrono>
#include <cstdint>
#include <utility>

namespace qm4720py {
namespace {

// The codes a Python caller compares .code with.
constexpr std::pair<const char*, qm4720::ErrorCode> kErrorNames[] = {
    {"ERROR_REGISTER_NAME", qm4720::ErrorCode::kRegisterName},
    {"ERROR_STATION", qm4720::ErrorCode::kStation},
    {"ERROR_REGISTER_RANGE", qm4720::ErrorCode::kRegisterRange},
    {"ERROR_DATA_TYPE", qm4720::ErrorCode::kDataType},
    {"ERROR_TIMEOUT", qm4720::ErrorCode::kTimeout},
    {"ERROR_OPEN", qm4720::ErrorCode::kOpen},
    {"ERROR_VALUE_RANGE", qm4720::ErrorCode::kValueRange},
    {"ERROR_FORMAT", qm4720::ErrorCode::kFormat},
    {"ERROR_REPLY", qm4720::ErrorCode::kReply},
    {"ERROR_BAUD_RANGE", qm4720::ErrorCode::kBaudRange},
    {"ERROR_MODULE", qm4720::ErrorCode::kModule},
    {"ERROR_REFUSED", qm4720::ErrorCode::kRefused},
    {"ERROR_MISMATCH", qm4720::ErrorCode::kMismatch},
    {"ERROR_OTHER", qm4720::ErrorCode::kOther},
};

constexpr char kDriverErrorSource[] = R"py(
class DriverError(Exception):
    """A failure of the driver, the line or the meter.

    code: why, one of the ERROR_* constants of this module.
    message: what failed, with the driver's own text when the driver refused.
    reason: why, in English (for a port: no such device, not a serial device, permission
    denied, busy); may be empty.
    """

    def __init__(self, code, message, reason=""):
        super().__init__(code, message, reason)
        self.code = code
        self.message = message
        self.reason = reason

    def __str__(self):
        reason = f" ({self.reason})" if self.reason else ""
        return f"{self.message}{reason} (code {self.code})"
)py";

py::object& DriverErrorType() {
    // Leaked on purpose: Python objects must not be released after the interpreter is gone.
    static auto* type = new py::object();
    return *type;
}

// A UTC datetime with the microseconds of `time`, built by adding to the epoch so that no float
// rounding moves it.
py::object UtcDateTime(std::chrono::system_clock::time_point time) {
    static auto* datetime = new py::object(py::module_::import("datetime"));
    static auto* epoch = new py::object(datetime->attr("datetime")(
        1970, 1, 1, py::arg("tzinfo") = datetime->attr("timezone").attr("utc")));
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    return *epoch + datetime->attr("timedelta")(py::arg("microseconds") = micros);
}

}  // namespace

PyRegister ToPython(const qm4720::Register& reg) {
    return PyRegister{reg.mnemonic, reg.index, qm4720::DataTypeName(reg.type), reg.readOnly};
}

PyReading ToPython(const qm4720::Reading& reading) {
    PyReading out;
    out.station = reading.station;
    out.reg = reading.reg.mnemonic;
    out.type = qm4720::DataTypeName(reading.reg.type);
    out.value = reading.IsInteger() ? py::object(py::int_(static_cast<std::int64_t>(reading.value)))
                                    : py::object(py::float_(reading.value));
    out.quality = reading.quality;
    out.time = UtcDateTime(reading.time);
    out.latencyMs = reading.latency.count();
    return out;
}

void DefineErrors(py::module_& m) {
    py::exec(kDriverErrorSource, m.attr("__dict__"));
    DriverErrorType() = m.attr("DriverError");
    for (const auto& [name, code] : kErrorNames) m.attr(name) = static_cast<int>(code);
}

py::str Text(const std::string& text) {
    PyObject* decoded =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

void RaiseValueError(const std::string& message) {
    PyErr_SetObject(PyExc_ValueError, Text(message).ptr());
    throw py::error_already_set();
}

void Raise(const qm4720::Error& error) {
    if (error.code == qm4720::ErrorCode::kUsage || error.code == qm4720::ErrorCode::kNotOpen) {
        RaiseValueError(error.reason.empty() ? error.message
                                             : error.message + " (" + error.reason + ")");
    }
    const py::object instance =
        DriverErrorType()(static_cast<int>(error.code), Text(error.message), Text(error.reason));
    PyErr_SetObject(DriverErrorType().ptr(), instance.ptr());
    throw py::error_already_set();
}

}  // namespace qm4720py
