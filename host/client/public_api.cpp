// The public C++ interface (include/qm4720/qm4720.hpp) over host::DriverSession: the module loaded
// by file or by programmatic identifier, the line (traced or not), register resolution and write
// rounding, with every failure turned into an Error of the result. Every program of ours is built
// on it.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "contract/messages.h"
#include "host/client/driver_session.h"
#include "host/client/error_outcomes.h"
#include "host/client/module_loader.h"
#include "host/client/port_problem.h"
#include "host/client/gbk_text.h"
#include "contract/meter_values.h"
#include "qm4720/qm4720.hpp"

namespace qm4720 {
namespace {

using Clock = std::chrono::system_clock;

// 100 ns intervals between 1601-01-01 and 1970-01-01, both UTC.
constexpr std::uint64_t kFileTimeOfUnixEpoch = 116444736000000000ULL;

Clock::time_point FromFileTime(std::uint64_t fileTime) {
    const auto since1970 = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>(
        static_cast<std::int64_t>(fileTime - kFileTimeOfUnixEpoch));
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(since1970));
}

Error Fail(ErrorCode code, std::string message) {
    return Error{code, std::move(message), {}};
}

// The driver's failure as an Error: its code with the code's English gloss, or kOther when it
// recorded none.
Error DriverFailure(std::int32_t code, const std::string& message, const char* what) {
    if (code == contract::kErrorNone) {
        return Fail(ErrorCode::kOther,
                    message.empty() ? std::string(what) + ": the driver gave no reason" : message);
    }
    return Error{static_cast<ErrorCode>(code), message, std::string(host::Gloss(code)), message};
}

// The module reads its texts as C strings: one with a NUL in it would be taken as its start only
// (PV\0junk as PV).
Error RefuseNul(std::string_view text, const char* what) {
    if (text.find('\0') == std::string_view::npos) return {};
    return Fail(ErrorCode::kUsage, std::string(what) + ": the text has a NUL character in it");
}

// The calls on a Driver moved from.
Error MovedFrom(const char* call) {
    return Fail(ErrorCode::kUsage, std::string(call) + ": this Driver was moved from");
}

Register FromRef(const host::RegisterRef& ref) {
    return Register{ref.mnemonic, ref.index, static_cast<DataType>(ref.type), ref.readOnly};
}

Error CheckStationNumber(int station) {
    if (station >= 0 && station <= 99) return {};
    return Fail(ErrorCode::kUsage, "station " + std::to_string(station) + ": expected 0..99");
}

}  // namespace

struct Driver::Impl {
    // One call at a time on the driver object; mutable so that the const queries take it too.
    mutable std::mutex mutex;
    // The pass-through of a traced line; it outlives the driver's use of the port.
    std::shared_ptr<void> tap;
    std::unique_ptr<host::DriverSession> session;
    host::ModuleChoice module;
    std::string model;
    bool open = false;

    Error LoadLocked(const host::ModuleChoice& choice, const std::string& modelName) {
        model = modelName;
        if (session != nullptr && choice.modulePath == module.modulePath &&
            choice.progId == module.progId) {
            return {};
        }
        CloseLocked();
        session.reset();
        std::string error;
        session = host::DriverSession::Create(choice, error);
        if (session == nullptr) {
            return Error{ErrorCode::kModule, "cannot load the driver: " + error, {}, error};
        }
        module = choice;
        return {};
    }

    void CloseLocked() {
        if (session != nullptr) session->Close();
        tap.reset();
        open = false;
    }

    // Resolves `text` against the model's table; the error says which register was refused.
    std::optional<host::RegisterRef> Resolve(std::string_view text, std::uint16_t types,
                                             Error& failure) const {
        std::string error;
        auto ref = session->Resolve(model, std::string(text), types == 0 ? 0xFFFF : types, error);
        if (!ref) {
            failure = DriverFailure(session->ErrorCode(), error, "register");
            failure.message = "register '" + std::string(text) + "': " + failure.message;
        }
        return ref;
    }

