// The C face (include/qm4720/qm4720_client.h) over the C++ interface qm4720::Driver: the same
// checks, register resolution and write rounding, each result turned into -1 and a recorded code.
// No exception leaves a function here: the C caller could not catch it.
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "host/client/c_face_settings.h"
#include "host/client/error_outcomes.h"
#include "qm4720/qm4720.hpp"
#include "qm4720/qm4720_client.h"

using qm4720::ErrorCode;

// The C codes are the C++ interface's and the driver's, number for number.
static_assert(QM4720_E_NONE == static_cast<int>(ErrorCode::kNone));
static_assert(QM4720_E_REGISTER_NAME == static_cast<int>(ErrorCode::kRegisterName));
static_assert(QM4720_E_STATION == static_cast<int>(ErrorCode::kStation));
static_assert(QM4720_E_REGISTER_RANGE == static_cast<int>(ErrorCode::kRegisterRange));
static_assert(QM4720_E_DATA_TYPE == static_cast<int>(ErrorCode::kDataType));
static_assert(QM4720_E_TIMEOUT == static_cast<int>(ErrorCode::kTimeout));
static_assert(QM4720_E_OPEN == static_cast<int>(ErrorCode::kOpen));
static_assert(QM4720_E_VALUE_RANGE == static_cast<int>(ErrorCode::kValueRange));
static_assert(QM4720_E_FORMAT == static_cast<int>(ErrorCode::kFormat));
static_assert(QM4720_E_REPLY == static_cast<int>(ErrorCode::kReply));
static_assert(QM4720_E_BAUD_RANGE == static_cast<int>(ErrorCode::kBaudRange));
static_assert(QM4720_E_MODULE == static_cast<int>(ErrorCode::kModule));
static_assert(QM4720_E_USAGE == static_cast<int>(ErrorCode::kUsage));
static_assert(QM4720_E_REFUSED == static_cast<int>(ErrorCode::kRefused));
static_assert(QM4720_E_MISMATCH == static_cast<int>(ErrorCode::kMismatch));
static_assert(QM4720_E_NOT_OPEN == static_cast<int>(ErrorCode::kNotOpen));
static_assert(QM4720_E_OTHER == static_cast<int>(ErrorCode::kOther));

struct qm4720_meter {
    qm4720::Driver driver;
    // The latest call's result on this handle; the driver serialises its own calls.
    mutable std::mutex mutex;
    qm4720::Error last;
};

namespace {

// The calling thread's latest result, and the copy of a message handed to it.
thread_local qm4720::Error t_last;
thread_local std::string t_message;

// The host library's own codes; the driver's take their gloss from host::Gloss, as qm4720ctl and
// qm4720d show them.
constexpr struct {
    int code;
    const char* text;
} kLibraryReasons[] = {
    {QM4720_E_NONE, "no error"},
    {QM4720_E_MODULE, "the driver module could not be loaded"},
    {QM4720_E_USAGE, "a wrong argument"},
    {QM4720_E_REFUSED, "the meter refused the written value"},
    {QM4720_E_MISMATCH, "the value read back differs from the one written"},
    {QM4720_E_NOT_OPEN, "no port is open"},
    {QM4720_E_OTHER, "the driver failed without giving a reason"},
};

int Record(qm4720_t* meter, qm4720::Error error) {
    const int result = error ? -1 : 0;
    if (meter != nullptr) {
        const std::lock_guard lock(meter->mutex);
        meter->last = error;
    }
    t_last = std::move(error);
    return result;
}

int Refuse(qm4720_t* meter, std::string message) {
    return Record(meter, qm4720::Error{ErrorCode::kUsage, std::move(message)});
}

int OutOfMemory(qm4720_t* meter) noexcept {
    // The message stays empty: building one could run out of memory too.
    if (meter != nullptr) {
        const std::lock_guard lock(meter->mutex);
        meter->last.code = ErrorCode::kOther;
        meter->last.message.clear();
    }
    t_last.code = ErrorCode::kOther;
    t_last.message.clear();
    return -1;
}

// The handle and register that every exchange needs; false once the refusal is recorded.
bool CheckExchange(qm4720_t* meter, const char* reg, const char* what) {
    if (meter == nullptr) {
        Refuse(nullptr, std::string(what) + ": the handle is NULL");
        return false;
    }
    if (reg == nullptr) {
        Refuse(meter, std::string(what) + ": the register is NULL");
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

qm4720_t* qm4720_open(const char* port, const char* settings) {
    try {
        if (port == nullptr) {
            Refuse(nullptr, "open: the port is NULL");
            return nullptr;
        }
        qm4720::OpenOptions options;
        options.port = port;
        std::string error;
        if (settings != nullptr && !host::ParseOpenSettings(settings, options, error)) {
            Refuse(nullptr, error);
            return nullptr;
        }
        auto meter = std::make_unique<qm4720_t>();
        if (qm4720::Error failure = meter->driver.Open(options)) {
            Record(nullptr, std::move(failure));
            return nullptr;
        }
        Record(meter.get(), {});
        return meter.release();
    } catch (...) {
        // Only std::bad_alloc can leave the C++ interface.
        OutOfMemory(nullptr);
        return nullptr;
    }
}

int qm4720_read(qm4720_t* meter, int station, const char* reg, double* value) {
    try {
        if (!CheckExchange(meter, reg, "read")) return -1;
        if (value == nullptr) return Refuse(meter, "read: the place for the value is NULL");
        const qm4720::Reading reading = meter->driver.Read(station, reg);
        if (reading.ok()) *value = reading.value;
        return Record(meter, reading.error);
    } catch (...) {
        return OutOfMemory(meter);
    }
}

int qm4720_write(qm4720_t* meter, int station, const char* reg, double value) {
    try {
        if (!CheckExchange(meter, reg, "write")) return -1;
        return Record(meter, meter->driver.Write(station, reg, value).error);
    } catch (...) {
        return OutOfMemory(meter);
    }
}

void qm4720_close(qm4720_t* meter) {
    // The Driver's destructor closes the port and unloads the module without throwing.
    delete meter;
}

const char* qm4720_strerror(int code) {
    for (const auto& entry : kLibraryReasons) {
        if (entry.code == code) return entry.text;
    }
    // Every gloss is a literal: the view's data is NUL-terminated static storage.
    const std::string_view gloss = host::Gloss(code);
    return gloss.empty() ? "unknown error code" : gloss.data();
}

int qm4720_last_error(const qm4720_t* meter) {
    if (meter == nullptr) return static_cast<int>(t_last.code);
    const std::lock_guard lock(meter->mutex);
    return static_cast<int>(meter->last.code);
}

const char* qm4720_last_message(const qm4720_t* meter) {
    try {
        if (meter == nullptr) {
            t_message = t_last.message;
        } else {
            const std::lock_guard lock(meter->mutex);
            t_message = meter->last.message;
        }
    } catch (const std::bad_alloc&) {
        t_message.clear();
    }
    return t_message.c_str();
}

}  // extern "C"
