#include "common/windows_events.h"

#include "common/service_log.h"
#include "common/wide_text.h"
#include "platform/environment.h"

namespace quorvane {
namespace {

constexpr uint32_t kTypesSupported = 0x7;  // error, warning, information

}  // namespace

void ReportWindowsEvent(platform::EventType type, const std::string& text) {
  const uint32_t id = type == platform::EventType::kError     ? kEventIdError
                      : type == platform::EventType::kWarning ? kEventIdWarning
                                                              : kEventIdInformation;
  uint32_t error_code = 0;
  platform::WriteEvent(kEventSource, type, id, Utf8ToWide(CapLoggedText(text)), &error_code);
}

bool InstallEventSource(const std::wstring& message_file, std::string* error) {
  uint32_t error_code = 0;
  if (!platform::WriteRegistryString(platform::RegistryRoot::kLocalMachine, kEventSourceKey, L"EventMessageFile",
                                     message_file, &error_code) ||
      !platform::WriteRegistryDword(platform::RegistryRoot::kLocalMachine, kEventSourceKey, L"TypesSupported",
                                    kTypesSupported, &error_code)) {
    *error = "the event source could not be registered (error " + std::to_string(error_code) + ")";
    return false;
  }
  return true;
}

bool RemoveEventSource(std::string* error) {
  uint32_t error_code = 0;
  if (platform::DeleteRegistryKey(platform::RegistryRoot::kLocalMachine, kEventSourceKey, &error_code)) return true;
  *error = "the event source could not be removed (error " + std::to_string(error_code) + ")";
  return false;
}

}  // namespace quorvane
