// import qm4720: the driver for Python programs. Every call that talks to the line lets go of the
// GIL while it waits, so other Python threads run meanwhile, and Ctrl-C interrupts it; failures
// raise DriverError (with .code, .message and .reason) and faults of the call itself raise
// ValueError.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interruptible_call.h"
#include "python_values.h"
#include "qm4720/qm4720.hpp"

namespace qm4720py {
namespace {

// The driver module when the caller names none: the one beside this binding (the build tree), else,
// for a binding that the project's own install rules placed, the one they put relative to it; else
// "", which leaves the choice (and the message naming where it looked) to the host library.
std::string DefaultModulePath() {
    const std::filesystem::path self =
        py::module_::import("qm4720").attr("__file__").cast<std::string>();
    std::vector<std::filesystem::path> candidates = {
        self.parent_path() / (std::string("qm4720") + self.extension().string()),
    };
#ifdef QM_MODULE_FROM_BINDING_FOLDER
    candidates.push_back((self.parent_path() / QM_MODULE_FROM_BINDING_FOLDER).lexically_normal());
#endif
    for (const std::filesystem::path& candidate : candidates) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate.string();
    }
    return "";
}

std::uint16_t TypeMask(const std::vector<std::string>& names) {
    std::uint16_t mask = 0;
    for (const std::string& name : names) {
        qm4720::DataType type{};
        if (!qm4720::DataTypeFromName(name, type)) {
            RaiseValueError("types: unknown type name '" + name + "'");
        }
        mask = static_cast<std::uint16_t>(mask | static_cast<std::uint16_t>(type));
    }
    return mask;
}

// The station range of probe(): a range of step 1 within 0..99. Compared as Python integers, so
// that a bound beyond C's int is named like any other.
qm4720::StationRange StationsOf(const py::object& stations) {
    if (!py::isinstance(stations, py::module_::import("builtins").attr("range"))) {
        RaiseValueError("probe: expected a range of stations, such as range(0, 100), got " +
                        py::repr(stations).cast<std::string>());
    }
    const py::object start = stations.attr("start");
    const py::object stop = stations.attr("stop");
    const std::string shown = py::repr(stations).cast<std::string>();
    if (py::object(stations.attr("step")).not_equal(py::int_(1))) {
        RaiseValueError("probe: " + shown + ": expected a step of 1");
    }
    if (start < py::int_(0)) RaiseValueError("probe: " + shown + ": starts below station 0");
    if (stop > py::int_(100)) RaiseValueError("probe: " + shown + ": ends beyond station 99");
    if (!(start < stop)) RaiseValueError("probe: " + shown + ": holds no station");
    return {start.cast<int>(), stop.cast<int>() - 1};
}

class PyDriver {
public:
    // The line starts from `line` ("9600,8N1,400"), or the factory settings; each keyword given
    // replaces its part.
    PyDriver(const std::string& port, const std::optional<int>& baud,
             const std::optional<std::string>& parity, const std::optional<int>& timeoutMs,
             const std::string& model, const std::optional<int>& dataBits,
             const std::optional<int>& stopBits, const std::optional<std::string>& module,
             const std::optional<std::string>& line)
        : driver_(std::make_shared<qm4720::Driver>()), ownerPid_(getpid()) {
        qm4720::LineSettingsResult read;
        if (line) read = qm4720::ParseLineSettings(*line);
        if (read.error) Raise(read.error);
        qm4720::OpenOptions options{read.settings};
        options.port = port;
        if (baud) options.baud = *baud;
        if (parity) {
            if (qm4720::Error error = qm4720::ParseParity(*parity, options.parity)) Raise(error);
        }
        if (dataBits) options.dataBits = *dataBits;
        if (stopBits) options.stopBits = *stopBits;
        if (timeoutMs) options.replyTimeoutMs = *timeoutMs;
        options.model = model;
        options.modulePath = module ? *module : DefaultModulePath();
        qm4720::Error error;
        {
            py::gil_scoped_release unlocked;
            error = driver_->Open(options);
        }
        if (error) Raise(error);
        model_ = model;
    }

    // A Driver inherited through fork() is never touched in the child: its lock may be held by a
    // thread that the child does not have, and closing its port would change the parent's line.
    ~PyDriver() {
        if (getpid() != ownerPid_) Forget();
    }

