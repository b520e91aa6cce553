// A child program whose standard output the parent reads line by line: the simulator started by
// the demo, the bench and the end-to-end tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace host {

class ChildProcess {
public:
    // Asks the child to stop (SIGTERM) and waits for it, unless it was stopped already.
    virtual ~ChildProcess() = default;

    // One line of the child's output without its line end; false on end of output or when
    // `timeoutMs` passes first.
    virtual bool ReadLine(std::string& line, int timeoutMs) = 0;

    // Sends `signal` (SIGTERM, SIGINT, SIGKILL) and waits up to `timeoutMs` for the child to end.
    // Its exit status (128 + the signal's number when a signal ended it), or -1 when it is still
    // running. Once the child has ended, the status it ended with.
    virtual int Stop(int signal, int timeoutMs) = 0;

    // Waits up to `timeoutMs` for the child to end by itself; as Stop.
    virtual int Wait(int timeoutMs) = 0;
};

struct ChildOptions {
    // Where the child's standard error goes: "" discards it, else the file of that path
    // (created or truncated).
    std::string stderrPath;
};

// Starts `argv[0]` (a path, not searched for) with the given arguments; null with `error` set
// when it cannot be started. Where the system has no such children (Windows), always null with
// `error` saying what to do instead.
std::unique_ptr<ChildProcess> StartChild(const std::vector<std::string>& argv, std::string& error,
                                         const ChildOptions& options = {});

}  // namespace host
