#include "platform/service_control.h"

#include "platform/process.h"

#include <chrono>
#include <thread>

#include "fake_pipes.h"
#include "fake_state.h"

namespace platform {
namespace {

using fake::FakeService;
using fake::FakeWorld;
using Guard = std::lock_guard<std::mutex>;
using fake::ServiceOf;

bool Check(FakeWorld& world, uintptr_t handle, uint32_t right, fake::FakeScHandle** entry, uint32_t* error_code) {
  return fake::CheckScHandle(world, handle, right, entry, error_code);
}

// Windows removes a service marked for deletion once it has stopped and no
// handle to it is left open.
void RemoveIfDeleted(FakeWorld& world, const std::wstring& key) {
  const auto service = world.services.find(key);
  if (service == world.services.end() || !service->second.marked_for_delete ||
      service->second.state != kServiceStopped || service->second.held_elsewhere_for_opens != 0) {
    return;
  }
  for (const auto& [handle, entry] : world.sc_handles) {
    if (entry.service_key == key) return;
  }
  world.services.erase(service);
}

uintptr_t AddHandle(FakeWorld& world, const std::wstring& service_key, uint32_t access) {
  const uintptr_t handle = fake::NewHandle(world);
  world.sc_handles[handle] = fake::FakeScHandle{service_key, access};
  return handle;
}

}  // namespace

namespace fake {

bool CheckScHandle(FakeWorld& world, uintptr_t handle, uint32_t right, FakeScHandle** entry, uint32_t* error_code) {
  const auto found = world.sc_handles.find(handle);
  if (found == world.sc_handles.end()) {
    *error_code = kErrorInvalidHandle;
    return false;
  }
  if ((found->second.access & right) != right) {
    *error_code = kErrorAccessDenied;
    return false;
  }
  *entry = &found->second;
  return true;
}

}  // namespace fake

static bool StartLocked(FakeWorld& world, const ScHandle& service, bool* running, uint32_t* error_code);

bool ScmOpenManager(uint32_t access, ScHandle* manager, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ScmOpenManager", std::to_string(access), error_code)) return false;
  *manager = ScHandle(AddHandle(world, L"", access));
  return true;
}

bool ScmOpenService(const ScHandle& manager, const std::wstring& name, uint32_t access, ScHandle* service,
                    uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ScmOpenService", fake::Narrow(name) + " " + std::to_string(access), error_code)) {
    return false;
  }
  fake::FakeScHandle* entry = nullptr;
  if (!Check(world, manager.get(), kScManagerConnect, &entry, error_code)) return false;
  const std::wstring key = fake::LowerAscii(name);
  const auto found = world.services.find(key);
  if (found == world.services.end()) {
    *error_code = kErrorServiceDoesNotExist;
    return false;
  }
  // The other program lets go of its handle in its own time.
  int& held = found->second.held_elsewhere_for_opens;
  if (held > 0 && --held == 0) {
    RemoveIfDeleted(world, key);
    if (world.services.count(key) == 0) {
      *error_code = kErrorServiceDoesNotExist;
      return false;
    }
  }
  *service = ScHandle(AddHandle(world, key, access));
  return true;
}

bool ScmCreateService(const ScHandle& manager, const ServiceRegistration& registration, uint32_t access,
                      ScHandle* service, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ScmCreateService", fake::Narrow(registration.name), error_code)) return false;
  fake::FakeScHandle* entry = nullptr;
  if (!Check(world, manager.get(), kScManagerCreateService, &entry, error_code)) return false;
  const std::wstring key = fake::LowerAscii(registration.name);
  const auto existing = world.services.find(key);
  if (existing != world.services.end()) {
    *error_code = existing->second.marked_for_delete ? kErrorServiceMarkedForDelete : kErrorServiceExists;
    return false;
  }
  FakeService created = world.created_service_behaviour;
  created.registration = registration;
  world.services[key] = created;
  *service = ScHandle(AddHandle(world, key, access));
  return true;
}

bool ScmChangeBinaryPath(const ScHandle& service, const std::wstring& binary_path, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ScmChangeBinaryPath", fake::Narrow(binary_path), error_code)) return false;
  fake::FakeScHandle* entry = nullptr;
  if (!Check(world, service.get(), kServiceChangeConfig, &entry, error_code)) return false;
  FakeService& target = ServiceOf(world, *entry);
  if (target.marked_for_delete) {
    *error_code = kErrorServiceMarkedForDelete;
    return false;
  }
  target.registration.binary_path = binary_path;
  return true;
}

