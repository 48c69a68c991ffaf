#include "platform/service_dispatch.h"

#include <windows.h>

#include <atomic>
#include <vector>

namespace platform {
namespace {

// The dispatcher calls plain Windows callbacks; these forward to the routines
// the service logic gave.
std::atomic<ServiceMainRoutine> g_main{nullptr};
std::atomic<ServiceControlRoutine> g_handler{nullptr};
std::atomic<SERVICE_STATUS_HANDLE> g_status_handle{nullptr};

void WINAPI ServiceMainTrampoline(DWORD, wchar_t**) {
  const ServiceMainRoutine main = g_main.load();
  if (main != nullptr) main();
}

DWORD WINAPI ControlTrampoline(DWORD control, DWORD, void*, void*) {
  const ServiceControlRoutine handler = g_handler.load();
  if (handler != nullptr) handler(control);
  return NO_ERROR;
}

}  // namespace

bool RunServiceDispatcher(const std::wstring& service_name, ServiceMainRoutine main, uint32_t* error_code) {
  g_main.store(main);
  std::vector<wchar_t> name(service_name.begin(), service_name.end());
  name.push_back(L'\0');
  const SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMainTrampoline}, {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(table)) return true;
  *error_code = GetLastError();
  return false;
}

bool RegisterServiceControlHandler(const std::wstring& service_name, ServiceControlRoutine handler,
                                   uint32_t* error_code) {
  g_handler.store(handler);
  const SERVICE_STATUS_HANDLE status = RegisterServiceCtrlHandlerExW(service_name.c_str(), ControlTrampoline, nullptr);
  if (status == nullptr) {
    *error_code = GetLastError();
    return false;
  }
  g_status_handle.store(status);  // owned by the manager; never closed
  return true;
}

bool ReportServiceStatus(const ServiceStatusReport& report, uint32_t* error_code) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = report.state;
  status.dwControlsAccepted = report.controls_accepted;
  status.dwWin32ExitCode = report.win32_exit_code;
  status.dwServiceSpecificExitCode = report.service_specific_exit_code;
  status.dwCheckPoint = report.checkpoint;
  status.dwWaitHint = report.wait_hint_ms;
  if (SetServiceStatus(g_status_handle.load(), &status)) return true;
  *error_code = GetLastError();
  return false;
}

}  // namespace platform
