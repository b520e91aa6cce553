// Long runs against the simulator with every fault it can inject, through the driver object's
// slot tables as a host calls them: reads and writes, both models, three stations on one line.
// Every call must end in time, store exactly what the instrument holds when it says 1, store
// nothing and leave the fault's own error when it says 0, and the run must leak no descriptor.
//
// The faults come from a script drawn here at known rates (one fault per reply, in order), so
// each call's expected outcome is known; the simulator's own count of injected faults must agree.
// QM_SOAK_TRANSACTIONS sets the length (`make soak` runs a long one); the simulator is restarted
// every kBatch transactions, which opens and closes the port many times.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "contract/data_type.h"
#include "contract/messages.h"
#include "driver/ver4720ezo.h"
#include "records/io_request.h"
#include "records/port_settings.h"
#include "serial/quiet_line.h"
#include "serial/serial_port.h"
#include "tests/support/sim_process.h"

namespace {

using driver::VER4720Ezo;
using simtest::SimProcess;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultTransactions = 1200;
constexpr int kBatch = 400;
constexpr std::int16_t kReplyTimeoutMs = 150;
// The pause before a reply at 9600 baud, one poll interval, and room for a loaded machine
// (QM_SOAK_SLACK_MS widens the room for a run under valgrind). A call after one that failed may
// first wait for the line to fall quiet, up to the quiet time and one more poll.
int CallLimitMs(bool afterFailure = false) {
    const char* text = std::getenv("QM_SOAK_SLACK_MS");
    const int slack = text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 100;
    const int quiet =
        afterFailure
            ? static_cast<int>(serial::QuietTimeMs(kReplyTimeoutMs, 30) + serial::kPollIntervalMs)
            : 0;
    return 30 + kReplyTimeoutMs + 20 + slack + quiet;
}

enum class Fault { kOk, kTimeout, kBadBcc, kSplit, kNoise, kNak, kNonNumeric, kLoneStx };
constexpr std::array<const char*, 8> kFaultNames = {"ok",    "timeout", "bad-bcc",     "split",
                                                    "noise", "nak",     "non-numeric", "lone-stx"};
// Chances per reply; "ok" (the first) takes what the others leave.
constexpr std::array<double, 8> kRates = {0, 0.04, 0.05, 0.05, 0.05, 0.04, 0.04, 0.05};

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

int TransactionCount() {
    const char* text = std::getenv("QM_SOAK_TRANSACTIONS");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : kDefaultTransactions;
}

struct Station {
    int number;
    const char* model;
    float sp;         // FLOAT register SP, table index 13 in both tables
    std::int16_t pn;  // INT register PN, table index 14 in both tables
};

// What one call is expected to do under its fault.
struct Expectation {
    bool mayStore;            // the call may return 1 with the value
    bool mayFail;             // the call may return 0
    std::vector<int> errors;  // the errors a 0 may leave (kErrorStation: left as it was)
    bool instrumentStores;    // a write is taken by the instrument
};

Expectation Expect(bool write, Fault fault) {
    using contract::kErrorReply;
    using contract::kErrorStation;
    using contract::kErrorTimeout;
    if (fault == Fault::kTimeout) return {false, true, {kErrorTimeout}, false};
    if (write) {
        switch (fault) {
            case Fault::kNak:
                return {false, true, {kErrorStation}, false};
            // Stray bytes before a lone ACK: either the first poll finds one stray byte (a reply
            // that is no ACK, nothing recorded) or the bytes never end a reply (timeout).
            case Fault::kNoise:
                return {false, true, {kErrorStation, kErrorTimeout}, true};
            // A lone STX, then the ACK: two bytes that never end a reply.
            case Fault::kLoneStx:
                return {false, true, {kErrorTimeout}, true};
            default:  // the data faults cannot touch a one-byte ACK
                return {true, false, {}, true};
        }
    }
    switch (fault) {
        case Fault::kBadBcc:
        case Fault::kNak:
        case Fault::kNonNumeric:
            return {false, true, {kErrorReply}, false};
        case Fault::kNoise:  // a lone stray byte on the first poll ends the reply
            return {true, true, {kErrorReply}, false};
        default:
            return {true, false, {}, false};
    }
}

// Whether the simulator counts the fault as injected on this kind of reply.
bool Applies(bool write, Fault fault) {
    if (fault == Fault::kOk) return false;
    if (!write) return true;
    return fault == Fault::kTimeout || fault == Fault::kNak || fault == Fault::kNoise ||
           fault == Fault::kLoneStx;
}

class FaultSoak : public ::testing::Test {
protected:
    void SetUp() override {
        object_ = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
        ASSERT_NE(object_, nullptr);
        dd_ = object_->DeviceDriver();
        ex_ = object_->DeviceDriverEx();
    }
    void TearDown() override {
        if (object_ != nullptr) dd_->lpVtbl->Release(dd_);
    }

