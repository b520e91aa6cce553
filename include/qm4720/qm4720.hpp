// qm4720.hpp: the C++ interface for programs that read and write the meters through the driver
// module. It needs the standard library only (C++17 or later) and this one include path.
//
// A Driver loads the module, creates one driver object and, once opened, holds one serial port.
// Every result carries its own failure: nothing here throws, except std::bad_alloc when memory
// runs out. Failures have a code (ErrorCode), the message in UTF-8 (with the driver's own text
// when the driver refused) and the reason in English.
//
// Threads: calls on one Driver are serialised by the Driver itself, so several threads may share
// one, each call waiting for the one before it. On Windows the driver object lives in the
// single-threaded apartment of the thread that opened the Driver: call it from that thread only.
// Different Drivers on different ports may run at the same time.
//
// Blocking: Open, Read, Write and Probe talk to the line and block the calling thread for the
// exchange: up to the reply timeout plus the time on the wire (a silent station at 9600 baud and a
// 400 ms timeout takes about half a second). The others return at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The module's own request record (qm4720/qm4720.h), for Driver::ExecuteRequestRecord only.
struct QM4720IoRequest;

namespace qm4720 {

// Why a call failed. 0..16 are the driver's own codes (its message table); 100 and up are this
// library's.
enum class ErrorCode : std::int32_t {
    kNone = -1,
    kRegisterName = 0,   // not a register of the model's table
    kStation = 1,        // a station must be one or two decimal digits
    kRegisterRange = 2,  // the register's suffix is out of range
    kDataType = 3,       // the register's type is not one of those accepted
    kTimeout = 7,        // the meter did not answer in time
    kOpen = 10,          // the serial port could not be opened or used
    kValueRange = 12,    // the value does not fit the meter's six-character field
    kFormat = 13,        // this value type cannot be written to this model
    kReply = 15,         // the reply was malformed or failed its block check
    kBaudRange = 16,     // the baud rate must be 300 to 9600
    kModule = 100,       // the driver module could not be loaded or gave no driver object
    kUsage = 101,        // the call's arguments are wrong (read-only register, station 0..99, ...)
    kRefused = 102,      // the meter refused the written value (NAK)
    kMismatch = 103,     // a verified write read back another value than the one sent
    kNotOpen = 104,      // the call needs an open port
    kOther = 105,        // the driver failed without a reason of its own
};

struct Error {
    ErrorCode code = ErrorCode::kNone;
    // What failed and, when the driver refused, the driver's own text; UTF-8. Empty when code is
    // kNone.
    std::string message;
    // Why, in English: what the driver's code means and, for a port that cannot be opened, the
    // system's own reason (no such device, not a serial device, permission denied, busy). Empty
    // when the message is this library's own English text. (Initialised here so that an Error
    // written as {code, message} needs no third part.)
    std::string reason = {};
    // The driver's own text (UTF-8) as it gave it, without what this library adds around it; empty
    // when the driver gave none.
    std::string driverText = {};
    explicit operator bool() const { return code != ErrorCode::kNone; }
};

// The type of a register's value. The meters' registers are INT (whole numbers) or FLOAT.
enum class DataType : std::uint16_t {
    kBit = 1,
    kByte = 2,
    kInt = 4,
    kUint = 8,
    kBcd = 16,
    kLong = 32,
    kLongBcd = 64,
    kFloat = 128,
    kString = 256,
};

// "INT", "FLOAT", ...; "?" for a value outside DataType.
const char* DataTypeName(DataType type);

// One entry of a model's register table, or the result of ParseRegister.
struct Register {
    std::string mnemonic;  // two characters: "PV", "SP"
    int index = -1;        // its index in the model's table
    DataType type = DataType::kInt;
    bool readOnly = false;
};

// "INT" -> DataType::kInt; false for a name that is not one of DataTypeName's.
bool DataTypeFromName(std::string_view name, DataType& type);

enum class Parity { kNone, kOdd, kEven, kMark, kSpace };

// "none", "odd", "even", "mark", "space".
const char* ParityName(Parity parity);

// The serial line's settings. The defaults are the meters' factory settings.
struct LineSettings {
    int baud = 9600;  // 300..9600
    Parity parity = Parity::kNone;
    int dataBits = 8;          // 5..8
    int stopBits = 1;          // 1 or 2
    int replyTimeoutMs = 400;  // 10..32767
};

struct LineSettingsResult {
    LineSettings settings;
    Error error;  // kUsage (kBaudRange for the baud rate), naming the part that is wrong
};

// Reads a line's settings from text: "9600,8N1" (baud, then data bits, parity letter N O E M S
// and stop bits), optionally followed by the reply timeout in ms ("4800,7E2,1000"). Parts left
// out keep `base`'s value: "4800" changes the baud only. Every value is checked as CheckLine does.
LineSettingsResult ParseLineSettings(std::string_view text, const LineSettings& base = {});

// The parity of a name ("none", "odd", "even", "mark", "space") or its first letter, either
// case; kUsage naming the text otherwise.
Error ParseParity(std::string_view text, Parity& parity);

// kUsage naming the first setting out of its range (kBaudRange, the driver's own code, for a baud
// rate outside 300..9600); no error when all fit.
Error CheckLine(const LineSettings& line);

// What Open needs: the line, the port and the module. OpenOptions{line} starts from a
// LineSettings.
struct OpenOptions : LineSettings {
    // /dev/ttyUSB0, COM3; a link (/dev/serial/by-id/...) is followed first, and the device it
    // names must have at most 31 characters.
    std::string port = {};
    std::string model = {};  // "" the default model, or "QM4720N"
    // The driver module to load. "" the first that exists of: the one beside the program, the one
    // installed relative to it (<prefix>/bin to <libdir>/qm4720/), the one installed where this
    // library was built to put it (Linux); the failure names every place looked at.
    std::string modulePath = {};
    // When not empty, the module is found by this programmatic identifier through the system's
    // class registration instead of modulePath.
    std::string progId = {};
    // A pass-through that the driver opens instead of the port (qm4720ctl --trace passes the
    // host kit's StartTracedLine): given the device the port names and the line, it starts one,
    // sets `portName` to what the driver is to open and returns what keeps it running until the
    // line is closed; null with `error` set, and Open fails with kOpen. Empty: the port itself.
    std::function<std::shared_ptr<void>(const std::string& device, const LineSettings& line,
                                        std::string& portName, std::string& error)>
        passThrough = {};
};

// The longest device name the module takes.
inline constexpr std::size_t kPortNameMax = 31;

struct ModuleRegistration {
    std::string modulePath;  // the module that was (or was to be) registered
    Error error;  // kModule when it cannot be loaded or has no registration entry, kOther when the
                  // registration itself failed (its status in the message)
};

// One value read from or written to a register.
struct Reading {
    int station = 0;
    Register reg;
    // The value read; for a write, the value sent (after rounding to the meter's field). An INT
    // register's value is a whole number; IsInteger() says which to show.
    double value = 0;
    // The driver's quality stamp, 192 good; 0 when failed. A write the meter acknowledged is 192.
    int quality = 0;
    // When the driver stamped the value (UTC), or when the exchange started if it stamped none.
    std::chrono::system_clock::time_point time;
    std::chrono::duration<double, std::milli> latency{0};  // wall time of the call
    Error error;

