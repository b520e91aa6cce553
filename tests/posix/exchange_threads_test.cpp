// Exchanges from several threads on one port, against the simulator: two objects that share one
// handle, and one object called from two threads. Each thread reads its own register, whose value
// the simulator holds still; a reply taken by the wrong caller would show as another register's
// value stored with quality 192. `make test` also runs these under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "contract/data_type.h"
#include "driver/ver4720ezo.h"
#include "tests/support/sim_process.h"
#include "tests/support/test_request.h"

namespace {

using driver::VER4720Ezo;
using testing_support::TestRequest;

constexpr int kReadsPerThread = 40;

struct Register {
    const char* text;
    std::int16_t index;
    float value;
};
// Two registers of the default table with values the simulator is told to hold.
constexpr Register kRegisters[] = {{"SP", 13, 12.5f}, {"OP", 5, 34.5f}};

class ExchangeThreads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start({"--frozen", "--reply-delay", "0", "--station", "1", "--set",
                                "1:SP=12.5", "--set", "1:OP=34.5"}))
            << sim_.Stderr();
        for (VER4720Ezo*& object : objects_) {
            object = static_cast<VER4720Ezo*>(VER4720Ezo::CreateObject());
            ASSERT_NE(object, nullptr);
        }
        PortSettings settings{};
        std::strncpy(settings.portName, sim_.port().c_str(), sizeof settings.portName - 1);
        settings.baudRate = 9600;
        settings.dataBits = 8;
        settings.stopBits = 1;
        settings.replyTimeout = 1000;
        IDeviceDriver* dd = objects_[0]->DeviceDriver();
        ASSERT_EQ(dd->lpVtbl->OpenPort(dd, 0, &settings), 1);
    }
    void TearDown() override {
        if (objects_[0] != nullptr) objects_[0]->ClosePort();
        for (VER4720Ezo* object : objects_) {
            if (object != nullptr) object->ExternalRelease();
        }
    }

    // Reads `reg` kReadsPerThread times through `object`; counts the calls that failed and the
    // values that were not the register's own.
    void ReadMany(VER4720Ezo* object, const Register& reg) {
        IDeviceDriverEx* ex = object->DeviceDriverEx();
        for (int i = 0; i < kReadsPerThread; ++i) {
            TestRequest read(kDirectionRead, 1, reg.index, reg.text);
            const IoItem& item = read.AddItem(kTypeFloat);
            if (ex->lpVtbl->ExecuteRequestEx(ex, &read.request()) != 1) {
                ++failed_;
            } else if (item.value.asFloat != reg.value || item.quality != 192) {
                ++wrong_;
            }
        }
    }

    void RunTwoThreads(VER4720Ezo* first, VER4720Ezo* second) {
        std::thread a([&] { ReadMany(first, kRegisters[0]); });
        std::thread b([&] { ReadMany(second, kRegisters[1]); });
        a.join();
        b.join();
        EXPECT_EQ(wrong_.load(), 0) << "values of the other register stored as good";
        EXPECT_EQ(failed_.load(), 0) << "exchanges spoilt by the other thread's";
    }

    simtest::SimProcess sim_;
    VER4720Ezo* objects_[2] = {nullptr, nullptr};
    std::atomic<int> wrong_{0};
    std::atomic<int> failed_{0};
};

TEST_F(ExchangeThreads, TwoObjectsSharingOneHandle) {
    HANDLE shared = INVALID_HANDLE_VALUE;
    IDeviceDriverEx* exA = objects_[0]->DeviceDriverEx();
    IDeviceDriverEx* exB = objects_[1]->DeviceDriverEx();
    ASSERT_EQ(exA->lpVtbl->GetPortHandle(exA, &shared), 1);
    ASSERT_EQ(exB->lpVtbl->SetPortHandle(exB, &shared), 1);
    RunTwoThreads(objects_[0], objects_[1]);
}

TEST_F(ExchangeThreads, OneObjectCalledFromTwoThreads) {
    RunTwoThreads(objects_[0], objects_[0]);
}

}  // namespace
