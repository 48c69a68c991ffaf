// Terminal Services sessions: whether this process runs in a remote session,
// the console session, the sessions of this server and their client addresses.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

constexpr uint32_t kNoConsoleSession = 0xFFFFFFFF;
// Connection states (WTS_CONNECTSTATE_CLASS).
constexpr uint32_t kSessionActive = 0;
constexpr uint32_t kSessionConnected = 1;
constexpr uint32_t kAddressFamilyInet = 2;
constexpr uint32_t kAddressFamilyInet6 = 23;
// Client protocol types (WTSClientProtocolType).
constexpr uint16_t kProtocolConsole = 0;
constexpr uint16_t kProtocolRdp = 2;

struct SessionEntry {
  uint32_t session_id = 0;
  uint32_t state = 0;
  uint16_t protocol_type = kProtocolConsole;
};

// WTS_CLIENT_ADDRESS: the family and the raw address bytes as Terminal
// Services stores them.
struct SessionClientAddress {
  uint32_t family = 0;
  uint8_t address[20] = {};
};

// GetSystemMetrics(SM_REMOTESESSION) is non-zero.
bool IsRemoteSession();

// kNoConsoleSession when no session is attached to the console.
uint32_t ActiveConsoleSessionId();

// The sessions of the local server (WTSEnumerateSessionsW, version 1), each
// with its client protocol (WTSQuerySessionInformationW; console when that
// query fails).
bool EnumerateSessions(std::vector<SessionEntry>* sessions, uint32_t* error_code);

// The client address of a session of the local server.
bool ReadSessionClientAddress(uint32_t session_id, SessionClientAddress* address, uint32_t* error_code);

}  // namespace platform
