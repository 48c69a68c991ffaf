#include "common/remote_sessions.h"

#include "platform/sessions.h"

namespace quorvane {

std::vector<uint32_t> ActiveRdpSessions() {
  std::vector<platform::SessionEntry> sessions;
  uint32_t error_code = 0;
  std::vector<uint32_t> rdp;
  if (!platform::EnumerateSessions(&sessions, &error_code)) return rdp;
  for (const platform::SessionEntry& session : sessions) {
    if (session.state == platform::kSessionActive && session.protocol_type == platform::kProtocolRdp) {
      rdp.push_back(session.session_id);
    }
  }
  return rdp;
}

bool IsRdpSessionActive() { return platform::IsRemoteSession() || !ActiveRdpSessions().empty(); }

}  // namespace quorvane
