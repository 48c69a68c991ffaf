#include "platform/process.h"

#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "fake_state.h"

namespace platform {
namespace {

bool AppendToStream(const char* operation, std::wstring fake::FakeWorld::*stream, const std::wstring& text) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  uint32_t error_code = 0;
  if (fake::RecordCall(world, operation, "", &error_code)) return false;
  (world.*stream) += text;
  return true;
}

}  // namespace

bool WriteStdout(const std::wstring& text) {
  return AppendToStream("WriteStdout", &fake::FakeWorld::stdout_text, text);
}

bool WriteStderr(const std::wstring& text) {
  return AppendToStream("WriteStderr", &fake::FakeWorld::stderr_text, text);
}

bool InstallConsoleControlHandler(ConsoleControlHandler handler, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "InstallConsoleControlHandler", "", error_code)) return false;
  world.console_handler = handler;
  return true;
}

bool GetOwnModulePath(size_t buffer_chars, std::wstring* path, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "GetOwnModulePath", "", error_code)) return false;
  if (world.module_path.size() >= buffer_chars) {
    *error_code = fake::kErrorInsufficientBuffer;
    return false;
  }
  *path = world.module_path;
  return true;
}

// The fake's wall clock moves with the time every thread asked to sleep and
// with the jumps a test makes (a machine that slept).
int64_t UnixTimeSeconds() {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  return fake::kFakeClockStart + static_cast<int64_t>(world.slept_ms / 1000) + world.clock_jump_seconds;
}

bool ProcessUserSid(std::wstring* sid, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "ProcessUserSid", "", error_code)) return false;
  *sid = world.process_user_sid;
  return true;
}

}  // namespace platform

namespace platform::fake {

void AdvanceWallClock(int64_t seconds) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().clock_jump_seconds += seconds;
}

std::wstring StdoutText() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().stdout_text;
}

std::wstring StderrText() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().stderr_text;
}

bool HasConsoleControlHandler() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().console_handler != nullptr;
}

bool RaiseConsoleEvent(uint32_t event) {
  ConsoleControlHandler handler = nullptr;
  {
    std::lock_guard<std::mutex> guard(World().lock);
    handler = World().console_handler;
  }
  // Called without the lock, as the handler may itself use the platform.
  return handler != nullptr && handler(event);
}

void SetOwnModulePath(const std::wstring& path) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().module_path = path;
}

}  // namespace platform::fake

namespace platform {

void WriteDebuggerOutput(const std::wstring& text) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  world.debugger_text += text;
}

void SleepMilliseconds(uint32_t milliseconds) {
  {
    fake::FakeWorld& world = fake::World();
    std::lock_guard<std::mutex> guard(world.lock);
    uint32_t ignored = 0;
    fake::RecordCall(world, "SleepMilliseconds", std::to_string(milliseconds), &ignored);
    world.slept_ms += milliseconds;
    if (world.instant_sleeps) return;
  }
  // A hundredth of the time: threads that poll still take turns, and a test
  // of a 15-second wait takes 150 ms.
  std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{milliseconds} * 10));
}

// Sleeps count in full, as on the wall clock; a status wait given a stop
// event counts its own looks.
uint64_t SteadyMilliseconds() {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  return world.slept_ms + world.event_waited_ms;
}

void CloseProcess(uintptr_t process) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  world.process_handles.erase(process);
}

// A service's process, as the fake's service manager numbers it, or another
// program's that a test seeded. A handle holds the process it was opened on,
// whatever runs under that id later.
bool OpenProcessToEnd(uint32_t process_id, ProcessHandle* process, uint32_t* error_code) {
  std::function<void()> effect;
  {
    std::lock_guard<std::mutex> guard(fake::World().lock);
    effect = std::exchange(fake::World().process_open_effect, nullptr);
  }
  if (effect) effect();
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "OpenProcessToEnd", std::to_string(process_id), error_code)) return false;
  fake::FakeProcessHandle opened{process_id, L"", 0};
  bool found = world.foreign_processes.count(process_id) > 0;
  for (auto& [key, service] : world.services) {
    if (found || service.state == kServiceStopped || fake::ServiceProcessId(service) != process_id) continue;
    opened = fake::FakeProcessHandle{process_id, key, service.start_count};
    found = true;
  }
  if (!found) {
    *error_code = 87;  // ERROR_INVALID_PARAMETER: no such process
    return false;
  }
  const uintptr_t handle = fake::NewHandle(world);
  world.process_handles[handle] = opened;
  *process = ProcessHandle(handle);
  return true;
}

namespace {

// The service whose process the handle holds, while that process lives.
fake::FakeService* LiveServiceOf(fake::FakeWorld& world, const fake::FakeProcessHandle& opened) {
  const auto service = world.services.find(opened.service_key);
  if (opened.service_key.empty() || service == world.services.end()) return nullptr;
  fake::FakeService& target = service->second;
  return target.state != kServiceStopped && target.start_count == opened.start_count ? &target : nullptr;
}

}  // namespace

// The service stops as Windows reports a killed service process.
bool EndOpenProcess(const ProcessHandle& process, uint32_t, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  const auto opened = world.process_handles.find(process.get());
  if (fake::RecordCall(world, "EndOpenProcess",
                       opened == world.process_handles.end() ? "" : std::to_string(opened->second.process_id),
                       error_code)) {
    return false;
  }
  if (opened == world.process_handles.end()) {
    *error_code = 6;  // ERROR_INVALID_HANDLE
    return false;
  }
  if (opened->second.service_key.empty()) {
    world.foreign_processes.erase(opened->second.process_id);
    world.ended_foreign_processes.push_back(opened->second.process_id);
    return true;
  }
  if (fake::FakeService* service = LiveServiceOf(world, opened->second)) {
    service->state = kServiceStopped;
    service->win32_exit_code = kErrorProcessAborted;  // whatever code it was ended with
    service->reported_specific_exit_code = 0;
    ++service->processes_ended;
  }
  return true;  // ending a process that has exited succeeds and does nothing
}

bool WaitForProcessEnd(const ProcessHandle& process, uint32_t) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  const auto opened = world.process_handles.find(process.get());
  if (opened == world.process_handles.end()) return false;
  if (opened->second.service_key.empty()) return world.foreign_processes.count(opened->second.process_id) == 0;
  return LiveServiceOf(world, opened->second) == nullptr;
}

void TerminateCurrentProcess(uint32_t exit_code) {
  std::string printed;
  {
    fake::FakeWorld& world = fake::World();
    std::lock_guard<std::mutex> guard(world.lock);
    printed = fake::Narrow(world.stderr_text);
  }
  std::fprintf(stderr, "%s[fake] TerminateCurrentProcess %u\n", printed.c_str(), exit_code);
  std::fflush(stderr);
  std::abort();
}

}  // namespace platform

namespace platform::fake {

void SeedForeignProcess(uint32_t process_id) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().foreign_processes.insert(process_id);
}

std::vector<uint32_t> EndedForeignProcesses() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().ended_foreign_processes;
}

void SetProcessOpenEffect(std::function<void()> effect) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().process_open_effect = std::move(effect);
}

void SetInstantSleeps(bool instant) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().instant_sleeps = instant;
}

uint64_t SleptMilliseconds() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().slept_ms;
}

}  // namespace platform::fake
