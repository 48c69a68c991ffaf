#include "tunnel/tunnel_manager.h"

#include <algorithm>

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

std::string WithCode(const char* text, uint32_t error_code) {
  return std::string(text) + " (error " + std::to_string(error_code) + ")";
}

// Whether the tunnel service is gone, waiting a little for one whose deletion
// is pending (it goes when the last handle to it closes).
bool WaitUntilGone(const platform::ScHandle& manager, const std::wstring& name) {
  const uint64_t deadline = platform::SteadyMilliseconds() + kTunnelDeleteBoundMs;
  for (;;) {
    platform::ScHandle service;
    uint32_t error_code = 0;
    if (!platform::ScmOpenService(manager, name, platform::kServiceQueryStatus, &service, &error_code)) {
      return error_code == platform::kErrorServiceDoesNotExist;
    }
    if (platform::SteadyMilliseconds() >= deadline) return false;
    service.Reset();
    platform::SleepMilliseconds(kTunnelDeleteLookMs);
  }
}

}  // namespace

std::wstring TunnelServiceName() { return L"QuorvaneVpnTunnel$Active"; }

namespace {

void SetNote(std::string* note, const std::string& text) {
  if (note != nullptr) *note = text;
}

// Waits until |done| holds for the service's status, |bound_ms| at most, by
// the manager's notifications; where the system refuses them (or the service
// is being deleted, which ends notifications), by a look every second. With
// |cancel|, also until it is set, which is looked at every kCancelLookMs.
// False, with |error_code| when given, when the status cannot be read.
template <typename Done>
bool WaitForStatus(const platform::ScHandle& service, uint32_t bound_ms, const std::atomic<bool>* cancel,
                   platform::ServiceStatus* status, Done done, uint32_t* query_error = nullptr) {
  uint32_t ignored = 0;
  uint32_t& error_code = query_error != nullptr ? *query_error : ignored;
  if (!platform::ScmQueryStatus(service, status, &error_code)) return false;
  const uint64_t deadline = platform::SteadyMilliseconds() + bound_ms;
  while (!done(*status) && (cancel == nullptr || !*cancel)) {
    const uint64_t now = platform::SteadyMilliseconds();
    if (now >= deadline) return true;
    uint32_t slice = static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 0xFFFFFFF0u));
    if (cancel != nullptr) slice = std::min(slice, kCancelLookMs);
    platform::ServiceStatus changed;
    if (platform::ScmWaitStatusChange(service, status->state, slice, nullptr, &changed, &error_code)) {
      *status = changed;
      continue;
    }
    if (error_code == platform::kErrorTimeout) continue;
    platform::SleepMilliseconds(std::min(slice, kStatusLookMs));
    if (!platform::ScmQueryStatus(service, status, &error_code)) return false;
  }
  return true;
}

bool Stopped(const platform::ServiceStatus& status) { return status.state == platform::kServiceStopped; }

