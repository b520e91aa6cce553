#include "service/tests/dummy_output/dummy_output.h"

#include "service/core/metrics_format.h"
#include "service/core/service_runtime.h"

namespace servicetest {

void Journal::Note(const std::string& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

std::vector<std::string> Journal::Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

bool DummyOutput::Start(service::ServiceRuntime& runtime, std::string& error) {
    journal_->Note(name_ + " start");
    if (refuseStart_) {
        error = name_ + " refuses to start";
        return false;
    }
    runtime.events().Subscribe(*this);
    return true;
}

void DummyOutput::Stop() {
    journal_->Note(name_ + " stop");
}

void DummyOutput::AppendMetrics(std::string& text) const {
    const HeardEvents heard = Heard();
    service::metrics::Family(text, "qm4720_dummy_readings_total", "counter", "Readings heard.");
    service::metrics::Sample(text, "qm4720_dummy_readings_total", "",
                             heard.polled + heard.lineLost);
}

void DummyOutput::AppendStatus(std::vector<service::StatusMember>& members) const {
    members.push_back({name_, "{\"writes_done\": " + std::to_string(Heard().writesDone) + "}"});
}

void DummyOutput::OnReading(const service::ReadingEvent& event) {
    std::lock_guard lock(mutex_);
    if (event.cause == service::ReadingCause::kPoll) ++heard_.polled;
    if (event.cause == service::ReadingCause::kLineLost) ++heard_.lineLost;
}

void DummyOutput::OnLineState(const service::LineStateEvent& event) {
    std::lock_guard lock(mutex_);
    if (event.state == service::LineState::kUp) ++heard_.lineUp;
    if (event.state == service::LineState::kLost) ++heard_.lineLostStates;
}

void DummyOutput::OnWriteDone(const service::WriteDoneEvent& event) {
    std::lock_guard lock(mutex_);
    if (event.result.outcome == service::WriteOutcome::kDone) ++heard_.writesDone;
    heard_.lastWriteWho = std::string(event.who);
}

HeardEvents DummyOutput::Heard() const {
    std::lock_guard lock(mutex_);
    return heard_;
}

}  // namespace servicetest
