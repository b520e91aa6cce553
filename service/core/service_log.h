// The log of qm4720d: one line per event on stderr. Under systemd (JOURNAL_STREAM names stderr)
// each line starts with its syslog priority in angle brackets, which the journal takes as the
// entry's priority and strips; elsewhere it starts with the UTC time.
#pragma once

#include <functional>
#include <string>

namespace service {

enum class LogLevel { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

void Log(LogLevel level, const std::string& text);

// Where log lines go instead of stderr (tests); an empty function restores stderr.
void SetLogSink(std::function<void(LogLevel, const std::string&)> sink);

}  // namespace service
