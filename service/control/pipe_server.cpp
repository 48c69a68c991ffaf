#include "control/pipe_server.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>
#include <vector>

#include "common/remote_sessions.h"
#include "common/service_log.h"
#include "control/request_handler.h"
#include "platform/pipes.h"
#include "platform/process.h"
#include "platform/sessions.h"
#include "host/startup_record.h"

namespace quorvane {
namespace {

constexpr uint32_t kCreateRetryMs = 500;
constexpr uint32_t kWakeRetryMs = 20;
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

// System and administrators always; the users at the machine, each once: the
// console's and those of active Remote Desktop sessions, where this process
// may read their tokens (it runs as the system account).
std::vector<platform::AccessGrant> ServerGrants() {
  std::vector<platform::AccessGrant> grants = {
      {kSystemSid, platform::kGenericAll, 0},
      {kAdministratorsSid, platform::kGenericAll, 0},
  };
  std::vector<uint32_t> sessions = ActiveRdpSessions();
  const uint32_t console = platform::ActiveConsoleSessionId();
  if (console != platform::kNoConsoleSession) sessions.insert(sessions.begin(), console);
  for (const uint32_t session : sessions) {
    std::wstring user;
    uint32_t error_code = 0;
    if (!platform::SessionUserSid(session, &user, &error_code)) continue;
    const bool listed = std::any_of(grants.begin(), grants.end(),
                                    [&user](const platform::AccessGrant& grant) { return grant.trustee_sid == user; });
    if (!listed) grants.push_back({user, platform::kGenericReadWriteSynchronize, 0});
  }
  return grants;
}

bool SameGrants(const std::vector<platform::AccessGrant>& a, const std::vector<platform::AccessGrant>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.trustee_sid == y.trustee_sid && x.access_mask == y.access_mask && x.inheritance == y.inheritance;
  });
}

// The pipe's security. Its explicit owner is what tells the clients that the
// pipe is the service's: the system account, or Administrators when this
// process may not give the system account as owner (console mode run by an
// administrator).
struct ServerSecurity {
  std::vector<platform::AccessGrant> grants = ServerGrants();
  std::wstring owner = kSystemSid;
  platform::PipeSecurity descriptor;

  void Build() {
    uint32_t error_code = 0;
    descriptor.Reset();
    // Without it the pipe gets the default security of the service's account.
    platform::BuildPipeSecurity(grants, owner, &descriptor, &error_code);
  }

  // A user who logged on, switched or connected over Remote Desktop since the
  // last look is served without a restart: the kept instance gets the new list.
  void Refresh(const platform::PipeHandle& pipe) {
    std::vector<platform::AccessGrant> now = ServerGrants();
    if (SameGrants(now, grants)) return;
    grants = std::move(now);
    Build();
    uint32_t error_code = 0;
    if (descriptor.valid()) platform::ApplyPipeSecurity(pipe, descriptor, &error_code);
  }
};

// One instance for the life of the server: made with the first-instance flag,
// so that a pipe of the same name that another process made is never joined,
// and refusing remote clients.
bool CreateServerInstance(ServerSecurity* security, platform::PipeHandle* pipe, uint32_t* error_code) {
  platform::PipeInstanceOptions options;
  // Overlapped, so that the wait for a request can end on time.
  options.open_mode = platform::kPipeAccessDuplex | platform::kFileFlagOverlapped |
                      platform::kFileFlagFirstPipeInstance | platform::kWriteDac;
  options.pipe_mode = platform::kPipeTypeMessage | platform::kPipeReadModeMessage | platform::kPipeRejectRemoteClients;
  if (platform::CreatePipeInstance(kPipeName, options, &security->descriptor, pipe, error_code)) return true;
  if (*error_code != platform::kErrorInvalidOwner || security->owner == kAdministratorsSid) return false;
  security->owner = kAdministratorsSid;
  security->Build();
  return platform::CreatePipeInstance(kPipeName, options, &security->descriptor, pipe, error_code);
}

// The request's op as a log may show it: lower-case letters and "_" only.
std::string LoggableOp(const std::string& request) {
  const std::string op = ReadJsonString(request, "op");
  if (op.empty() || op.size() > 32) return op.empty() ? "(none)" : "(invalid)";
  for (char c : op) {
    if (!((c >= 'a' && c <= 'z') || c == '_')) return "(invalid)";
  }
  return op;
}

