#include "tunnel/tunnel_manager.h"

#include "common/safe_mode_settings.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "common/startup_record.h"
#include "tunnel/tunnel_libraries.h"

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

namespace {

void SetNote(std::string* note, const std::string& text) {
  if (note != nullptr) *note = text;
}

// Polls until |done| holds for the service's status or |bound_ms| passed;
// false when the status cannot be read.
template <typename Done>
bool PollStatus(const platform::ScHandle& service, uint32_t bound_ms, platform::ServiceStatus* status, Done done) {
  uint32_t error_code = 0;
  for (uint32_t waited = 0;; waited += kTunnelPollMs) {
    if (!platform::ScmQueryStatus(service, status, &error_code)) return false;
    if (done(*status) || waited >= bound_ms) return true;
    platform::SleepMilliseconds(kTunnelPollMs);
  }
}

bool Stopped(const platform::ServiceStatus& status) { return status.state == platform::kServiceStopped; }

// The last resort for a tunnel that will not stop: its process is ended, and
// the service manager reports it stopped once the process has gone.
bool EndServiceProcess(const platform::ScHandle& service, platform::ServiceStatus* status, const std::string& why,
                       std::string* note) {
  const uint32_t process_id = status->process_id;
  uint32_t error_code = 0;
  if (process_id == 0 || !platform::EndProcess(process_id, kTunnelProcessEndedExitCode, &error_code)) {
    SetNote(note, "the tunnel service " + why + ", and its process could not be ended (error " +
                      std::to_string(error_code) + ")");
    return false;
  }
  SetNote(note, "the tunnel service " + why + "; its process (id " + std::to_string(process_id) + ") was ended");
  return PollStatus(service, kTunnelStopBoundMs, status, Stopped) && Stopped(*status);
}

// The library accepts no control until it runs: a stop sent before then
// fails (1061), and the tunnel would come up afterwards, unguarded. So a
// tunnel still starting is waited for, then stopped. The state is looked at
// before the stop is sent, not inferred from its refusal: Wine does not
// refuse it.
bool StopOpenService(const platform::ScHandle& service, std::string* note) {
  platform::ServiceStatus status;
  const auto unreadable = [note] {
    SetNote(note, "the tunnel service's status could not be read");
    return false;
  };
  const auto left_start = [](const platform::ServiceStatus& s) { return s.state != platform::kServiceStartPending; };
  if (!PollStatus(service, kTunnelStartPendingStopBoundMs, &status, left_start)) return unreadable();
  if (status.state == platform::kServiceStartPending) {
    return EndServiceProcess(service, &status,
                             "was still starting after " + std::to_string(kTunnelStartPendingStopBoundMs / 1000) + " s",
                             note);
  }
  if (Stopped(status)) return true;
  uint32_t error_code = 0;
  platform::ScmControlStop(service, &status, &error_code);
  if (!PollStatus(service, kTunnelStopBoundMs, &status, Stopped)) return unreadable();
  return Stopped(status) ||
         EndServiceProcess(service, &status, "did not stop within " + std::to_string(kTunnelStopBoundMs / 1000) + " s",
                           note);
}

}  // namespace

bool TunnelManager::Stop(std::string* note) {
  CheckNetworkMutation(kMutationTunnelStop);
  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) {
    SetNote(note, "OpenSCManager failed (error " + std::to_string(error_code) + ")");
    return false;
  }
  platform::ScHandle service;
  const uint32_t access = platform::kServiceDelete | platform::kServiceStop | platform::kServiceQueryStatus;
  if (!platform::ScmOpenService(manager, TunnelServiceName(), access, &service, &error_code)) {
    if (error_code == platform::kErrorServiceDoesNotExist) return true;
    SetNote(note, "the tunnel service could not be opened (error " + std::to_string(error_code) + ")");
    return false;
  }
  const bool gone = StopOpenService(service, note);
  // Marked for deletion either way: it goes once it has stopped.
  platform::ScmDeleteService(service, &error_code);
  return gone;
}

bool TunnelManager::Start(const std::wstring& config_path, std::string* error) {
  CheckNetworkMutation(kMutationTunnelStart);
  NoteStartupTunnelStarted();
  std::string note;
  if (!Stop(&note)) {
    SetError(error, "the earlier tunnel service could not be stopped");
    if (error != nullptr) *error += ": " + note;
    return false;
  }

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

// The exit code, and either DLL of the library that is missing now: the
// service-specific codes alone cannot say which (the tunnel entry's 2 and 3
// are numbers the library may use for its own reasons).
std::string StoppedMessage(const platform::ServiceStatus& status) {
  std::string message = "tunnel service stopped before it reported running";
  if (status.win32_exit_code != 0) {
    message += " (exit code " + std::to_string(status.win32_exit_code);
    if (status.win32_exit_code == platform::kErrorServiceSpecificError) {
      message += ", service-specific exit code " + std::to_string(status.service_specific_exit_code);
    }
    message += ")";
  }
  std::string missing;
  if (!TunnelLibraryFound(&missing)) message += "; " + missing;
  return message + MissingDriverLibraryNote();
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
  const uint32_t bound_ms = TunnelStartBoundMs(kTunnelStartBoundMs);
  for (uint32_t waited = 0; waited < bound_ms; waited += kTunnelPollMs) {
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
  *message = "tunnel service did not report running within " + std::to_string(bound_ms / 1000) + " s";
  return false;
}

namespace {

// The tunnel service's state read with connect and query rights only;
// kServiceStopped when it does not exist, 0 when it cannot be read.
uint32_t TunnelState() {
  platform::ScHandle manager;
  uint32_t error_code = 0;
  if (!platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code)) return 0;
  platform::ScHandle service;
  if (!platform::ScmOpenService(manager, TunnelServiceName(), platform::kServiceQueryStatus, &service,
                                &error_code)) {
    return error_code == platform::kErrorServiceDoesNotExist ? platform::kServiceStopped : 0;
  }
  platform::ServiceStatus status;
  return platform::ScmQueryStatus(service, &status, &error_code) ? status.state : 0;
}

}  // namespace

bool TunnelServiceGone() { return TunnelState() == platform::kServiceStopped; }

bool IsTunnelRunning() { return TunnelState() == platform::kServiceRunning; }

}  // namespace quorvane
