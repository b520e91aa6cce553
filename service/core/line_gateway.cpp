#include "service/core/line_gateway.h"

#include <charconv>
#include <string>

#include "contract/meter_values.h"
#include "service/core/service_log.h"
#include "service/core/write_outcomes.h"

namespace service {
namespace {

std::string NumberText(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

// A name as the client gave it (a JSON string, an MQTT topic level), with control characters
// shown as '?': one write stays one line of the log.
std::string OneLine(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return out;
}

}  // namespace

void LogWrite(std::string_view who, std::string_view line, std::int16_t station,
              std::string_view reg, double requested, const WriteResult& result,
              std::string_view why) {
    std::string text = "write by ";
    text.append(OneLine(who)).append(": line ").append(OneLine(line)).append(" station ");
    text.append(std::to_string(station)).append(" ").append(OneLine(reg)).append(" = ");
    if (result.sent) {
        text += NumberText(*result.sent);
        if (*result.sent != requested)
            text.append(" (requested ").append(NumberText(requested)) += ')';
    } else {
        text += NumberText(requested);
    }
    text.append(": ").append(WriteOutcomeText(result.outcome));
    if (!why.empty()) text.append(" (").append(OneLine(why)) += ')';
    Log(result.outcome == WriteOutcome::kDone ? LogLevel::kNotice : LogLevel::kWarning, text);
}

CellReading LineGateway::Read(std::int16_t station, std::int16_t index) const {
    const auto cell = table_.Find(station, index);
    if (!cell) return {};
    CellReading reading;
    reading.state = JudgeCell(*cell, std::chrono::steady_clock::now());
    // A failed or stale value is never handed out as if it were good.
    if (reading.state == CellState::kGood) reading.value = cell->value;
    return reading;
}

WriteResult LineGateway::Write(std::int16_t station, std::int16_t index, double value,
                               std::string_view who) {
    const qm4720::Register* target = nullptr;
    for (const MeterConfig& meter : worker_.config().meters) {
        if (meter.station != station) continue;
        for (const qm4720::Register& reg : meter.writable) {
            if (reg.index == index) target = &reg;
        }
    }
    const std::string name =
        target != nullptr ? target->mnemonic : "register #" + std::to_string(index);
    WriteResult result;
    std::string_view why;
    if (target == nullptr || target->readOnly) {
        result.outcome = WriteOutcome::kNotWritable;
        why = "not configured writable";
    } else if (const contract::WriteFit fit =
                   contract::FitWrite(static_cast<std::uint16_t>(target->type), value);
               !fit.sent) {
        result.outcome = WriteOutcome::kRefusedByDriver;
        why = fit.refusal;
    } else {
        result.sent = fit.sent;
        result.outcome = worker_.QueueWrite(station, *target, *fit.sent).get();
    }
    if (!why.empty()) table_.CountWriteRefusal();
    LogWrite(who, table_.name(), station, name, value, result, why);
    if (const EventStream* events = table_.events(); events != nullptr) {
        events->Publish(WriteDoneEvent{table_.name(), station, name, value, result, who});
    }
    return result;
}

}  // namespace service
