#include "platform/sessions.h"

#include <windows.h>
#include <wtsapi32.h>

#include <cstring>

namespace platform {
namespace {

// Owner of a buffer that Terminal Services allocated.
class WtsMemory {
 public:
  WtsMemory() = default;
  WtsMemory(const WtsMemory&) = delete;
  WtsMemory& operator=(const WtsMemory&) = delete;
  ~WtsMemory() {
    if (memory_ != nullptr) WTSFreeMemory(memory_);
  }
  template <typename T>
  T** receive() {
    return reinterpret_cast<T**>(&memory_);
  }
  template <typename T>
  const T* as() const {
    return static_cast<const T*>(memory_);
  }

 private:
  void* memory_ = nullptr;
};

}  // namespace

bool IsRemoteSession() { return GetSystemMetrics(SM_REMOTESESSION) != 0; }

uint32_t ActiveConsoleSessionId() { return WTSGetActiveConsoleSessionId(); }

bool EnumerateSessions(std::vector<SessionEntry>* sessions, uint32_t* error_code) {
  sessions->clear();
  WtsMemory buffer;
  DWORD count = 0;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, buffer.receive<WTS_SESSION_INFOW>(), &count)) {
    *error_code = GetLastError();
    return false;
  }
  const WTS_SESSION_INFOW* entries = buffer.as<WTS_SESSION_INFOW>();
  for (DWORD i = 0; i < count; ++i) {
    SessionEntry entry{entries[i].SessionId, static_cast<uint32_t>(entries[i].State), kProtocolConsole};
    WtsMemory protocol;
    DWORD bytes = 0;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, entries[i].SessionId, WTSClientProtocolType,
                                    protocol.receive<wchar_t>(), &bytes) &&
        protocol.as<void>() != nullptr && bytes >= sizeof(USHORT)) {
      entry.protocol_type = *protocol.as<USHORT>();
    }
    sessions->push_back(entry);
  }
  return true;
}

bool ReadSessionClientAddress(uint32_t session_id, SessionClientAddress* address, uint32_t* error_code) {
  WtsMemory buffer;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session_id, WTSClientAddress,
                                   buffer.receive<wchar_t>(), &bytes)) {
    *error_code = GetLastError();
    return false;
  }
  if (buffer.as<void>() == nullptr || bytes < sizeof(WTS_CLIENT_ADDRESS)) {
    *error_code = ERROR_INVALID_DATA;
    return false;
  }
  const WTS_CLIENT_ADDRESS* raw = buffer.as<WTS_CLIENT_ADDRESS>();
  address->family = raw->AddressFamily;
  std::memcpy(address->address, raw->Address, sizeof(address->address));
  return true;
}

}  // namespace platform