    Reading Exchange(int station, const host::RegisterRef& ref, bool write, double value) {
        Reading reading;
        reading.station = station;
        reading.reg = FromRef(ref);
        reading.time = Clock::now();
        const auto station16 = static_cast<std::int16_t>(station);
        const host::Reading done = write ? session->Write(model, station16, ref, value)
                                         : session->Read(model, station16, ref);
        reading.latency = std::chrono::duration<double, std::milli>(done.latencyMs);
        if (!done.ok) {
            reading.error =
                write && done.error.empty()
                    ? Fail(ErrorCode::kRefused,
                           "write " + ref.mnemonic + ": the meter refused the value (NAK)")
                    : DriverFailure(done.errorCode, done.error, write ? "write" : "read");
            return reading;
        }
        reading.value = done.value;
        reading.quality = done.quality;
        if (done.fileTime != 0) reading.time = FromFileTime(done.fileTime);
        return reading;
    }
};

Driver::Driver() : impl_(std::make_unique<Impl>()) {}
Driver::~Driver() = default;
Driver::Driver(Driver&&) noexcept = default;
Driver& Driver::operator=(Driver&&) noexcept = default;

Error Driver::Load(const std::string& modulePath, const std::string& model) {
    if (impl_ == nullptr) return MovedFrom("load");
    if (Error nul = RefuseNul(modulePath, "module path")) return nul;
    if (Error nul = RefuseNul(model, "model")) return nul;
    const std::lock_guard lock(impl_->mutex);
    return impl_->LoadLocked(host::ModuleChoice{modulePath, ""}, model);
}

Error Driver::LoadByProgId(const std::string& progId, const std::string& model) {
    if (impl_ == nullptr) return MovedFrom("load");
    if (Error nul = RefuseNul(progId, "programmatic identifier")) return nul;
    if (Error nul = RefuseNul(model, "model")) return nul;
    if (progId.empty()) return Fail(ErrorCode::kUsage, "load: no programmatic identifier given");
    const std::lock_guard lock(impl_->mutex);
    return impl_->LoadLocked(host::ModuleChoice{"", progId}, model);
}

Error Driver::Open(const OpenOptions& options) {
    if (impl_ == nullptr) return MovedFrom("open");
    const std::pair<std::string_view, const char*> texts[] = {
        {options.port, "port"},
        {options.model, "model"},
        {options.modulePath, "module path"},
        {options.progId, "programmatic identifier"}};
    for (const auto& [text, what] : texts) {
        if (Error nul = RefuseNul(text, what)) return nul;
    }
    if (Error range = CheckLine(options)) return range;
    // The module takes at most 31 characters: a longer name is most often a stable link, and the
    // device it names is short. Followed once here, so that what is checked is what is opened.
    // Traced, the driver opens the pass-through's pseudo-terminal, whose name is short, and the
    // device is opened by this library, which takes any name.
    const std::string device = host::PortDeviceName(options.port);
    PortSettings settings{};
    if (!options.passThrough && !host::PortSettingsFor(device, options, settings)) {
        // A long name that leads nowhere is a port that cannot be opened, like a short one.
        const std::string why = device.empty() ? std::string() : host::PortOpenProblem(device);
        if (!why.empty()) {
            const std::string text = host::GbkToUtf8(contract::MessageText(contract::kErrorOpen));
            return Error{ErrorCode::kOpen, "cannot open " + options.port + ": " + text,
                         std::string(host::Gloss(contract::kErrorOpen)) + "; " + why, text};
        }
        return Fail(ErrorCode::kUsage, "port '" + options.port +
                                           "': expected a device name of 1..31 characters, or a "
                                           "link to one");
    }
    const std::lock_guard lock(impl_->mutex);
    if (Error loaded = impl_->LoadLocked({options.modulePath, options.progId}, options.model)) {
        return loaded;
    }
    impl_->CloseLocked();
    if (options.passThrough) {
        std::string error;
        std::string portName;
        impl_->tap = options.passThrough(device, options, portName, error);
        if (impl_->tap == nullptr) {
            return Error{ErrorCode::kOpen, "cannot open " + options.port + ": trace: " + error,
                         error};
        }
        if (!host::PortSettingsFor(portName, options, settings)) {
            impl_->tap.reset();
            return Fail(ErrorCode::kOpen, "cannot open " + options.port +
                                              ": the trace's pseudo-terminal has too long a name");
        }
    }

    std::string error;
    if (!impl_->session->Open(settings, error)) {
        impl_->tap.reset();
        Error failure = DriverFailure(impl_->session->ErrorCode(), error, "open");
        failure.message = "cannot open " + options.port + ": " + failure.message;
        // The driver says only that opening failed; the system says why, as qm4720ctl shows it.
        const std::string why = host::PortOpenProblem(options.port);
        if (!why.empty()) failure.reason += (failure.reason.empty() ? "" : "; ") + why;
        return failure;
    }
    impl_->open = true;
    return {};
}