    bool ok() const { return !error; }
    bool IsInteger() const { return reg.type != DataType::kFloat; }
};

// A station range, both ends included, 0..99.
struct StationRange {
    int first = 0;
    int last = 99;
};

// Called after each probed station from the thread that called Probe; return false to stop.
using ProbeProgress = std::function<bool(int station, bool answered)>;

struct ProbeResult {
    std::vector<int> answered;  // the stations that answered, in order
    bool stopped = false;       // the progress callback ended the probe early
    Error error;                // kNotOpen or kUsage; a silent station is no error
};

struct StationResult {
    int station = -1;
    Error error;
};

struct RegisterResult {
    Register reg;
    Error error;
};

class Driver final {
public:
    // Nothing loaded: until Open or Load, the calls report kNotOpen and Table is empty.
    Driver();
    // Closes the port and unloads the module.
    ~Driver();
    // A Driver moved from holds nothing: its calls are refused with kUsage, and it may be
    // destroyed or assigned to.
    Driver(Driver&&) noexcept;
    Driver& operator=(Driver&&) noexcept;
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Loads the module of `options` (kModule when it cannot) and opens the port (kOpen, kBaudRange,
    // kUsage for settings out of range or a device name too long). Every port that cannot be
    // opened is kOpen; the error's reason says why. Blocks while the port is opened and
    // configured. A Driver that is already open closes its port first. On failure nothing stays
    // open. Texts with a NUL character are refused with kUsage, here and in every call.
    Error Open(const OpenOptions& options);

    // Loads the module only, for Table, CheckStation and ParseRegister without a port. Called again
    // with the module already loaded, it changes the model of the calls that follow only: an open
    // port stays open (one line may carry stations of several models).
    Error Load(const std::string& modulePath, const std::string& model);
    // The same with the module found by programmatic identifier (OpenOptions::progId).
    Error LoadByProgId(const std::string& progId, const std::string& model);

    // Runs the self-registration of the module at `modulePath` ("" as OpenOptions::modulePath),
    // so that it can be found by its programmatic identifier. Needs no Driver.
    static ModuleRegistration RegisterModule(const std::string& modulePath);

    // Closes the port; the module stays loaded. Nothing happens when no port is open.
    void Close();
    bool IsOpen() const;

    // One exchange: reads `reg` ("PV") of `station` (0..99). Blocks until the reply or timeout.
    Reading Read(int station, std::string_view reg);

    // Writes `value` to `reg` of `station`. FLOAT values are rounded to the meter's six-character
    // field as the driver sends them; the result's value is what was sent. With `verify` the
    // register is read back and compared with it (kMismatch). Refused before the line with
    // kUsage: a read-only register, a non-whole or out-of-range INT, a FLOAT that does not fit.
    // Verified, the result is the read back (its value, quality and time), with kMismatch and
    // quality 0 when it differs from what was sent; the latency is that of both exchanges.
    Reading Write(int station, std::string_view reg, double value, bool verify = false);

    // Reads the first register of every station of `range`, calling `progress` after each.
    ProbeResult Probe(StationRange range, const ProbeProgress& progress = {});

    // The register table of `model` ("" or a name the driver does not know: the default model).
    // Empty when nothing is loaded.
    std::vector<Register> Table(std::string_view model) const;

    // The driver's check of a station text ("7", "07"): its number, or kStation.
    StationResult CheckStation(std::string_view text) const;

    // Resolves a register text against the model's table, accepting the types of `types` (a mask
    // of DataType bits; 0 any type). kRegisterName or kDataType when refused.
    RegisterResult ParseRegister(std::string_view text, std::uint16_t types = 0) const;

    // Advanced, for programs that lay out the module's request records themselves (qm4720.h), such
    // as a benchmark of the module: passes `request` to the module's extended exchange call as it
    // is, items and all, and returns the module's result (1 done). Nothing is checked or
    // converted and the driver's error is not read; 0 when no port is open.
    std::int32_t ExecuteRequestRecord(QM4720IoRequest& request);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm4720
