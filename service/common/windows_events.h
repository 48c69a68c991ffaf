// The Windows Event Log, where fleet tools collect service failures: the
// event source "QuorvaneVpn" (registered at install, its messages in the
// service program) and the events the service writes there. An event's text
// is made of the service's own words and codes, never of a request's values,
// as in the log file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/event_log.h"

namespace quorvane {

constexpr wchar_t kEventSource[] = L"QuorvaneVpn";
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuorvaneVpn";

// The message file's ids, severity bits included (resources/event_messages.mc).
constexpr uint32_t kEventIdInformation = 0x40000001;
constexpr uint32_t kEventIdWarning = 0x80000002;
constexpr uint32_t kEventIdError = 0xC0000003;

// Writes one event; a log that cannot be written is not the caller's failure.
void ReportWindowsEvent(platform::EventType type, const std::string& text);

// The source's registration: its message file (this program) and the types
// it writes. Removing one that is not there succeeds.
bool InstallEventSource(const std::wstring& message_file, std::string* error);
bool RemoveEventSource(std::string* error);

}  // namespace quorvane