void Driver::Close() {
    if (impl_ == nullptr) return;
    const std::lock_guard lock(impl_->mutex);
    impl_->CloseLocked();
}

bool Driver::IsOpen() const {
    if (impl_ == nullptr) return false;
    const std::lock_guard lock(impl_->mutex);
    return impl_->open;
}

Reading Driver::Read(int station, std::string_view reg) {
    Reading reading;
    reading.station = station;
    reading.reg.mnemonic = std::string(reg);
    reading.time = Clock::now();
    if (impl_ == nullptr) {
        reading.error = MovedFrom("read");
        return reading;
    }
    if ((reading.error = RefuseNul(reg, "read: register"))) return reading;
    const std::lock_guard lock(impl_->mutex);
    if (!impl_->open) {
        reading.error = Fail(ErrorCode::kNotOpen, "read: no port is open");
        return reading;
    }
    if ((reading.error = CheckStationNumber(station))) return reading;
    const auto ref = impl_->Resolve(reg, 0, reading.error);
    if (!ref) return reading;
    return impl_->Exchange(station, *ref, false, 0);
}

Reading Driver::Write(int station, std::string_view reg, double value, bool verify) {
    Reading reading;
    reading.station = station;
    reading.reg.mnemonic = std::string(reg);
    reading.value = value;
    reading.time = Clock::now();
    if (impl_ == nullptr) {
        reading.error = MovedFrom("write");
        return reading;
    }
    if ((reading.error = RefuseNul(reg, "write: register"))) return reading;
    const std::lock_guard lock(impl_->mutex);
    if (!impl_->open) {
        reading.error = Fail(ErrorCode::kNotOpen, "write: no port is open");
        return reading;
    }
    if ((reading.error = CheckStationNumber(station))) return reading;
    const auto ref = impl_->Resolve(reg, 0, reading.error);
    if (!ref) return reading;
    reading.reg = FromRef(*ref);
    const std::string name = "write " + ref->mnemonic;
    if (ref->readOnly) {
        reading.error = Fail(ErrorCode::kUsage, name + ": a read-only register of the meter");
        return reading;
    }
    const contract::WriteFit fit = contract::FitWrite(ref->type, value);
    if (!fit.sent) {
        reading.error = Fail(ErrorCode::kUsage, name + ": " + std::string(fit.refusal));
        return reading;
    }
    const double sent = *fit.sent;
    Reading written = impl_->Exchange(station, *ref, true, sent);
    written.value = sent;
    if (!written.ok()) return written;
    // The driver stamps reads only; the meter's acknowledgement is what makes a write good.
    if (!verify) {
        written.quality = 192;
        return written;
    }

    Reading back = impl_->Exchange(station, *ref, false, 0);
    back.latency += written.latency;
    if (back.ok() && !contract::ReadBackMatches(back.value, sent)) {
        back.error = Fail(ErrorCode::kMismatch, name + ": read back " + std::to_string(back.value) +
                                                    ", not the " + std::to_string(sent) + " sent");
        // The value read is the meter's, but the write failed: never a good result.
        back.quality = 0;
    } else if (!back.ok()) {
        back.error.message = name + ": written, but the read back failed: " + back.error.message;
    }
    return back;
}

