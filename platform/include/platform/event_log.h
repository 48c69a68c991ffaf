// The Windows Event Log: one event of an event source, as fleet tools collect
// them. The source's registration (its message file) is the installer's work.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class EventType { kInformation, kWarning, kError };

// ReportEventW with the one string |text|, through a handle of
// RegisterEventSourceW for |source| held for this call only.
bool WriteEvent(const std::wstring& source, EventType type, uint32_t event_id, const std::wstring& text,
                uint32_t* error_code);

}  // namespace platform