    bool Open(const std::string& port) {
        PortSettings settings;
        std::memset(&settings, 0, sizeof settings);
        std::snprintf(settings.portName, sizeof settings.portName, "%s", port.c_str());
        settings.baudRate = 9600;
        settings.dataBits = 8;
        settings.stopBits = 1;
        settings.replyTimeout = kReplyTimeoutMs;
        return dd_->lpVtbl->OpenPort(dd_, 0, &settings) == 1;
    }

    // Sets a known error, so that a call that records nothing can be told apart.
    void MarkError() {
        std::int32_t station = 77;
        ASSERT_EQ(dd_->lpVtbl->CheckStation(dd_, "x", &station), 0);
    }

    VER4720Ezo* object_ = nullptr;
    IDeviceDriver* dd_ = nullptr;
    IDeviceDriverEx* ex_ = nullptr;
};

TEST_F(FaultSoak, EveryCallEndsInTimeAndStoresOnlyWhatTheInstrumentHolds) {
    const int total = TransactionCount();
    const int fdsBefore = OpenDescriptors();
    std::mt19937 random(20261208);
    std::array<double, 8> weights = kRates;
    weights[0] = 1.0;
    for (std::size_t f = 1; f < kRates.size(); ++f) weights[0] -= kRates[f];
    std::discrete_distribution<int> pickFault(weights.begin(), weights.end());
    std::vector<Station> stations = {
        {1, "QM4720", 25.5f, 12}, {2, "QM4720", -3.5f, -7}, {12, "QM4720N", 100.0f, 300}};
    std::map<std::string, int> outcomes;  // "read ok", "write timeout error", ...
    std::array<int, 8> drawn{};
    int stored = 0, refused = 0, late = 0;
    long maxCallMs = 0;

    for (int done = 0; done < total;) {
        const int batch = std::min(kBatch, total - done);
        // The faults of this batch's replies, one per transaction.
        std::vector<Fault> script;
        std::string scriptText;
        for (int i = 0; i < batch; ++i) {
            script.push_back(static_cast<Fault>(pickFault(random)));
            if (i > 0) scriptText += ",";
            scriptText += kFaultNames[static_cast<std::size_t>(script.back())];
        }
        std::vector<std::string> args = {"--frozen",
                                         "--seed",
                                         std::to_string(done + 1),
                                         "--reply-delay",
                                         "0",
                                         "--split-gap",
                                         "10",
                                         "--baud",
                                         "115200",
                                         "--script",
                                         scriptText};
        for (const Station& s : stations) {
            args.push_back("--station");
            args.push_back(std::to_string(s.number) +
                           (std::strcmp(s.model, "QM4720N") == 0 ? ":QM4720N" : ""));
            char value[64];
            std::snprintf(value, sizeof value, "%d:SP=%.1f", s.number, static_cast<double>(s.sp));
            args.insert(args.end(), {"--set", value});
            std::snprintf(value, sizeof value, "%d:PN=%d", s.number, s.pn);
            args.insert(args.end(), {"--set", value});
        }
        SimProcess sim;
        ASSERT_TRUE(sim.Start(args)) << sim.Stderr();
        ASSERT_TRUE(Open(sim.port()));

        int applied = 0;
        bool previousFailed = false;  // on this batch's port
        for (int i = 0; i < batch; ++i, ++done) {
            const Fault fault = script[static_cast<std::size_t>(i)];
            ++drawn[static_cast<std::size_t>(fault)];
            Station& station = stations[random() % stations.size()];
            const bool nModel = std::strcmp(station.model, "QM4720N") == 0;
            const bool write = random() % 2 == 0;
            const bool isFloat = random() % 2 == 0;
            // The basic entry point for some reads of the default model.
            const bool basic = !write && !nModel && random() % 4 == 0;
            if (Applies(write, fault)) ++applied;

            IoItem item;
            std::memset(&item, 0x7E, sizeof item);
            item.type = isFloat ? kTypeFloat : kTypeInt;
            float newSp = 0;
            std::int16_t newPn = 0;
            if (write) {
                // Halves fit the field exactly; some values fall in the basic entry's 0..6.
                newSp = static_cast<float>(static_cast<int>(random() % 4000) - 1999) * 0.5f;
                if (random() % 4 == 0) newSp = static_cast<float>(random() % 13) * 0.5f;
                newPn = static_cast<std::int16_t>(static_cast<int>(random() % 65536) - 32768);
                // Never the slot's fill, so that a stored value always shows.
                if (newPn == 0x7E7E) --newPn;
                if (isFloat) {
                    item.value.asFloat = newSp;
                } else {
                    item.value.asInt = newPn;
                }
            }
            ValueSlot before;
            std::memcpy(&before, &item.value, sizeof before);
            ValueSlot readBefore;
            std::memcpy(&readBefore, &item.readValue, sizeof readBefore);
            IoItemNode node{nullptr, nullptr, &item};
            IoRequest request;
            std::memset(&request, 0, sizeof request);
            request.station = static_cast<std::int16_t>(station.number);
            request.modelName = station.model;
            request.registerText = isFloat ? "SP" : "PN";
            request.registerIndex = isFloat ? 13 : 14;
            request.direction = write ? kDirectionWrite : kDirectionRead;
            request.items.head = &node;
            request.items.tail = &node;
            request.items.count = 1;

            MarkError();
            const auto start = Clock::now();
            const std::int32_t result = basic ? dd_->lpVtbl->ExecuteRequest(dd_, &request)
                                              : ex_->lpVtbl->ExecuteRequestEx(ex_, &request);
            const long ms = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                    .count());
            maxCallMs = std::max(maxCallMs, ms);
            if (ms > CallLimitMs(previousFailed)) ++late;
            previousFailed = result == 0;

            const Expectation expected = Expect(write, fault);
            const std::string what = std::string(write ? "write " : "read ") +
                                     kFaultNames[static_cast<std::size_t>(fault)] + " station " +
                                     std::to_string(station.number) + (isFloat ? " SP" : " PN") +
                                     (basic ? " basic" : "") + " #" + std::to_string(done);
            ASSERT_TRUE(result == 0 || result == 1) << what;
            const char* error = dd_->lpVtbl->GetErrorText(dd_);

            const auto errorIsOneOf = [&](const std::vector<int>& errors) {
                if (error == nullptr) return false;
                for (int e : errors) {
                    if (std::strcmp(error, contract::MessageText(e)) == 0) return true;
                }
                return false;
            };
            if (write) {
                ASSERT_EQ(std::memcmp(&item.value, &before, sizeof before), 0) << what;
                if (result == 1) {
                    ASSERT_TRUE(expected.mayStore) << what;
                } else {
                    ASSERT_TRUE(expected.mayFail) << what;
                    ASSERT_TRUE(errorIsOneOf(expected.errors)) << what << ": " << error;
                }
                if (expected.instrumentStores) {
                    if (isFloat) {
                        station.sp = newSp;
                    } else {
                        station.pn = newPn;
                    }
                }
            } else {
                ValueSlot& slot = basic ? item.readValue : item.value;
                const ValueSlot& untouched = basic ? readBefore : before;
                if (std::memcmp(&slot, &untouched, sizeof slot) != 0) {
                    ASSERT_TRUE(expected.mayStore) << what;
                    if (isFloat) {
                        ASSERT_EQ(slot.asFloat, station.sp) << what;
                    } else {
                        ASSERT_EQ(slot.asInt, station.pn) << what;
                        ASSERT_EQ(slot.bytes[2], untouched.bytes[2]) << what;
                        ASSERT_EQ(slot.bytes[3], untouched.bytes[3]) << what;
                    }
                    if (basic) {
                        // The basic entry point accepts only values in 0..6 and records nothing.
                        const double v = isFloat ? station.sp : station.pn;
                        ASSERT_EQ(result, v >= 0.0 && v <= 6.0 ? 1 : 0) << what;
                        if (result == 0) {
                            ASSERT_TRUE(errorIsOneOf({contract::kErrorStation})) << what;
                        }
                    } else {
                        ASSERT_EQ(result, 1) << what;
                        ASSERT_EQ(item.quality, 192) << what;
                    }
                } else {
                    ASSERT_EQ(result, 0) << what;
                    ASSERT_TRUE(expected.mayFail) << what;
                    ASSERT_TRUE(errorIsOneOf(expected.errors)) << what << ": " << error;
                }
            }
            (result == 1 ? stored : refused)++;
            ++outcomes[std::string(write ? "write " : "read ") + (result == 1 ? "1" : "0")];
        }

        ASSERT_EQ(dd_->lpVtbl->ClosePort(dd_), 1);
        EXPECT_EQ(sim.Stop(), 0);
        const std::string counts = sim.Stderr();
        EXPECT_NE(counts.find("faults injected: " + std::to_string(applied)), std::string::npos)
            << counts;
    }

