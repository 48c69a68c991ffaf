// The passive start-up report: one line of JSON on what a start found (a
// tunnel or default route left over) and whether anything changed meanwhile.
#pragma once

#include <string>

namespace quorvane {

std::string StartupReportJson();

// Writes the report to standard output and to standard error.
void PrintStartupReport();

// The Event Log's "QuorvaneVpnService <version> started; it serves <pipe>."
void ReportStarted();

// "--dry-run-startup": the report alone; exit code 0.
int RunDryRunStartup();

}  // namespace quorvane
