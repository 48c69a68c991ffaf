#include "platform/service_control.h"

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "scm_lock.h"

namespace platform {

std::recursive_mutex& ScmLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

std::recursive_mutex& g_scm_lock = ScmLock();

// A status notification registered on a service handle by this thread. The
// manager writes into |notify| until the callback ran or the handle is
// closed, so the block lives as long as its handle.
struct PendingNotify {
  SERVICE_NOTIFYW notify{};
  bool registered = false;
  bool fired = false;
};
// By handle; a handle is waited on and closed by one thread, where the
// notification's callback runs.
thread_local std::map<SC_HANDLE, std::unique_ptr<PendingNotify>> t_pending;

// The manager passes the SERVICE_NOTIFYW it was given.
void CALLBACK NotifyFired(void* parameter) {
  static_cast<PendingNotify*>(static_cast<SERVICE_NOTIFYW*>(parameter)->pContext)->fired = true;
}

constexpr DWORD kEveryState = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_START_PENDING | SERVICE_NOTIFY_STOP_PENDING |
                              SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_CONTINUE_PENDING |
                              SERVICE_NOTIFY_PAUSE_PENDING | SERVICE_NOTIFY_PAUSED | SERVICE_NOTIFY_DELETE_PENDING;

// The notification bit of a state (SERVICE_NOTIFY_x is 1 << (state - 1)).
DWORD StateBit(uint32_t state) { return state >= 1 && state <= 7 ? DWORD{1} << (state - 1) : 0; }

SC_HANDLE Raw(const ScHandle& handle) { return reinterpret_cast<SC_HANDLE>(handle.get()); }

bool Fail(uint32_t* error_code) {
  *error_code = GetLastError();
  return false;
}

bool Adopt(SC_HANDLE raw, ScHandle* handle, uint32_t* error_code) {
  if (raw == nullptr) return Fail(error_code);
  *handle = ScHandle(reinterpret_cast<uintptr_t>(raw));
  return true;
}

void FillStatus(const SERVICE_STATUS& raw, ServiceStatus* status) {
  status->state = raw.dwCurrentState;
  status->win32_exit_code = raw.dwWin32ExitCode;
}

// Dependencies go to the SCM as one block of zero-terminated names ended by an
// empty name; no dependencies is a null pointer.
std::vector<wchar_t> DependencyBlock(const std::vector<std::wstring>& names) {
  std::vector<wchar_t> block;
  for (const std::wstring& name : names) {
    block.insert(block.end(), name.begin(), name.end());
    block.push_back(L'\0');
  }
  if (!block.empty()) block.push_back(L'\0');
  return block;
}

}  // namespace

bool ScmOpenManager(uint32_t access, ScHandle* manager, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  return Adopt(OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, access), manager, error_code);
}

bool ScmOpenService(const ScHandle& manager, const std::wstring& name, uint32_t access, ScHandle* service,
                    uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  return Adopt(OpenServiceW(Raw(manager), name.c_str(), access), service, error_code);
}

bool ScmCreateService(const ScHandle& manager, const ServiceRegistration& registration, uint32_t access,
                      ScHandle* service, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  const std::vector<wchar_t> dependencies = DependencyBlock(registration.dependencies);
  const SC_HANDLE raw = CreateServiceW(Raw(manager), registration.name.c_str(), registration.display_name.c_str(),
                                       access, registration.service_type, registration.start_type,
                                       registration.error_control, registration.binary_path.c_str(), nullptr,
                                       nullptr, dependencies.empty() ? nullptr : dependencies.data(), nullptr,
                                       nullptr);
  return Adopt(raw, service, error_code);
}