    // Each fault's count within five standard deviations of its rate.
    for (std::size_t f = 1; f < kRates.size(); ++f) {
        const double mean = total * kRates[f];
        const double spread = 5.0 * std::sqrt(total * kRates[f] * (1.0 - kRates[f]));
        EXPECT_NEAR(drawn[f], mean, spread + 1) << kFaultNames[f];
    }
    EXPECT_EQ(late, 0) << "calls over " << CallLimitMs() << " ms; longest " << maxCallMs << " ms";
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
    std::printf("soak: %d transactions, %d returned 1, %d returned 0, longest call %ld ms\n", total,
                stored, refused, maxCallMs);
}

// The other end of the line goes away in the middle of a run (an adapter pulled out): calls fail
// in time with the platform's code or the timeout error, and once a new instrument appears at the
// same path a new OpenPort works.
TEST_F(FaultSoak, VanishedPortFailsInTimeAndANewPortWorks) {
    const int fdsBefore = OpenDescriptors();
    const std::string link = "/tmp/qm4720-vanish-" + std::to_string(getpid());
    const auto read = [&](std::int32_t& result, long& ms) {
        IoItem item;
        std::memset(&item, 0x7E, sizeof item);
        item.type = kTypeFloat;
        const ValueSlot before = item.value;
        IoItemNode node{nullptr, nullptr, &item};
        IoRequest request;
        std::memset(&request, 0, sizeof request);
        request.station = 1;
        request.modelName = "QM4720";
        request.registerText = "SP";
        request.registerIndex = 13;
        request.direction = kDirectionRead;
        request.items.head = &node;
        request.items.tail = &node;
        request.items.count = 1;
        const auto start = Clock::now();
        result = ex_->lpVtbl->ExecuteRequestEx(ex_, &request);
        ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        if (result == 0) {
            EXPECT_EQ(std::memcmp(&item.value, &before, sizeof before), 0);
        }
        return item.value.asFloat;
    };
    {
        SimProcess sim;
        ASSERT_TRUE(
            sim.Start({"--frozen", "--reply-delay", "0", "--link", link, "--set", "1:SP=25.5"}))
            << sim.Stderr();
        ASSERT_TRUE(Open(link));
        std::int32_t result = 0;
        long ms = 0;
        EXPECT_EQ(read(result, ms), 25.5f);
        EXPECT_EQ(result, 1);

        sim.Stop(SIGKILL);
        for (int i = 0; i < 5; ++i) {
            read(result, ms);
            EXPECT_EQ(result, 0);
            EXPECT_LE(ms, CallLimitMs(i > 0));
            const char* error = dd_->lpVtbl->GetErrorText(dd_);
            ASSERT_NE(error, nullptr);
            const bool platform = object_->m_bPlatformError && object_->m_nError != 0;
            EXPECT_TRUE(platform ||
                        std::strcmp(error, contract::MessageText(contract::kErrorTimeout)) == 0)
                << object_->m_nError;
        }
        EXPECT_EQ(dd_->lpVtbl->ClosePort(dd_), 1);
    }
    {
        SimProcess sim;
        ASSERT_TRUE(
            sim.Start({"--frozen", "--reply-delay", "0", "--link", link, "--set", "1:SP=-12.5"}))
            << sim.Stderr();
        ASSERT_TRUE(Open(link));
        std::int32_t result = 0;
        long ms = 0;
        EXPECT_EQ(read(result, ms), -12.5f);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(dd_->lpVtbl->ClosePort(dd_), 1);
    }
    unlink(link.c_str());
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
}

}  // namespace