    void Close() {
        if (getpid() != ownerPid_) {
            Forget();
            return;
        }
        py::gil_scoped_release unlocked;
        driver_->Close();
    }

    PyReading Read(int station, const std::string& reg) {
        const qm4720::Reading reading = CallInterruptibly(
            Owned(), [station, reg](qm4720::Driver& d) { return d.Read(station, reg); });
        if (!reading.ok()) Raise(reading.error);
        return ToPython(reading);
    }

    std::vector<PyReading> ReadMany(int station, const std::vector<std::string>& registers) {
        std::vector<PyReading> readings;
        for (const std::string& reg : registers) readings.push_back(Read(station, reg));
        return readings;
    }

    PyReading Write(int station, const std::string& reg, double value, bool verify) {
        const qm4720::Reading reading =
            CallInterruptibly(Owned(), [station, reg, value, verify](qm4720::Driver& d) {
                return d.Write(station, reg, value, verify);
            });
        if (!reading.ok()) Raise(reading.error);
        return ToPython(reading);
    }

    // Station by station, so that Ctrl-C and the callback (on this thread, with the GIL) are seen
    // between stations and Ctrl-C also during one.
    std::vector<int> Probe(const py::object& stations, const py::object& progress) {
        const qm4720::StationRange range = StationsOf(stations);
        const std::shared_ptr<qm4720::Driver>& driver = Owned();
        std::vector<int> answered;
        for (int station = range.first; station <= range.last; ++station) {
            const qm4720::ProbeResult one = CallInterruptibly(driver, [station](qm4720::Driver& d) {
                return d.Probe({station, station});
            });
            if (one.error) Raise(one.error);
            const bool answer = !one.answered.empty();
            if (answer) answered.push_back(station);
            if (!progress.is_none()) {
                const py::object goOn = progress(station, answer);
                if (!goOn.is_none() && !goOn.cast<bool>()) break;
            }
        }
        return answered;
    }

    std::vector<PyRegister> Tables(const std::optional<std::string>& model) {
        std::vector<PyRegister> table;
        for (const qm4720::Register& reg : Owned()->Table(model ? *model : model_)) {
            table.push_back(ToPython(reg));
        }
        return table;
    }

    int CheckStation(const std::string& text) {
        const qm4720::StationResult result = Owned()->CheckStation(text);
        if (result.error) Raise(result.error);
        return result.station;
    }

    PyRegister ParseRegister(const std::string& text,
                             const std::optional<std::vector<std::string>>& types) {
        const std::uint16_t mask = types ? TypeMask(*types) : 0;
        const qm4720::RegisterResult result = Owned()->ParseRegister(text, mask);
        if (result.error) Raise(result.error);
        return ToPython(result.reg);
    }

    bool IsOpen() const { return getpid() == ownerPid_ && driver_ != nullptr && driver_->IsOpen(); }
    py::str Model() const { return Text(model_); }

private:
    // The Driver, in the process that opened it; ValueError in a child that inherited it.
    const std::shared_ptr<qm4720::Driver>& Owned() {
        if (getpid() != ownerPid_) {
            Forget();
            RaiseValueError("this Driver was opened by process " + std::to_string(ownerPid_) +
                            ": after os.fork() the child must open a Driver of its own");
        }
        return driver_;
    }

    // Leaks the inherited Driver on purpose: see ~PyDriver.
    void Forget() {
        if (driver_ != nullptr) new std::shared_ptr<qm4720::Driver>(std::move(driver_));
        driver_ = nullptr;
    }

    std::shared_ptr<qm4720::Driver> driver_;  // shared with a call still on the line
    std::string model_;
    pid_t ownerPid_;
};

}  // namespace
}  // namespace qm4720py

