#include "platform/event_log.h"

#include "fake_state.h"

namespace platform {

bool WriteEvent(const std::wstring& source, EventType type, uint32_t event_id, const std::wstring& text,
                uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "WriteEvent", fake::Narrow(source), error_code)) return false;
  world.events.push_back(fake::EventRecord{source, type, event_id, text});
  return true;
}

}  // namespace platform

namespace platform::fake {

std::vector<EventRecord> Events() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().events;
}

}  // namespace platform::fake
