// Late answers over a real line: the simulator serves stations 1 and 2 and answers every request
// 450 ms after it, just past what a port opened with a reply timeout of 300 ms waits (the 30 ms
// pause, the timeout, one poll). A data reply names its register but not its station, so station
// 2's late answer to PV, if it were taken for the reply to the next request for PV at station 1,
// would show -5.25 as station 1's value with good quality. The driver objects are called only
// through their slot tables; a second object adopts the first one's handle, as a host does for the
// other stations of a shared line, and keeps its own reply timeout of 1500 ms.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "contract/data_type.h"
#include "driver/ver4720ezo.h"
#include "tests/support/sim_process.h"
#include "tests/support/test_request.h"

namespace {

using driver::VER4720Ezo;
using testing_support::TestRequest;

constexpr std::int16_t kShortTimeoutMs = 300;

// One driver object, created by its class and called through its slot tables.
struct DriverObject {
    DriverObject() = default;
    DriverObject(const DriverObject&) = delete;
    DriverObject& operator=(const DriverObject&) = delete;
    ~DriverObject() {
        if (object != nullptr) dd->lpVtbl->Release(dd);
    }
    VER4720Ezo* object = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
    IDeviceDriver* dd = object != nullptr ? object->DeviceDriver() : nullptr;
    IDeviceDriverEx* ex = object != nullptr ? object->DeviceDriverEx() : nullptr;
};

class LateAnswer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start({"--station", "1", "--station", "2", "--frozen", "--set",
                                "1:PV=21.5", "--set", "2:PV=-5.25", "--reply-delay", "450"}))
            << sim_.Stderr();
        ASSERT_TRUE(first_.object != nullptr && second_.object != nullptr);
        std::strncpy(settings_.portName, sim_.port().c_str(), sizeof settings_.portName - 1);
        settings_.baudRate = 9600;
        settings_.dataBits = 8;
        settings_.stopBits = 1;
        settings_.replyTimeout = kShortTimeoutMs;
        ASSERT_NO_FATAL_FAILURE(OpenAndShare());
    }
    // Opens the port through the first object and hands its handle to the second.
    void OpenAndShare() {
        ASSERT_EQ(first_.dd->lpVtbl->OpenPort(first_.dd, 0, &settings_), 1);
        HANDLE port = INVALID_HANDLE_VALUE;
        first_.ex->lpVtbl->GetPortHandle(first_.ex, &port);
        second_.ex->lpVtbl->SetPortHandle(second_.ex, &port);
    }
    void TearDown() override {
        first_.dd->lpVtbl->ClosePort(first_.dd);
        EXPECT_EQ(sim_.Stop(), 0) << sim_.Stderr();
    }

    simtest::SimProcess sim_;
    PortSettings settings_{};
    DriverObject first_;   // opened the port with the short timeout
    DriverObject second_;  // adopted its handle
};

// Station 2's read times out; the next read of PV, at station 1, through the same object (also
// after it closed and reopened the port) or the one sharing its handle, on either model, never
// gets station 2's value. The object with the long timeout gets station 1's own answer once the
// late one has passed.
TEST_F(LateAnswer, AReadAfterATimeoutNeverTakesTheLateAnswer) {
    enum class Next { kSameObject, kReopenedPort, kSharingObject };
    const struct {
        const char* model;
        Next next;
    } cases[] = {
        {"", Next::kSameObject},    {"QM4720N", Next::kSameObject},    {"", Next::kReopenedPort},
        {"", Next::kSharingObject}, {"QM4720N", Next::kSharingObject},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "model '" << c.model << "', case " << (&c - cases));
        TestRequest late(kDirectionRead, 2, 4, "PV", c.model);
        late.AddItem(kTypeFloat);
        ASSERT_EQ(first_.ex->lpVtbl->ExecuteRequestEx(first_.ex, &late.request()), 0);
        ASSERT_EQ(first_.object->m_nError, contract::kErrorTimeout);
        if (c.next == Next::kReopenedPort) {
            ASSERT_EQ(first_.dd->lpVtbl->ClosePort(first_.dd), 1);
            ASSERT_NO_FATAL_FAILURE(OpenAndShare());
        }

        const bool sameObject = c.next != Next::kSharingObject;
        const DriverObject& next = sameObject ? first_ : second_;
        TestRequest read(kDirectionRead, 1, 4, "PV", c.model);
        const IoItem& item = read.AddItem(kTypeFloat);
        // The QM4720N model through the basic entry point, the default one through the extended:
        // both store the value in `value`.
        const std::int32_t result =
            c.model[0] != '\0' ? next.dd->lpVtbl->ExecuteRequest(next.dd, &read.request())
                               : next.ex->lpVtbl->ExecuteRequestEx(next.ex, &read.request());
        EXPECT_NE(item.value.asFloat, -5.25f);
        if (sameObject) {
            // Station 1 answers as late as station 2 did.
            EXPECT_EQ(result, 0);
            EXPECT_EQ(next.object->m_nError, contract::kErrorTimeout);
            EXPECT_EQ(item.value.asBit, TestRequest::kSentinel);
            EXPECT_EQ(item.quality, TestRequest::kQualitySentinel);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(item.value.asFloat, 21.5f);
        }
    }
}

// A probe of a station that is not on the line, after a probe of station 2 timed out, is not
// answered by station 2's late EE: through the same object on the default model, through the one
// sharing its handle on QM4720N.
TEST_F(LateAnswer, AProbeAfterATimeoutNeverTakesTheLateAnswer) {
    const struct {
        const char* model;
        const DriverObject* next;
    } cases[] = {{"", &first_}, {"QM4720N", &second_}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "model '" << c.model << "'");
        ASSERT_EQ(first_.dd->lpVtbl->ProbeDevice(first_.dd, c.model, 2, 0), 0);
        ASSERT_EQ(first_.object->m_nError, contract::kErrorTimeout);
        EXPECT_EQ(c.next->dd->lpVtbl->ProbeDevice(c.next->dd, c.model, 7, 0), 0);
        EXPECT_EQ(c.next->object->m_nError, contract::kErrorTimeout);
    }
}

}  // namespace
