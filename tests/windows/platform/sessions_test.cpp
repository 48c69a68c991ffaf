#include "platform/sessions.h"

#include <gtest/gtest.h>

#include "platform/process.h"

namespace {

// Wine has no Terminal Services sessions and no remote session; these are
// the answers the service sees there, and the calls must not fail otherwise.
TEST(Sessions, WineAnswers_NoRemoteSessionAndNoSessionClients) {
  EXPECT_FALSE(platform::IsRemoteSession());
  std::vector<platform::SessionEntry> sessions;
  uint32_t error_code = 0;
  if (platform::EnumerateSessions(&sessions, &error_code)) {
    for (const platform::SessionEntry& session : sessions) {
      platform::SessionClientAddress address;
      if (platform::ReadSessionClientAddress(session.session_id, &address, &error_code)) {
        EXPECT_NE(address.family, platform::kAddressFamilyInet) << "a local session has no IPv4 client";
      }
    }
  }
  platform::SessionClientAddress address;
  EXPECT_FALSE(platform::ReadSessionClientAddress(0xFFFFFFF0, &address, &error_code));
  const uint32_t console = platform::ActiveConsoleSessionId();
  EXPECT_TRUE(console == platform::kNoConsoleSession || console < 0x10000) << console;
  platform::WriteDebuggerOutput(L"[Quorvane] debugger output from the seam test\n");
}

}  // namespace
