// An output that only listens: it counts the events it hears, notes each start and stop in a
// journal shared with its siblings, shows its counts in /metrics and the live JSON, and can be
// told to refuse its start. What a new output needs of the runtime, and nothing more.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/core/events.h"
#include "service/core/output.h"

namespace servicetest {

// The starts and stops of every dummy output of a test, in the order they came ("a start").
class Journal {
public:
    void Note(const std::string& entry);
    std::vector<std::string> Entries() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

struct HeardEvents {
    std::uint64_t polled = 0;    // readings of a poll
    std::uint64_t lineLost = 0;  // readings of a lost line's cells
    std::uint64_t lineUp = 0;
    std::uint64_t lineLostStates = 0;
    std::uint64_t writesDone = 0;  // writes the meter acknowledged
    std::string lastWriteWho;
};

class DummyOutput final : public service::Output, public service::EventSubscriber {
public:
    DummyOutput(std::string name, std::shared_ptr<Journal> journal, bool refuseStart = false)
        : name_(std::move(name)), journal_(std::move(journal)), refuseStart_(refuseStart) {}

    bool Start(service::ServiceRuntime& runtime, std::string& error) override;
    void Stop() override;
    void AppendMetrics(std::string& text) const override;
    void AppendStatus(std::vector<service::StatusMember>& members) const override;

    void OnReading(const service::ReadingEvent& event) override;
    void OnLineState(const service::LineStateEvent& event) override;
    void OnWriteDone(const service::WriteDoneEvent& event) override;

    HeardEvents Heard() const;

private:
    std::string name_;
    std::shared_ptr<Journal> journal_;
    bool refuseStart_;
    mutable std::mutex mutex_;
    HeardEvents heard_;
};

}  // namespace servicetest
