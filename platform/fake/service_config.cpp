#include "platform/service_config.h"

#include "fake_state.h"

namespace platform {
namespace {

using Guard = std::lock_guard<std::mutex>;

// With the lock held: the service behind |service| when the handle holds
// |right|, recording the call.
fake::FakeService* Target(fake::FakeWorld& world, const char* operation, const std::string& argument,
                          const ScHandle& service, uint32_t right, uint32_t* error_code) {
  if (fake::RecordCall(world, operation, argument, error_code)) return nullptr;
  fake::FakeScHandle* entry = nullptr;
  if (!fake::CheckScHandle(world, service.get(), right, &entry, error_code)) return nullptr;
  return &fake::ServiceOf(world, *entry);
}

}  // namespace

bool ScmUpdateRegistration(const ScHandle& service, const ServiceRegistration& registration, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  fake::FakeService* target = Target(world, "ScmUpdateRegistration", fake::Narrow(registration.binary_path), service,
                                     kServiceChangeConfig, error_code);
  if (target == nullptr) return false;
  if (target->marked_for_delete) {
    *error_code = kErrorServiceMarkedForDelete;
    return false;
  }
  const uint32_t start_type = target->registration.start_type;
  target->registration = registration;
  target->registration.start_type = start_type;
  return true;
}

bool ScmQueryStartType(const ScHandle& service, uint32_t* start_type, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  fake::FakeService* target = Target(world, "ScmQueryStartType", "", service, kServiceQueryConfig, error_code);
  if (target == nullptr) return false;
  *start_type = target->registration.start_type;
  return true;
}

bool ScmSetDescription(const ScHandle& service, const std::wstring& description, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  fake::FakeService* target = Target(world, "ScmSetDescription", "", service, kServiceChangeConfig, error_code);
  if (target == nullptr) return false;
  target->description = description;
  return true;
}

bool ScmSetRestartOnFailure(const ScHandle& service, uint32_t reset_seconds,
                            const std::vector<uint32_t>& restart_delays_ms, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  Guard guard(world.lock);
  // Restart actions need the right to start the service too.
  fake::FakeService* target = Target(world, "ScmSetRestartOnFailure", "", service,
                                     kServiceChangeConfig | kServiceStart, error_code);
  if (target == nullptr) return false;
  target->failure_reset_seconds = reset_seconds;
  target->restart_delays_ms = restart_delays_ms;
  return true;
}

}  // namespace platform
