#include "platform/sessions.h"

#include "fake_state.h"

namespace platform {
namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr uint32_t kErrorNotFound = 1168;

}  // namespace

bool IsRemoteSession() {
  Guard guard(fake::World().lock);
  return fake::World().remote_session;
}

uint32_t ActiveConsoleSessionId() {
  Guard guard(fake::World().lock);
  return fake::World().console_session;
}

bool EnumerateSessions(std::vector<SessionEntry>* sessions, uint32_t* error_code) {
  sessions->clear();
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "EnumerateSessions", "", error_code)) return false;
  *sessions = world.sessions;
  return true;
}

bool ReadSessionClientAddress(uint32_t session_id, SessionClientAddress* address, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ReadSessionClientAddress", std::to_string(session_id), error_code)) return false;
  const auto found = world.session_addresses.find(session_id);
  if (found == world.session_addresses.end()) {
    *error_code = kErrorNotFound;
    return false;
  }
  *address = found->second;
  return true;
}

}  // namespace platform

namespace platform::fake {

void SetRemoteSession(bool remote) {
  Guard guard(World().lock);
  World().remote_session = remote;
}

void SetConsoleSession(uint32_t session_id) {
  Guard guard(World().lock);
  World().console_session = session_id;
}

void SeedSessions(const std::vector<SessionEntry>& sessions) {
  Guard guard(World().lock);
  World().sessions = sessions;
}

void SeedSessionClientAddress(uint32_t session_id, const SessionClientAddress& address) {
  Guard guard(World().lock);
  World().session_addresses[session_id] = address;
}

std::wstring DebuggerText() {
  Guard guard(World().lock);
  return World().debugger_text;
}

}  // namespace platform::fake