bool ScmChangeStartType(const ScHandle& service, uint32_t start_type, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ScmChangeStartType", std::to_string(start_type), error_code)) return false;
  fake::FakeScHandle* entry = nullptr;
  if (!Check(world, service.get(), kServiceChangeConfig, &entry, error_code)) return false;
  ServiceOf(world, *entry).registration.start_type = start_type;
  return true;
}

bool ScmSetServiceSidType(const ScHandle& service, uint32_t sid_type, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ScmSetServiceSidType", std::to_string(sid_type), error_code)) return false;
  fake::FakeScHandle* entry = nullptr;
  if (!Check(world, service.get(), kServiceChangeConfig, &entry, error_code)) return false;
  ServiceOf(world, *entry).sid_type = sid_type;
  return true;
}

bool ScmStartService(const ScHandle& service, uint32_t* error_code) {
  std::function<void()> effect;
  {
    FakeWorld& world = fake::World();
    Guard guard(world.lock);
    bool running = false;
    if (!StartLocked(world, service, &running, error_code)) return false;
    if (running) effect = world.service_start_effect;
  }
  // Run without the lock: the effect uses the fake like any other code.
  if (effect) effect();
  return true;
}

static bool StartLocked(FakeWorld& world, const ScHandle& service, bool* running, uint32_t* error_code) {
  if (fake::RecordCall(world, "ScmStartService", "", error_code)) return false;
  fake::FakeScHandle* entry = nullptr;
  if (!Check(world, service.get(), kServiceStart, &entry, error_code)) return false;
  FakeService& target = ServiceOf(world, *entry);
  if (target.state != kServiceStopped) {
    *error_code = kErrorServiceAlreadyRunning;
    return false;
  }
  if (target.marked_for_delete) {
    *error_code = kErrorServiceMarkedForDelete;
    return false;
  }
  *running = target.start_behaviour == fake::StartBehaviour::kRunsAtOnce;
  target.state = *running ? kServiceRunning : kServiceStartPending;
  target.win32_exit_code = 0;
  target.reported_specific_exit_code = 0;
  ++target.start_count;
  return true;
}

bool ScmControlStop(const ScHandle& service, ServiceStatus* status, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ScmControlStop", "", error_code)) return false;
  fake::FakeScHandle* entry = nullptr;
  if (!Check(world, service.get(), kServiceStop, &entry, error_code)) return false;
  FakeService& target = ServiceOf(world, *entry);
  if (target.state == kServiceStopped) {
    *error_code = kErrorServiceNotActive;
    return false;
  }
  if (target.state == kServiceStartPending) {
    *error_code = kErrorServiceCannotAcceptCtrl;
    return false;
  }
  switch (target.stop_behaviour) {
    case fake::StopBehaviour::kStopsAtOnce: target.state = kServiceStopped; break;
    case fake::StopBehaviour::kStopsAfterPolls: target.state = kServiceStopPending; break;
    case fake::StopBehaviour::kIgnoresStop: break;
  }
  status->state = target.state;
  return true;
}

// A start-pending service moves on by one status query; true when it has just
// reached running.
static bool AdvanceStart(FakeService& target) {
  if (target.state != kServiceStartPending || --target.polls_until_started > 0) return false;
  switch (target.start_behaviour) {
    case fake::StartBehaviour::kRunsAtOnce:
    case fake::StartBehaviour::kRunsAfterPolls: target.state = kServiceRunning; return true;
    case fake::StartBehaviour::kStopsAfterPolls:
      target.state = kServiceStopped;
      target.win32_exit_code = target.start_exit_code;
      target.reported_specific_exit_code = target.service_specific_exit_code;
      return false;
    case fake::StartBehaviour::kNeverRuns: return false;
  }
  return false;
}

bool ScmQueryStatus(const ScHandle& service, ServiceStatus* status, uint32_t* error_code) {
  std::function<void()> effect;
  {
    FakeWorld& world = fake::World();
    Guard guard(world.lock);
    if (fake::RecordCall(world, "ScmQueryStatus", "", error_code)) return false;
    fake::FakeScHandle* entry = nullptr;
    if (!Check(world, service.get(), kServiceQueryStatus, &entry, error_code)) return false;
    FakeService& target = ServiceOf(world, *entry);
    if (AdvanceStart(target)) effect = world.service_start_effect;
    if (target.state == kServiceStopPending && --target.polls_until_stopped <= 0) target.state = kServiceStopped;
    status->state = target.state;
    status->process_id = target.state == kServiceStopped ? 0 : fake::ServiceProcessId(target);
    status->win32_exit_code = target.win32_exit_code;
    status->service_specific_exit_code = target.reported_specific_exit_code;
  }
  if (effect) effect();
  return true;
}

