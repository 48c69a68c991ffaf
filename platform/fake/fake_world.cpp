#include "fake_state.h"

namespace platform::fake {

FakeWorld& World() {
  static FakeWorld world;
  return world;
}

bool RecordCall(FakeWorld& world, const std::string& operation, const std::string& argument,
                uint32_t* error_code) {
  if (world.journal_kept) world.journal.push_back(argument.empty() ? operation : operation + " " + argument);
  const auto pending = world.pending_failures.find(operation);
  if (pending == world.pending_failures.end()) return false;
  FakeWorld::PendingFailure& next = pending->second.front();
  if (next.calls_to_let_through > 0) {
    --next.calls_to_let_through;
    return false;
  }
  *error_code = next.error_code;
  pending->second.pop_front();
  if (pending->second.empty()) world.pending_failures.erase(pending);
  return true;
}

uintptr_t NewHandle(FakeWorld& world) { return world.next_handle += 4; }

std::wstring LowerAscii(const std::wstring& text) {
  std::wstring lower = text;
  for (wchar_t& c : lower) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return lower;
}

// Journal lines are for reading in test failures; non-ASCII shows as '?'.
std::string Narrow(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (wchar_t c : text) narrow.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
  return narrow;
}

void Reset() {
  FakeWorld& world = World();
  std::lock_guard<std::mutex> guard(world.lock);
  static_cast<FakeState&>(world) = FakeState();
}

void FailNextCall(const std::string& operation, uint32_t error_code, int calls_to_let_through) {
  FakeWorld& world = World();
  std::lock_guard<std::mutex> guard(world.lock);
  world.pending_failures[operation].push_back(FakeWorld::PendingFailure{error_code, calls_to_let_through});
}

void ClearPendingFailures() {
  FakeWorld& world = World();
  std::lock_guard<std::mutex> guard(world.lock);
  world.pending_failures.clear();
}

void SetJournalKept(bool kept) {
  FakeWorld& world = World();
  std::lock_guard<std::mutex> guard(world.lock);
  world.journal_kept = kept;
}

std::vector<std::string> Journal() {
  FakeWorld& world = World();
  std::lock_guard<std::mutex> guard(world.lock);
  return world.journal;
}

}  // namespace platform::fake
