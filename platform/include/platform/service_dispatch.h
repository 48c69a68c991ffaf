// This process as a Windows service: the control dispatcher, the control
// handler and the status reports to the Service Control Manager.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Controls and accepted-control flags.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlSessionChange = 14;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptSessionChange = 0x80;

// The service main routine; the start arguments are not passed on.
using ServiceMainRoutine = void (*)();
// Called on the dispatcher's thread with the control code.
using ServiceControlRoutine = void (*)(uint32_t control);

// StartServiceCtrlDispatcherW with one entry: returns when the service has
// stopped. False with the system error code when the process was not started
// by the Service Control Manager, or the call failed otherwise.
bool RunServiceDispatcher(const std::wstring& service_name, ServiceMainRoutine main, uint32_t* error_code);

// RegisterServiceCtrlHandlerExW; the status handle stays with the platform
// for ReportServiceStatus.
bool RegisterServiceControlHandler(const std::wstring& service_name, ServiceControlRoutine handler,
                                   uint32_t* error_code);

// What SetServiceStatus tells the manager of an own-process service. A
// pending state with a wait hint and a checkpoint that grows tells it that
// work goes on; a stopped one carries the exit code.
struct ServiceStatusReport {
  uint32_t state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;  // with win32_exit_code 1066
  uint32_t checkpoint = 0;
  uint32_t wait_hint_ms = 0;
};
bool ReportServiceStatus(const ServiceStatusReport& report, uint32_t* error_code);

}  // namespace platform
