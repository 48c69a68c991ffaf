// The service log: under the service control manager standard error goes
// nowhere, so in service mode (the control service and the tunnel service
// entry) every diagnostic line also goes to
// "%ProgramData%\Quorvane\logs\service.log" with its UTC time. The folder and
// file are protected as the tunnels folder is; a line is one write, so a
// crash loses at most the line being written; past 2 MiB the file becomes
// "service.log.1", earlier ones move up to "service.log.4", and a new one
// starts: five files, 10 MiB at most. No profile secret is ever passed here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane {

constexpr uint64_t kServiceLogLimitBytes = 2 << 20;
constexpr int kServiceLogFilesKept = 5;  // the current one and four earlier

// The control service holds the log open while it runs (a line is one
// write); every other process that writes to it (the tunnel service, the
// package's actions) opens it for each line and closes it after, and all
// share it for reading, appending and rotation, so that no line is lost.
enum class LogHolding { kHeld, kEachLine };

// Set by the service main routine, the tunnel service entry and the package's
// actions; console mode leaves it off and keeps standard error as it is.
void SetServiceLogEnabled(bool enabled, LogHolding holding = LogHolding::kHeld);

// A "[Quorvane]" line (ending in a line feed) for standard error and, in
// service mode, the log.
void Diagnose(const std::wstring& line);

// A line for the log alone (service mode); no line feed needed.
void LogLine(const std::string& text);

// Every text inserted into a log line is cut at this many bytes, so that no
// request can fill the log and roll earlier lines out.
constexpr size_t kLoggedTextLimitBytes = 200;
std::string CapLoggedText(const std::string& text);

// For tests: a smaller bound than kServiceLogLimitBytes.
void SetServiceLogLimitForTests(uint64_t bytes);

}  // namespace quorvane
