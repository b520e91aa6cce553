// The public C++ interface (include/qm4720/qm4720.hpp) over host::DriverSession: the same session,
// register resolution and write rounding that qm4720ctl uses, with every failure turned into an
// Error of the result.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "contract/data_type.h"
#include "contract/messages.h"
#include "contract/meter_values.h"
#include "host/client/driver_session.h"
#include "host/client/gbk_text.h"
#include "host/client/port_problem.h"
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
    return Error{code, std::move(message)};
}

// The driver's failure as an Error: its code, or kOther when it recorded none.
Error DriverFailure(std::int32_t code, const std::string& message, const char* what) {
    if (code == contract::kErrorNone) {
        return Fail(ErrorCode::kOther,
                    message.empty() ? std::string(what) + ": the driver gave no reason" : message);
    }
    return Fail(static_cast<ErrorCode>(code), message);
}

Register FromRef(const host::RegisterRef& ref) {
    return Register{ref.mnemonic, ref.index, static_cast<DataType>(ref.type), ref.readOnly};
}

Error CheckStationNumber(int station) {
    if (station >= 0 && station <= 99) return {};
    return Fail(ErrorCode::kUsage, "station " + std::to_string(station) + ": expected 0..99");
}

}  // namespace

const char* DataTypeName(DataType type) {
    switch (type) {
        case DataType::kBit:
            return "BIT";
        case DataType::kByte:
            return "BYTE";
        case DataType::kInt:
            return "INT";
        case DataType::kUint:
            return "UINT";
        case DataType::kBcd:
            return "BCD";
        case DataType::kLong:
            return "LONG";
        case DataType::kLongBcd:
            return "LONGBCD";
        case DataType::kFloat:
            return "FLOAT";
        case DataType::kString:
            return "STRING";
    }
    return "?";
}

struct Driver::Impl {
    // One call at a time on the driver object; mutable so that the const queries take it too.
    mutable std::mutex mutex;
    std::unique_ptr<host::DriverSession> session;
    std::string modulePath;
    std::string model;
    bool open = false;

    Error LoadLocked(const std::string& path, const std::string& modelName) {
        model = modelName;
        if (session != nullptr && path == modulePath) return {};
        session.reset();
        open = false;
        std::string error;
        session = host::DriverSession::Create(host::ModuleChoice{path, ""}, error);
        if (session == nullptr) return Fail(ErrorCode::kModule, "cannot load the driver: " + error);
        modulePath = path;
        return {};
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
    const std::lock_guard lock(impl_->mutex);
    return impl_->LoadLocked(modulePath, model);
}

Error Driver::Open(const OpenOptions& options) {
    const std::lock_guard lock(impl_->mutex);
    if (options.port.empty() || options.port.size() >= sizeof PortSettings{}.portName) {
        return Fail(ErrorCode::kUsage,
                    "port '" + options.port + "': expected a device name of 1..31 characters");
    }
    if (options.dataBits < 5 || options.dataBits > 8) {
        return Fail(ErrorCode::kUsage, "data bits: expected 5..8");
    }
    if (options.stopBits != 1 && options.stopBits != 2) {
        return Fail(ErrorCode::kUsage, "stop bits: expected 1 or 2");
    }
    // Below 10 ms the driver waits 1000 ms instead: refused rather than silently changed.
    if (options.replyTimeoutMs < 10 || options.replyTimeoutMs > 32767) {
        return Fail(ErrorCode::kUsage, "reply timeout: expected 10..32767 ms");
    }
    if (Error loaded = impl_->LoadLocked(options.modulePath, options.model)) return loaded;
    impl_->session->Close();
    impl_->open = false;

    const std::string device = host::PortDeviceName(options.port);
    PortSettings settings{};
    std::memcpy(settings.portName, device.c_str(),
                std::min(device.size(), sizeof settings.portName - 1));
    settings.baudRate = options.baud;
    settings.dataBits = static_cast<std::uint8_t>(options.dataBits);
    settings.stopBits = static_cast<std::int16_t>(options.stopBits);
    settings.parity = static_cast<std::uint8_t>(options.parity);
    settings.replyTimeout = static_cast<std::int16_t>(options.replyTimeoutMs);
    std::string error;
    if (!impl_->session->Open(settings, error)) {
        Error failure = DriverFailure(impl_->session->ErrorCode(), error, "open");
        failure.message = "cannot open " + options.port + ": " + failure.message;
        return failure;
    }
    impl_->open = true;
    return {};
}

void Driver::Close() {
    const std::lock_guard lock(impl_->mutex);
    if (impl_->session != nullptr) impl_->session->Close();
    impl_->open = false;
}

bool Driver::IsOpen() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->open;
}

Reading Driver::Read(int station, std::string_view reg) {
    const std::lock_guard lock(impl_->mutex);
    Reading reading;
    reading.station = station;
    reading.reg.mnemonic = std::string(reg);
    reading.time = Clock::now();
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
    const std::lock_guard lock(impl_->mutex);
    Reading reading;
    reading.station = station;
    reading.reg.mnemonic = std::string(reg);
    reading.value = value;
    reading.time = Clock::now();
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
    if (!written.ok() || !verify) return written;

    Reading back = impl_->Exchange(station, *ref, false, 0);
    back.latency += written.latency;
    if (back.ok() && !contract::ReadBackMatches(back.value, sent)) {
        back.error = Fail(ErrorCode::kMismatch, name + ": read back " + std::to_string(back.value) +
                                                    ", not the " + std::to_string(sent) + " sent");
    } else if (!back.ok()) {
        back.error.message = name + ": written, but the read back failed: " + back.error.message;
    }
    return back;
}

ProbeResult Driver::Probe(StationRange range, const ProbeProgress& progress) {
    ProbeResult result;
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
    const std::lock_guard lock(impl_->mutex);
    std::vector<Register> table;
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
    const std::lock_guard lock(impl_->mutex);
    StationResult result;
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
    const std::lock_guard lock(impl_->mutex);
    RegisterResult result;
    if (impl_->session == nullptr) {
        result.error = Fail(ErrorCode::kNotOpen, "parse register: no driver is loaded");
        return result;
    }
    if (const auto ref = impl_->Resolve(text, types, result.error)) result.reg = FromRef(*ref);
    return result;
}

}  // namespace qm4720
