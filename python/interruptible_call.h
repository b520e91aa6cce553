// A call of the Driver that Ctrl-C can interrupt. The call runs on a thread of its own while the
// caller waits without the GIL, in slices, and looks at Python's signals between slices: a
// KeyboardInterrupt is raised at once, and the exchange still on the line finishes on its thread,
// the Driver kept alive until then (the next call on it waits for that exchange). Each call is a
// thread of its own only on systems whose driver object may be called from any thread (the binding
// is built natively, on Linux).
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "qm4720/qm4720.hpp"

namespace qm4720py {

namespace py = pybind11;

// Runs `call(driver)` and returns its result; throws py::error_already_set when a signal handler
// raised (KeyboardInterrupt) before the call was done. Needs the GIL.
template <typename Call>
auto CallInterruptibly(const std::shared_ptr<qm4720::Driver>& driver, Call call)
    -> decltype(call(*driver)) {
    using Result = decltype(call(*driver));
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([driver, shared, call = std::move(call)]() mutable {
        Result result = call(*driver);
        const std::lock_guard lock(shared->mutex);
        shared->result.emplace(std::move(result));
        shared->done.notify_one();
    }).detach();
    constexpr auto kSlice = std::chrono::milliseconds(50);
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock lock(shared->mutex);
            if (shared->done.wait_for(lock, kSlice, [&] { return shared->result.has_value(); })) {
                return std::move(*shared->result);
            }
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

}  // namespace qm4720py
