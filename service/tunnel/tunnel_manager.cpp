#include "tunnel/tunnel_manager.h"

#include "platform/process.h"
#include "platform/service_control.h"
#include "common/startup_record.h"

namespace quorvane {
namespace {

constexpr size_t kModulePathChars = 260;

void SetError(std::string* error, const char* text) {
  if (error != nullptr) *error = text;
}

std::wstring TunnelCommandLine(const std::wstring& config_path) {
  std::wstring program;
  uint32_t error_code = 0;
  // Without its own path the service could not name itself; an empty program
  // path makes the start fail visibly rather than run something else.
  platform::GetOwnModulePath(kModulePathChars, &program, &error_code);
  return L"\"" + program + L"\" /service \"" + config_path + L"\"";
}

platform::ServiceRegistration TunnelRegistration(const std::wstring& config_path) {
  platform::ServiceRegistration registration;
  registration.name = TunnelServiceName();
  registration.display_name = TunnelServiceName();
  registration.service_type = platform::kServiceWin32OwnProcess;
  registration.start_type = platform::kServiceDemandStart;
  registration.error_control = platform::kServiceErrorNormal;
  registration.binary_path = TunnelCommandLine(config_path);
  registration.dependencies = {L"Nsi", L"TcpIp"};
  return registration;
}

// Whether the tunnel service is gone, waiting a little for one whose deletion
// is pending.
bool WaitUntilGone(const platform::ScHandle& manager, const std::wstring& name) {
  for (uint32_t waited = 0;; waited += kTunnelPollMs) {
    platform::ScHandle service;
    uint32_t error_code = 0;
    if (!platform::ScmOpenService(manager, name, platform::kServiceQueryStatus, &service, &error_code)) {
      return error_code == platform::kErrorServiceDoesNotExist;
    }
    if (waited >= kTunnelDeleteBoundMs) return false;
    service.Reset();
    platform::SleepMilliseconds(kTunnelPollMs);
  }
}

}  // namespace

std::wstring TunnelServiceName() { return L"QuorvaneVpnTunnel$Active"; }

bool TunnelManager::Stop(std::string*) {
  CheckNetworkMutation(kMutationTunnelStop);
  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) return true;
  platform::ScHandle service;
  const uint32_t access = platform::kServiceDelete | platform::kServiceStop | platform::kServiceQueryStatus;
  if (!platform::ScmOpenService(manager, TunnelServiceName(), access, &service, &error_code)) return true;

  platform::ServiceStatus status;
  platform::ScmControlStop(service, &status, &error_code);
  for (uint32_t waited = 0; waited < kTunnelStopBoundMs; waited += kTunnelPollMs) {
    if (platform::ScmQueryStatus(service, &status, &error_code) && status.state == platform::kServiceStopped) break;
    platform::SleepMilliseconds(kTunnelPollMs);
  }
  platform::ScmDeleteService(service, &error_code);
  return true;
}

bool TunnelManager::Start(const std::wstring& config_path, std::string* error) {
  CheckNetworkMutation(kMutationTunnelStart);
  NoteStartupTunnelStarted();
  Stop(nullptr);

  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) {
    SetError(error, "OpenSCManager failed");
    return false;
  }
  const platform::ServiceRegistration registration = TunnelRegistration(config_path);
  platform::ScHandle service;
  if (!WaitUntilGone(manager, registration.name)) {
    // Still there after the stop: re-pointed when it can be, which Windows
    // refuses while its deletion is pending.
    platform::ScmOpenService(manager, registration.name, platform::kServiceAllAccess, &service, &error_code);
    if (!platform::ScmChangeBinaryPath(service, registration.binary_path, &error_code) &&
        error_code == platform::kErrorServiceMarkedForDelete) {
      SetError(error, "tunnel service is still marked for deletion (error 1072): it has not stopped, or another "
                      "program such as the Services console holds it open");
      return false;
    }
  } else if (platform::ScmCreateService(manager, registration, platform::kServiceAllAccess, &service,
                                        &error_code)) {
    platform::ScmSetServiceSidType(service, platform::kServiceSidTypeUnrestricted, &error_code);
  } else {
    SetError(error, "CreateService tunnel failed");
    return false;
  }
  if (!platform::ScmStartService(service, &error_code) && error_code != platform::kErrorServiceAlreadyRunning) {
    SetError(error, "StartService tunnel failed");
    return false;
  }
  return true;
}

namespace {

std::string StoppedMessage(const platform::ServiceStatus& status) {
  std::string message = "tunnel service stopped before it reported running";
  if (status.win32_exit_code == 0) return message;
  message += " (exit code " + std::to_string(status.win32_exit_code);
  if (status.win32_exit_code == platform::kErrorServiceSpecificError) {
    message += ", service-specific exit code " + std::to_string(status.service_specific_exit_code);
  }
  return message + ")";
}

}  // namespace

bool WaitForTunnelRunning(const std::atomic<bool>* cancel, std::string* message) {
  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code)) {
    *message = "OpenSCManager failed while waiting for the tunnel service (error " + std::to_string(error_code) + ")";
    return false;
  }
  platform::ScHandle service;
  if (!platform::ScmOpenService(manager, TunnelServiceName(), platform::kServiceQueryStatus, &service,
                                &error_code)) {
    *message = "tunnel service is gone before it reported running (error " + std::to_string(error_code) + ")";
    return false;
  }
  for (uint32_t waited = 0; waited < kTunnelStartBoundMs; waited += kTunnelPollMs) {
    if (*cancel) {
      *message = kConnectCancelledMessage;
      return false;
    }
    platform::ServiceStatus status;
    if (!platform::ScmQueryStatus(service, &status, &error_code)) {
      *message = "tunnel service status could not be read (error " + std::to_string(error_code) + ")";
      return false;
    }
    if (status.state == platform::kServiceRunning) return true;
    if (status.state == platform::kServiceStopped) {
      *message = StoppedMessage(status);
      return false;
    }
    platform::SleepMilliseconds(kTunnelPollMs);
  }
  *message = "tunnel service did not report running within " + std::to_string(kTunnelStartBoundMs / 1000) + " s";
  return false;
}

bool IsTunnelRunning() {
  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code)) return false;
  platform::ScHandle service;
  if (!platform::ScmOpenService(manager, TunnelServiceName(), platform::kServiceQueryStatus, &service,
                                &error_code)) {
    return false;
  }
  platform::ServiceStatus status;
  return platform::ScmQueryStatus(service, &status, &error_code) && status.state == platform::kServiceRunning;
}

}  // namespace quorvane
