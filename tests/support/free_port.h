// A TCP port on 127.0.0.1 that was free a moment ago, for the listeners of the tests and benches.
#pragma once

#include <cstdint>

namespace service::testing {

std::uint16_t FreeLoopbackPort();

}  // namespace service::testing
