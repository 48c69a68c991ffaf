#include "platform/event_log.h"

#include <windows.h>

namespace platform {

bool WriteEvent(const std::wstring& source, EventType type, uint32_t event_id, const std::wstring& text,
                uint32_t* error_code) {
  HANDLE handle = RegisterEventSourceW(nullptr, source.c_str());
  if (handle == nullptr) {
    *error_code = GetLastError();
    return false;
  }
  const WORD kind = type == EventType::kError     ? EVENTLOG_ERROR_TYPE
                    : type == EventType::kWarning ? EVENTLOG_WARNING_TYPE
                                                  : EVENTLOG_INFORMATION_TYPE;
  const wchar_t* strings[] = {text.c_str()};
  const BOOL written = ReportEventW(handle, kind, 0, event_id, nullptr, 1, 0, strings, nullptr);
  if (!written) *error_code = GetLastError();
  DeregisterEventSource(handle);
  return written != FALSE;
}

}  // namespace platform