ProbeResult Driver::Probe(StationRange range, const ProbeProgress& progress) {
    ProbeResult result;
    if (impl_ == nullptr) {
        result.error = MovedFrom("probe");
        return result;
    }
    if (range.first < 0 || range.last > 99 || range.first > range.last) {
        result.error = Fail(ErrorCode::kUsage, "probe: expected a station range within 0..99");
        return result;
    }
    for (int station = range.first; station <= range.last; ++station) {
        bool answered = false;
        {
            // Taken per station, so that the progress callback may use this Driver.
            const std::lock_guard lock(impl_->mutex);
            if (!impl_->open) {
                result.error = Fail(ErrorCode::kNotOpen, "probe: no port is open");
                return result;
            }
            answered = impl_->session->Probe(impl_->model, static_cast<std::int16_t>(station));
        }
        if (answered) result.answered.push_back(station);
        if (progress && !progress(station, answered)) {
            result.stopped = station != range.last;
            break;
        }
    }
    return result;
}

std::vector<Register> Driver::Table(std::string_view model) const {
    std::vector<Register> table;
    if (impl_ == nullptr || RefuseNul(model, "model")) return table;
    const std::lock_guard lock(impl_->mutex);
    if (impl_->session == nullptr) return table;
    const auto entries = impl_->session->RegisterTable(std::string(model));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const RegisterDescriptor& entry = entries[i];
        table.push_back(Register{
            std::string(entry.mnemonic, strnlen(entry.mnemonic, sizeof entry.mnemonic)),
            static_cast<int>(i), static_cast<DataType>(entry.dataType), entry.readOnly != 0});
    }
    return table;
}

StationResult Driver::CheckStation(std::string_view text) const {
    StationResult result;
    if (impl_ == nullptr) {
        result.error = MovedFrom("check station");
        return result;
    }
    if ((result.error = RefuseNul(text, "check station"))) return result;
    const std::lock_guard lock(impl_->mutex);
    if (impl_->session == nullptr) {
        result.error = Fail(ErrorCode::kNotOpen, "check station: no driver is loaded");
        return result;
    }
    std::string error;
    const std::optional<int> station = impl_->session->CheckStation(std::string(text), error);
    if (!station) {
        result.error = DriverFailure(impl_->session->ErrorCode(), error, "station");
        result.error.message = "station '" + std::string(text) + "': " + result.error.message;
        return result;
    }
    result.station = *station;
    return result;
}

RegisterResult Driver::ParseRegister(std::string_view text, std::uint16_t types) const {
    RegisterResult result;
    if (impl_ == nullptr) {
        result.error = MovedFrom("parse register");
        return result;
    }
    if ((result.error = RefuseNul(text, "parse register"))) return result;
    const std::lock_guard lock(impl_->mutex);
    if (impl_->session == nullptr) {
        result.error = Fail(ErrorCode::kNotOpen, "parse register: no driver is loaded");
        return result;
    }
    if (const auto ref = impl_->Resolve(text, types, result.error)) result.reg = FromRef(*ref);
    return result;
}

std::int32_t Driver::ExecuteRequestRecord(QM4720IoRequest& request) {
    if (impl_ == nullptr) return 0;
    const std::lock_guard lock(impl_->mutex);
    if (!impl_->open) return 0;
    IDeviceDriverEx* extended = impl_->session->DriverEx();
    return extended->lpVtbl->ExecuteRequestEx(extended, &request);
}

}  // namespace qm4720