// The last resort for a tunnel that will not stop: its process is ended, and
// the service manager reports it stopped once the process has gone. The
// process is opened first, and ended only while the service still reports
// running in it: an id from an earlier query may belong to another process by
// now, and this one runs as the system account.
bool EndServiceProcess(const platform::ScHandle& service, platform::ServiceStatus* status, const std::string& why,
                       std::string* note) {
  const uint32_t process_id = status->process_id;
  uint32_t error_code = 0;
  platform::ProcessHandle process;
  const bool opened = process_id != 0 && platform::OpenProcessToEnd(process_id, &process, &error_code);
  platform::ServiceStatus now;
  uint32_t query_error = 0;
  if (!platform::ScmQueryStatus(service, &now, &query_error)) {
    SetNote(note, "the tunnel service " + why + ", and its status could not be read again (error " +
                      std::to_string(query_error) + "); nothing was ended");
    return false;
  }
  *status = now;
  if (Stopped(now)) return true;
  if (now.process_id != process_id) {
    SetNote(note, "the tunnel service " + why + ", and its process changed (id " + std::to_string(process_id) +
                      " to " + std::to_string(now.process_id) + ") before it could be ended; nothing was ended");
    return false;
  }
  if (!opened || !platform::EndOpenProcess(process, kTunnelProcessEndedExitCode, &error_code)) {
    SetNote(note, "the tunnel service " + why + ", and its process could not be ended (error " +
                      std::to_string(error_code) + ")");
    return false;
  }
  platform::WaitForProcessEnd(process, kTunnelStopBoundMs);
  SetNote(note, "the tunnel service " + why + "; its process (id " + std::to_string(process_id) + ") was ended");
  return WaitForStatus(service, kTunnelStopBoundMs, nullptr, status, Stopped) && Stopped(*status);
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
  if (!WaitForStatus(service, kTunnelStartPendingStopBoundMs, nullptr, &status, left_start)) return unreadable();
  if (status.state == platform::kServiceStartPending) {
    return EndServiceProcess(service, &status,
                             "was still starting after " + std::to_string(kTunnelStartPendingStopBoundMs / 1000) + " s",
                             note);
  }
  if (Stopped(status)) return true;
  uint32_t error_code = 0;
  platform::ScmControlStop(service, &status, &error_code);
  if (!WaitForStatus(service, kTunnelStopBoundMs, nullptr, &status, Stopped)) return unreadable();
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

namespace {

// Creates the tunnel service anew, or re-points one whose deletion has not
// gone through yet; false with the error text.
bool CreateOrRepoint(const platform::ScHandle& manager, const platform::ServiceRegistration& registration,
                     platform::ScHandle* service, std::string* error) {
  uint32_t error_code = 0;
  if (!WaitUntilGone(manager, registration.name)) {
    // Still there after the stop: re-pointed when it can be, which Windows
    // refuses while its deletion is pending.
    platform::ScmOpenService(manager, registration.name, platform::kServiceAllAccess, service, &error_code);
    if (platform::ScmChangeBinaryPath(*service, registration.binary_path, &error_code)) return true;
    if (error_code == platform::kErrorServiceMarkedForDelete) {
      SetError(error, "tunnel service is still marked for deletion (error 1072): it has not stopped, or another "
                      "program such as the Services console holds it open");
    } else {
      *error = WithCode("ChangeServiceConfig tunnel failed", error_code);
    }
    return false;
  }
  if (!platform::ScmCreateService(manager, registration, platform::kServiceAllAccess, service, &error_code)) {
    *error = WithCode("CreateService tunnel failed", error_code);
    return false;
  }
  platform::ScmSetServiceSidType(*service, platform::kServiceSidTypeUnrestricted, &error_code);
  return true;
}

}  // namespace

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
    SetError(error, WithCode("OpenSCManager failed", error_code).c_str());
    return false;
  }
  const platform::ServiceRegistration registration = TunnelRegistration(config_path);
  std::string failure;
  // A service re-pointed while its deletion was still under way cannot start
  // (1072): once it has gone, it is made anew, once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    platform::ScHandle service;
    if (!CreateOrRepoint(manager, registration, &service, &failure)) break;
    if (platform::ScmStartService(service, &error_code) || error_code == platform::kErrorServiceAlreadyRunning) {
      return true;
    }
    failure = WithCode("StartService tunnel failed", error_code);
    if (error_code != platform::kErrorServiceMarkedForDelete) break;
  }
  SetError(error, failure.c_str());
  return false;
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
  platform::ServiceStatus status;
  const auto settled = [](const platform::ServiceStatus& s) {
    return s.state == platform::kServiceRunning || s.state == platform::kServiceStopped;
  };
  if (*cancel) {
    *message = kConnectCancelledMessage;
    return false;
  }
  if (!WaitForStatus(service, bound_ms, cancel, &status, settled, &error_code)) {
    *message = "tunnel service status could not be read (error " + std::to_string(error_code) + ")";
    return false;
  }
  if (status.state == platform::kServiceRunning) return true;
  if (status.state == platform::kServiceStopped) {
    *message = StoppedMessage(status);
  } else if (*cancel) {
    *message = kConnectCancelledMessage;
  } else {
    *message = "tunnel service did not report running within " + std::to_string(bound_ms / 1000) + " s";
  }
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
