// The dispatcher runs the service main routine on a thread of its own, as
// Windows does; a test plays the Service Control Manager by sending controls.
#include "platform/service_dispatch.h"

#include <thread>

#include "fake_state.h"

namespace platform {

bool RunServiceDispatcher(const std::wstring& service_name, ServiceMainRoutine main, uint32_t* error_code) {
  {
    fake::FakeWorld& world = fake::World();
    std::lock_guard<std::mutex> guard(world.lock);
    if (fake::RecordCall(world, "RunServiceDispatcher", fake::Narrow(service_name), error_code)) return false;
  }
  std::thread service_main(main);
  service_main.join();
  return true;
}

bool RegisterServiceControlHandler(const std::wstring& service_name, ServiceControlRoutine handler,
                                   uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "RegisterServiceControlHandler", fake::Narrow(service_name), error_code)) return false;
  world.service_handler = handler;
  return true;
}

bool ReportServiceStatus(const ServiceStatusReport& report, uint32_t* error_code) {
  std::function<void(uint32_t)> effect;
  {
    std::lock_guard<std::mutex> guard(fake::World().lock);
    effect = fake::World().status_report_effect;
  }
  if (effect) effect(report.state);
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "ReportServiceStatus", std::to_string(report.state), error_code)) return false;
  world.reported_statuses.push_back(report);
  return true;
}

}  // namespace platform

namespace platform::fake {

void SetStatusReportEffect(std::function<void(uint32_t state)> effect) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().status_report_effect = std::move(effect);
}

bool SendServiceControl(uint32_t control) {
  ServiceControlRoutine handler = nullptr;
  {
    std::lock_guard<std::mutex> guard(World().lock);
    handler = World().service_handler;
  }
  if (handler == nullptr) return false;
  handler(control);
  return true;
}

std::vector<ReportedStatus> ReportedStatuses() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().reported_statuses;
}

}  // namespace platform::fake