bool ScmDeleteService(const ScHandle& service, uint32_t* error_code) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  if (fake::RecordCall(world, "ScmDeleteService", "", error_code)) return false;
  fake::FakeScHandle* entry = nullptr;
  if (!Check(world, service.get(), kServiceDelete, &entry, error_code)) return false;
  FakeService& target = ServiceOf(world, *entry);
  if (target.marked_for_delete) {
    *error_code = kErrorServiceMarkedForDelete;
    return false;
  }
  target.marked_for_delete = true;
  return true;
}

namespace {

bool StopSet(const StopEvent* stop) {
  if (stop == nullptr) return false;
  fake::Pipes& pipes = fake::AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  return pipes.stop_events[stop->get()];
}

}  // namespace

// The fake's services move on at each look (a query), as with polling; a
// wait looks every 10 ms it sleeps, or, given a stop event, every real
// millisecond, which counts as 100 ms as sleeps do.
bool ScmWaitStatusChange(const ScHandle& service, uint32_t known_state, uint32_t timeout_ms, const StopEvent* stop,
                         ServiceStatus* status, uint32_t* error_code) {
  {
    FakeWorld& world = fake::World();
    Guard guard(world.lock);
    if (fake::RecordCall(world, "ScmWaitStatusChange", std::to_string(known_state), error_code)) return false;
  }
  constexpr uint32_t kLookMs = 10;
  constexpr uint32_t kEventLookMs = 100;
  for (uint32_t waited = 0;;) {
    if (!ScmQueryStatus(service, status, error_code)) return false;
    if (status->state != known_state) return true;
    {
      FakeWorld& world = fake::World();
      Guard guard(world.lock);
      fake::FakeScHandle* entry = nullptr;
      if (Check(world, service.get(), kServiceQueryStatus, &entry, error_code) &&
          ServiceOf(world, *entry).marked_for_delete) {
        *error_code = kErrorServiceMarkedForDelete;
        return false;
      }
    }
    if (StopSet(stop)) {
      *error_code = kErrorOperationAborted;
      return false;
    }
    if (waited >= timeout_ms) {
      *error_code = kErrorTimeout;
      return false;
    }
    if (stop == nullptr) {
      SleepMilliseconds(kLookMs);
      waited += kLookMs;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      waited += kEventLookMs;
      Guard guard(fake::World().lock);
      fake::World().event_waited_ms += kEventLookMs;
    }
  }
}

void ScmCloseHandle(uintptr_t handle) {
  FakeWorld& world = fake::World();
  Guard guard(world.lock);
  uint32_t ignored = 0;
  fake::RecordCall(world, "ScmCloseHandle", "", &ignored);
  const auto found = world.sc_handles.find(handle);
  if (found == world.sc_handles.end()) return;
  const std::wstring key = found->second.service_key;
  world.sc_handles.erase(found);
  if (!key.empty()) RemoveIfDeleted(world, key);
}

}  // namespace platform

namespace platform::fake {

void SetServiceStartEffect(std::function<void()> effect) {
  Guard guard(World().lock);
  World().service_start_effect = std::move(effect);
}

void SetCreatedServiceStart(StartBehaviour behaviour, int polls_until_started, uint32_t exit_code,
                            uint32_t service_specific_exit_code) {
  Guard guard(World().lock);
  FakeService& created = World().created_service_behaviour;
  created.start_behaviour = behaviour;
  created.polls_until_started = polls_until_started;
  created.start_exit_code = exit_code;
  created.service_specific_exit_code = service_specific_exit_code;
}

void SeedService(const FakeService& service) {
  Guard guard(World().lock);
  World().services[LowerAscii(service.registration.name)] = service;
}

std::optional<FakeService> FindService(const std::wstring& name) {
  Guard guard(World().lock);
  const auto found = World().services.find(LowerAscii(name));
  if (found == World().services.end()) return std::nullopt;
  return found->second;
}

int OpenScHandleCount() {
  Guard guard(World().lock);
  return static_cast<int>(World().sc_handles.size());
}

}  // namespace platform::fake
