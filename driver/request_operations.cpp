// Placeholder: the transactions arrive with the transaction work.
#include "driver/ver4720ezo.h"

namespace driver {

std::int32_t VER4720Ezo::ExecuteRequest(IoRequest*) { return 0; }
std::int32_t VER4720Ezo::ExecuteRequestEx(IoRequest*) { return 0; }
std::int32_t VER4720Ezo::ProbeDevice(const char*, std::int32_t, std::int32_t) { return 0; }

}  // namespace driver