// One line a request: what was asked, by which process, what came of it and
// how long it took. Never the request's values: they hold the keys.
void LogRequest(const platform::PipeHandle& pipe, const std::string& request, const std::string& reply,
                std::chrono::steady_clock::duration took) {
  uint32_t client = 0;
  uint32_t error_code = 0;
  platform::PipeClientProcessId(pipe, &client, &error_code);
  const bool ok = reply.rfind("{\"ok\":true", 0) == 0;
  std::string line = "[Quorvane] request op=" + LoggableOp(request) + " client_pid=" + std::to_string(client) +
                     " ok=" + (ok ? "true" : "false");
  if (!ok) {
    line += " error=" + ReadJsonString(reply, "error");
    const std::string message = ReadJsonString(reply, "message");
    if (!message.empty()) line += " message=\"" + message + "\"";
  }
  line += " ms=" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
  LogLine(line);
}

// Serves one client on the kept instance. False when the instance is no
// longer fit to wait for the next client.
bool ServeOneClient(ControlState* state, const platform::PipeHandle& pipe) {
  uint32_t error_code = 0;
  if (!platform::WaitForPipeClient(pipe, &error_code) && error_code != platform::kErrorPipeConnected) {
    // A client that came and went before the wait: disconnect it to wait again.
    return platform::DisconnectPipe(pipe, &error_code);
  }

  // A request longer than the limit is cut to its first kMaxRequestBytes and
  // served; a client that sends nothing in time loses its turn.
  std::string data;
  const bool read = platform::ReadPipeMessage(pipe, kMaxRequestBytes, kRequestWaitMs, &data, &error_code) ||
                    error_code == platform::kErrorMoreData;
  if (read && !data.empty()) {
    const auto began = std::chrono::steady_clock::now();
    const std::string request = RequestTextFromBytes(data.data(), data.size());
    const std::string reply = HandleRequest(state, request);
    LogRequest(pipe, request, reply, std::chrono::steady_clock::now() - began);
    if (platform::WritePipeMessage(pipe, reply, &error_code)) {
      platform::WaitForPipeClientDone(pipe, kReplyWaitMs, &error_code);
    }
  }
  return platform::DisconnectPipe(pipe, &error_code);
}

// Said once when the pipe cannot be made (another process may hold the name)
// and once when it can again, not every half second in between.
void ReportCreation(bool created, uint32_t error_code, bool* failing) {
  if (created == !*failing) return;
  *failing = !created;
  Diagnose(created ? L"[Quorvane] pipe server: \\\\.\\pipe\\QuorvaneVpn created\n"
                                : L"[Quorvane] pipe server: cannot create \\\\.\\pipe\\QuorvaneVpn (error " +
                                      std::to_wstring(error_code) +
                                      L"; another process may hold the name); retrying every 500 ms\n");
}

void ServerLoop(ControlState* state) {
  ServerSecurity security;
  security.Build();
  platform::PipeHandle pipe;
  bool creation_failing = false;
  while (state->server_running) {
    // Running out of memory for one client costs that client its reply (its
    // instance is closed and made anew), not the server its thread.
    try {
      if (!pipe.valid()) {
        uint32_t error_code = 0;
        const bool created = CreateServerInstance(&security, &pipe, &error_code);
        ReportCreation(created, error_code, &creation_failing);
        if (!created) {
          platform::SleepMilliseconds(kCreateRetryMs);
          continue;
        }
      }
      security.Refresh(pipe);
      if (!ServeOneClient(state, pipe)) pipe.Reset();
    } catch (const std::exception&) {
      pipe.Reset();
    }
  }
  state->server_finished = true;
}

void StopTunnelOfStoppingService(ControlState* state) {
  std::lock_guard<std::mutex> work(state->work_lock);
  TearDownTunnel();
  SetPhase(state, kPhaseDisconnected, "");
}

}  // namespace

bool StartPipeServer(ControlState* state, std::string* error) {
  if (state->server_running.exchange(true)) return true;
  state->server_finished = false;
  try {
    state->server_thread = std::thread(ServerLoop, state);
  } catch (const std::system_error& failure) {
    state->server_running = false;
    *error = failure.what();
    return false;
  }
  return true;
}

void StopPipeServer(ControlState* state) {
  // The automatic stop is a promise that the tunnel ends: a control service
  // that stops before it fired takes the tunnel down itself.
  const bool stop_tunnel = state->auto_stop_pending;
  CancelAutoStop(state);
  if (!state->server_running.exchange(false)) {
    if (stop_tunnel) StopTunnelOfStoppingService(state);
    return;
  }
  MarkShuttingDown();
  // The server may sit in its wait for a client, or be about to make its next
  // instance: knock until the thread has seen the cleared flag.
  while (!state->server_finished) {
    uint32_t error_code = 0;
    platform::OpenAndClosePipe(kPipeName, &error_code);
    if (!state->server_finished) platform::SleepMilliseconds(kWakeRetryMs);
  }
  if (state->server_thread.joinable()) state->server_thread.join();
  if (stop_tunnel) StopTunnelOfStoppingService(state);
}

}  // namespace quorvane
