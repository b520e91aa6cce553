// Placeholder: tag validation arrives with the register and station validation work.
#include "driver/ver4720ezo.h"

namespace driver {

std::uint16_t VER4720Ezo::ParseRegister(const TagSpec*, TagBinding*) { return 1; }
std::int32_t VER4720Ezo::CheckStation(const char*, std::int32_t*) { return 0; }

}  // namespace driver
