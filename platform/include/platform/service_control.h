// The Service Control Manager: the local manager, services' registration,
// start, stop control, status and deletion. Rights, types and states are the
// Windows values, so that the service logic states exactly what it asks for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/owned_handle.h"
#include "platform/pipes.h"

namespace platform {

// Manager rights.
constexpr uint32_t kScManagerConnect = 0x0001;
constexpr uint32_t kScManagerCreateService = 0x0002;
constexpr uint32_t kScManagerAllAccess = 0xF003F;

// Service rights.
constexpr uint32_t kServiceQueryConfig = 0x0001;
constexpr uint32_t kServiceChangeConfig = 0x0002;
constexpr uint32_t kServiceQueryStatus = 0x0004;
constexpr uint32_t kServiceStart = 0x0010;
constexpr uint32_t kServiceStop = 0x0020;
constexpr uint32_t kServiceDelete = 0x10000;  // the standard DELETE right
constexpr uint32_t kServiceAllAccess = 0xF01FF;

// Registration values.
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceSidTypeUnrestricted = 1;

// Service states.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;

// System error codes that the service logic tells apart.
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
// A service that reports start-pending (or stop-pending) accepts no control.
constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr uint32_t kErrorServiceExists = 1073;
constexpr uint32_t kErrorServiceSpecificError = 1066;
// The process a service ran in exited without reporting stopped.
constexpr uint32_t kErrorProcessAborted = 1067;

// Closes a manager or service handle; used by ScHandle.
void ScmCloseHandle(uintptr_t handle);
using ScHandle = OwnedHandle<ScmCloseHandle>;

struct ServiceRegistration {
  std::wstring name;
  std::wstring display_name;
  uint32_t service_type = kServiceWin32OwnProcess;
  uint32_t start_type = kServiceDemandStart;
  uint32_t error_control = kServiceErrorNormal;
  std::wstring binary_path;
  std::vector<std::wstring> dependencies;  // service names, in order
  // The service runs as LocalSystem: no account, no password, no load-order group.
};

struct ServiceStatus {
  uint32_t state = 0;
  uint32_t process_id = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;  // meaningful when win32_exit_code is 1066
};

// Every operation returns false with the system error code on failure.
bool ScmOpenManager(uint32_t access, ScHandle* manager, uint32_t* error_code);
bool ScmOpenService(const ScHandle& manager, const std::wstring& name, uint32_t access, ScHandle* service,
                    uint32_t* error_code);
bool ScmCreateService(const ScHandle& manager, const ServiceRegistration& registration, uint32_t access,
                      ScHandle* service, uint32_t* error_code);
// Changes the binary path alone; type, start type, error control and the rest stay.
bool ScmChangeBinaryPath(const ScHandle& service, const std::wstring& binary_path, uint32_t* error_code);
// Changes the service's start type. An automatic start is never a delayed
// one (an earlier delay is cleared; a failure of that alone is ignored): a
// program started from a user's Run key could take the pipe's name first.
bool ScmChangeStartType(const ScHandle& service, uint32_t start_type, uint32_t* error_code);
bool ScmSetServiceSidType(const ScHandle& service, uint32_t sid_type, uint32_t* error_code);
// Starts the service with no arguments.
bool ScmStartService(const ScHandle& service, uint32_t* error_code);
bool ScmControlStop(const ScHandle& service, ServiceStatus* status, uint32_t* error_code);
// The extended (process-information) status.
bool ScmQueryStatus(const ScHandle& service, ServiceStatus* status, uint32_t* error_code);
// Marks the service for deletion; it goes when it has stopped and every handle is closed.
bool ScmDeleteService(const ScHandle& service, uint32_t* error_code);

// Waits until the service's state is no longer |known_state|
// (NotifyServiceStatusChangeW, waited for alertably): true with the status
// then, at once when it differs already. False with kErrorTimeout after
// |timeout_ms|, with kErrorOperationAborted once |stop| (when given) is set,
// with kErrorServiceMarkedForDelete once the service is marked for deletion
// (the caller must close its handle so that it can go), and with another code
// when the system refuses notifications. A notification still pending when
// this returns stays registered on the handle and is reused by the next wait
// on it, so a handle waited on must be waited on and closed by one thread.
bool ScmWaitStatusChange(const ScHandle& service, uint32_t known_state, uint32_t timeout_ms, const StopEvent* stop,
                         ServiceStatus* status, uint32_t* error_code);

}  // namespace platform
