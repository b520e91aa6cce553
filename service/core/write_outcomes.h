// How each front end spells a write's outcome. The log and HTTP answers use words; MQTT joins them
// with '-', since its result topics' payloads keep the spelling they were first published with.
// One table, so that a new outcome cannot be spelled by one front end and forgotten by another.
#pragma once

#include <array>
#include <string_view>

#include "service/core/cell_state.h"

namespace service {

struct WriteOutcomeSpelling {
    WriteOutcome outcome;
    std::string_view words;   // the log, HTTP
    std::string_view hyphen;  // MQTT
};

inline constexpr std::array<WriteOutcomeSpelling, 5> kWriteOutcomeSpellings{{
    {WriteOutcome::kDone, "done", "done"},
    {WriteOutcome::kNotWritable, "not writable", "not-writable"},
    {WriteOutcome::kRefusedByDriver, "refused by driver", "refused-by-driver"},
    {WriteOutcome::kRefusedByMeter, "refused by meter", "refused-by-meter"},
    {WriteOutcome::kNoAnswer, "no answer", "no-answer"},
}};

constexpr const WriteOutcomeSpelling& SpellingOf(WriteOutcome outcome) {
    for (const WriteOutcomeSpelling& spelling : kWriteOutcomeSpellings) {
        if (spelling.outcome == outcome) return spelling;
    }
    return kWriteOutcomeSpellings.back();  // no answer: what an unknown outcome amounts to
}

// As the log and HTTP answers say it.
constexpr std::string_view WriteOutcomeText(WriteOutcome outcome) {
    return SpellingOf(outcome).words;
}

// As MQTT's result payloads say it.
constexpr std::string_view WriteOutcomeMqttText(WriteOutcome outcome) {
    return SpellingOf(outcome).hyphen;
}

}  // namespace service