PYBIND11_MODULE(qm4720, m) {
    using namespace qm4720py;
    namespace py = pybind11;
    m.doc() = "Read and write the meters on a serial line through the driver module.";
    m.attr("__version__") = QM_VERSION;
    DefineErrors(m);

    py::class_<PyRegister>(m, "Register", "One register of a model's table.")
        .def_readonly("mnemonic", &PyRegister::mnemonic)
        .def_readonly("index", &PyRegister::index)
        .def_readonly("type", &PyRegister::type, "\"INT\" or \"FLOAT\"")
        .def_readonly("read_only", &PyRegister::readOnly)
        .def("__repr__", [](const PyRegister& r) {
            return "Register('" + r.mnemonic + "', index=" + std::to_string(r.index) + ", type='" +
                   r.type + "', read_only=" + (r.readOnly ? "True" : "False") + ")";
        });

    py::class_<PyReading>(m, "Reading", "One value read from, or written to, a register.")
        .def_readonly("station", &PyReading::station)
        .def_readonly("register", &PyReading::reg)
        .def_readonly("type", &PyReading::type, "\"INT\" or \"FLOAT\"")
        .def_readonly("value", &PyReading::value, "int for INT registers, float for FLOAT")
        .def_readonly("quality", &PyReading::quality, "the driver's quality stamp, 192 good")
        .def_readonly("time", &PyReading::time, "when the driver stamped it, a UTC datetime")
        .def_readonly("latency_ms", &PyReading::latencyMs, "wall time of the call")
        .def("__repr__", [](const PyReading& r) {
            return "Reading(station=" + std::to_string(r.station) + ", register='" + r.reg +
                   "', value=" + py::repr(r.value).cast<std::string>() +
                   ", quality=" + std::to_string(r.quality) +
                   ", time=" + py::repr(r.time).cast<std::string>() + ")";
        });

    py::class_<PyDriver>(m, "Driver", R"(One driver object and the serial port it opened.

Driver(port, baud=9600, parity="none", timeout_ms=400, model="", data_bits=8, stop_bits=1,
module=None, line=None) loads the driver module (module=None: the one beside this binding, else
the installed one) and opens the port; use it as a context manager to close the port however the
block ends. line="9600,8N1,400" gives the line's settings as text (baud, data bits, parity letter
N O E M S, stop bits, then the reply timeout in ms, which may be left out); a keyword given as
well replaces its part. Calls on one Driver are serialised; each call that talks to the line
blocks its thread (up to the timeout) but lets other Python threads run, and Ctrl-C interrupts
it. A Driver belongs to the process that opened it: after os.fork() the child opens its own.)")
        .def(py::init<const std::string&, const std::optional<int>&,
                      const std::optional<std::string>&, const std::optional<int>&,
                      const std::string&, const std::optional<int>&, const std::optional<int>&,
                      const std::optional<std::string>&, const std::optional<std::string>&>(),
             py::arg("port"), py::arg("baud") = py::none(), py::arg("parity") = py::none(),
             py::arg("timeout_ms") = py::none(), py::arg("model") = "",
             py::arg("data_bits") = py::none(), py::arg("stop_bits") = py::none(),
             py::arg("module") = py::none(), py::arg("line") = py::none())
        .def("close", &PyDriver::Close,
             "Closes the port; calls that need it then raise ValueError.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](PyDriver& self, const py::args&) {
                 self.Close();
                 return false;
             })
        .def_property_readonly("is_open", &PyDriver::IsOpen)
        .def_property_readonly("model", &PyDriver::Model)
        .def("read", &PyDriver::Read, py::arg("station"), py::arg("register"),
             "Reads one register of a station (0..99); DriverError when it fails.")
        .def("read_many", &PyDriver::ReadMany, py::arg("station"), py::arg("registers"),
             "Reads the registers in order; raises at the first that fails.")
        .def("write", &PyDriver::Write, py::arg("station"), py::arg("register"), py::arg("value"),
             py::arg("verify") = false,
             "Writes a value; FLOAT values are rounded to the meter's six characters and the "
             "reading holds what was sent. verify=True reads it back (ERROR_MISMATCH when it "
             "differs). ValueError for a read-only register or a value the register cannot take.")
        .def("probe", &PyDriver::Probe,
             py::arg("stations") = py::module_::import("builtins").attr("range")(0, 100),
             py::arg("progress") = py::none(),
             "The stations of a range that answer; progress(station, answered) is called after "
             "each and may return False to stop.")
        .def("tables", &PyDriver::Tables, py::arg("model") = py::none(),
             "The register table of a model (None: the Driver's model).")
        .def("check_station", &PyDriver::CheckStation, py::arg("text"),
             "The driver's reading of a station text: its number, or DriverError.")
        .def("parse_register", &PyDriver::ParseRegister, py::arg("text"),
             py::arg("types") = py::none(),
             "Resolves a register text against the model's table, accepting the named types "
             "(None: any).");
}