bool ScmChangeBinaryPath(const ScHandle& service, const std::wstring& binary_path, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  if (ChangeServiceConfigW(Raw(service), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                           binary_path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    return true;
  }
  return Fail(error_code);
}

bool ScmChangeStartType(const ScHandle& service, uint32_t start_type, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  if (!ChangeServiceConfigW(Raw(service), SERVICE_NO_CHANGE, start_type, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr)) {
    return Fail(error_code);
  }
  SERVICE_DELAYED_AUTO_START_INFO delayed{FALSE};
  ChangeServiceConfig2W(Raw(service), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
  return true;
}

bool ScmSetServiceSidType(const ScHandle& service, uint32_t sid_type, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  SERVICE_SID_INFO info{sid_type};
  if (ChangeServiceConfig2W(Raw(service), SERVICE_CONFIG_SERVICE_SID_INFO, &info)) return true;
  return Fail(error_code);
}

bool ScmStartService(const ScHandle& service, uint32_t* error_code) {
  if (StartServiceW(Raw(service), 0, nullptr)) return true;
  return Fail(error_code);
}

bool ScmControlStop(const ScHandle& service, ServiceStatus* status, uint32_t* error_code) {
  SERVICE_STATUS raw{};
  if (!ControlService(Raw(service), SERVICE_CONTROL_STOP, &raw)) return Fail(error_code);
  FillStatus(raw, status);
  return true;
}

bool ScmQueryStatus(const ScHandle& service, ServiceStatus* status, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  SERVICE_STATUS_PROCESS raw{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(Raw(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&raw), sizeof(raw),
                            &needed)) {
    return Fail(error_code);
  }
  status->state = raw.dwCurrentState;
  status->process_id = raw.dwProcessId;
  status->win32_exit_code = raw.dwWin32ExitCode;
  status->service_specific_exit_code = raw.dwServiceSpecificExitCode;
  return true;
}

bool ScmDeleteService(const ScHandle& service, uint32_t* error_code) {
  std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
  if (DeleteService(Raw(service))) return true;
  return Fail(error_code);
}

bool ScmWaitStatusChange(const ScHandle& service, uint32_t known_state, uint32_t timeout_ms, const StopEvent* stop,
                         ServiceStatus* status, uint32_t* error_code) {
  std::unique_ptr<PendingNotify>& pending = t_pending[Raw(service)];
  if (!pending) pending = std::make_unique<PendingNotify>();
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    PendingNotify& block = *pending;
    if (block.fired) {
      block.registered = block.fired = false;
      const SERVICE_STATUS_PROCESS& raw = block.notify.ServiceStatus;
      if (block.notify.dwNotificationStatus != ERROR_SUCCESS) {
        *error_code = block.notify.dwNotificationStatus;
        return false;
      }
      if ((block.notify.dwNotificationTriggered & SERVICE_NOTIFY_DELETE_PENDING) != 0) {
        *error_code = ERROR_SERVICE_MARKED_FOR_DELETE;
        return false;
      }
      if (raw.dwCurrentState != known_state) {
        status->state = raw.dwCurrentState;
        status->process_id = raw.dwProcessId;
        status->win32_exit_code = raw.dwWin32ExitCode;
        status->service_specific_exit_code = raw.dwServiceSpecificExitCode;
        return true;
      }
    }
    if (!block.registered) {
      block.notify = SERVICE_NOTIFYW{};
      block.notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
      block.notify.pfnNotifyCallback = NotifyFired;
      block.notify.pContext = &block;
      // A service already in one of the states asked for is reported at once,
      // so a change between the caller's query and this call is not lost.
      DWORD result = ERROR_SUCCESS;
      {
        std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
        result = NotifyServiceStatusChangeW(Raw(service), kEveryState & ~StateBit(known_state), &block.notify);
      }
      if (result != ERROR_SUCCESS) {
        *error_code = result;
        return false;
      }
      block.registered = true;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      *error_code = ERROR_TIMEOUT;
      return false;
    }
    const DWORD wait_ms = static_cast<DWORD>(deadline - now);
    // Alertable, so that the notification's callback runs on this thread.
    const DWORD woke = stop != nullptr
                           ? WaitForSingleObjectEx(reinterpret_cast<HANDLE>(stop->get()), wait_ms, TRUE)
                           : SleepEx(wait_ms, TRUE);
    if (stop != nullptr && woke == WAIT_OBJECT_0) {
      *error_code = ERROR_OPERATION_ABORTED;
      return false;
    }
    if (woke == WAIT_FAILED) return Fail(error_code);
  }
}

void ScmCloseHandle(uintptr_t handle) {
  if (handle == 0) return;
  const SC_HANDLE raw = reinterpret_cast<SC_HANDLE>(handle);
  {
    std::lock_guard<std::recursive_mutex> guard(g_scm_lock);
    CloseServiceHandle(raw);
  }
  // Closing cancels a pending notification; a callback queued before that
  // still runs, into the block, at this alertable moment.
  const auto found = t_pending.find(raw);
  if (found == t_pending.end()) return;
  if (found->second->registered && !found->second->fired) SleepEx(0, TRUE);
  t_pending.erase(found);
}

}  // namespace platform
