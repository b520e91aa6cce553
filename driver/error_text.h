// What GetErrorText hands to the host: the message table's text of the recorded code, with entry 3
// replaced at run time by the data-type message of each data-type refusal, for every driver
// object of the module at once.
#pragma once

#include <cstdint>

#include "contract/messages.h"

namespace driver {

// The text of entry `code`, or null for a code outside 0..16. Entry 3 is whatever the latest
// data-type refusal put there (its load-time text until the first one).
const char* ErrorText(std::int32_t code);

// Makes `text` (a string with static storage) the text of entry 3. Safe against concurrent
// replacements and readers on other threads: the later replacement stands.
void ReplaceDataTypeMessage(const char* text);

}  // namespace driver
