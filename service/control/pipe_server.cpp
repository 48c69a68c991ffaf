#include "control/pipe_server.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "common/remote_sessions.h"
#include "common/service_log.h"
#include "common/startup_record.h"
#include "control/request_handler.h"
#include "control/request_log.h"
#include "control/tunnel_owner_store.h"
#include "control/tunnel_supervisor.h"
#include "platform/pipes.h"
#include "platform/process.h"
#include "platform/sessions.h"

namespace quorvane {
namespace {

constexpr uint32_t kCreateRetryMs = 500;
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";

bool SameGrants(const std::vector<platform::AccessGrant>& a, const std::vector<platform::AccessGrant>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.trustee_sid == y.trustee_sid && x.access_mask == y.access_mask && x.inheritance == y.inheritance;
  });
}

// The two pipes: the users' one, with the access list that follows the
// logons, and the administrators' one.
struct PipeKind {
  const wchar_t* name;
  uint32_t instances;
  bool admin;
};
constexpr PipeKind kUsersPipe{kPipeName, kPipeInstances, false};
constexpr PipeKind kAdministratorsPipe{kAdminPipeName, kAdminPipeInstances, true};

std::vector<platform::AccessGrant> AdministratorGrants() {
  return {{kSystemSid, platform::kGenericAll, 0}, {kAdministratorsSid, platform::kGenericAll, 0}};
}

// With the server's lock held. Without a descriptor the pipe gets the default
// security of the service's account.
void BuildSecurity(PipeServerState* server) {
  uint32_t error_code = 0;
  server->security.Reset();
  platform::BuildPipeSecurity(server->grants, server->owner, &server->security, &error_code);
  server->admin_security.Reset();
  platform::BuildPipeSecurity(AdministratorGrants(), server->owner, &server->admin_security, &error_code);
}

// One more instance, with the server's lock held. The first (none of ours
// lives) is made with the first-instance flag, so that a pipe of the same name
// that another process made is never joined; the others join the first and
// its descriptor. The explicit owner is what tells the clients that the pipe
// is the service's: the system account, or Administrators when this process
// may not give the system account (console mode run by an administrator).
bool CreateServerInstance(PipeServerState* server, const PipeKind& kind, platform::PipeHandle* pipe,
                          uint32_t* error_code) {
  platform::PipeInstanceOptions options;
  // Overlapped, so that the waits can end on time and on the stop event.
  options.open_mode = platform::kPipeAccessDuplex | platform::kFileFlagOverlapped | platform::kWriteDac;
  if (kind.admin ? server->admin_instances == 0 : server->instances.empty()) {
    options.open_mode |= platform::kFileFlagFirstPipeInstance;
  }
  options.pipe_mode = platform::kPipeTypeMessage | platform::kPipeReadModeMessage | platform::kPipeRejectRemoteClients;
  options.max_instances = kind.instances;
  const auto create = [&] {
    return platform::CreatePipeInstance(kind.name, options, kind.admin ? &server->admin_security : &server->security,
                                        pipe, error_code);
  };
  if (create()) return true;
  if (*error_code != platform::kErrorInvalidOwner || server->owner == kAdministratorsSid) return false;
  server->owner = kAdministratorsSid;
  BuildSecurity(server);
  return create();
}

// Said once when the pipe cannot be made (another process may hold the name)
// and once when it can again, not every half second in between.
void ReportCreation(PipeServerState* server, bool created, uint32_t error_code) {
  if (created == !server->creation_failing) return;
  server->creation_failing = !created;
  Diagnose(created ? L"[Quorvane] pipe server: \\\\.\\pipe\\QuorvaneVpn created\n"
                   : L"[Quorvane] pipe server: cannot create \\\\.\\pipe\\QuorvaneVpn (error " +
                         std::to_wstring(error_code) + L"; another process may hold the name); retrying every 500 ms\n");
}

bool MakeInstance(PipeServerState* server, const PipeKind& kind, platform::PipeHandle* pipe) {
  std::lock_guard<std::mutex> guard(server->lock);
  uint32_t error_code = 0;
  const bool created = CreateServerInstance(server, kind, pipe, &error_code);
  if (kind.admin) {
    server->admin_instances += created ? 1 : 0;
    return created;
  }
  ReportCreation(server, created || !server->instances.empty(), error_code);
  if (created) server->instances.push_back(pipe);
  return created;
}

// Closed under the lock, so that a new access list is never applied to a
// handle that has gone.
void DropInstance(PipeServerState* server, const PipeKind& kind, platform::PipeHandle* pipe) {
  std::lock_guard<std::mutex> guard(server->lock);
  if (kind.admin && pipe->valid()) --server->admin_instances;
  server->instances.erase(std::remove(server->instances.begin(), server->instances.end(), pipe),
                          server->instances.end());
  pipe->Reset();
}

Caller ReadCaller(const platform::PipeHandle& pipe) {
  Caller caller;
  uint32_t error_code = 0;
  caller.identified = platform::ReadPipeCaller(pipe, &caller, &error_code) && !caller.user_sid.empty();
  return caller;
}

// A client that sent nothing in time: counted, and said at most once a
// kIdleDropLogSeconds with the count since the last line.
void NoteIdleDrop(PipeServerState* server) {
  std::lock_guard<std::mutex> guard(server->lock);
  ++server->idle_drops;
  const int64_t now = platform::UnixTimeSeconds();
  if (now - server->idle_drop_said < kIdleDropLogSeconds) return;
  Diagnose(L"[Quorvane] pipe server: " + std::to_wstring(server->idle_drops) +
           L" client(s) sent nothing within 1 s and lost their instance\n");
  server->idle_drops = 0;
  server->idle_drop_said = now;
}

// A place among the instances for the client's session; false when its
// session holds its share already. Session 0 is the services' own (and the
// session of a client whose session cannot be read): never limited.
bool TakeSessionPlace(PipeServerState* server, const platform::PipeHandle& pipe, uint32_t* session) {
  uint32_t error_code = 0;
  if (!platform::PipeClientSessionId(pipe, session, &error_code)) *session = 0;
  std::lock_guard<std::mutex> guard(server->lock);
  int& held = server->session_holders[*session];
  if (*session != 0 && held >= kSessionShare) return false;
  ++held;
  return true;
}

// Given back on every path out of the exchange.
struct SessionPlace {
  PipeServerState* server;
  uint32_t session;
  ~SessionPlace() {
    std::lock_guard<std::mutex> guard(server->lock);
    if (--server->session_holders[session] <= 0) server->session_holders.erase(session);
  }
};

// Writes the reply (bounded, and ended by the stop) and gives the client its
// time to take it.
void Answer(ControlState* state, const platform::PipeHandle& pipe, const std::string& reply, uint32_t wait_ms) {
  uint32_t error_code = 0;
  if (platform::WritePipeMessage(pipe, reply, wait_ms, &state->server.stop, &error_code)) {
    platform::WaitForPipeClientDone(pipe, wait_ms, &error_code);
  }
}

void ServeRequest(ControlState* state, const platform::PipeHandle& pipe, bool admin_pipe) {
  // A request longer than the limit is cut to its first kMaxRequestBytes and
  // served; a client that sends nothing in time loses its turn.
  std::string data;
  uint32_t error_code = 0;
  const bool read = platform::ReadPipeMessage(pipe, kMaxRequestBytes, kRequestWaitMs, &data, &error_code) ||
                    error_code == platform::kErrorMoreData;
  if (!read && error_code == platform::kErrorTimeout) NoteIdleDrop(&state->server);
  if (!read || data.empty()) return;
  const auto began = std::chrono::steady_clock::now();
  const std::string request = RequestTextFromBytes(data.data(), data.size());
  // On the administrators' pipe the caller is always read: who reads the
  // reports in full is decided by the token, not by the pipe alone.
  const Caller caller = admin_pipe || RequestNeedsCaller(request) ? ReadCaller(pipe) : Caller();
  const std::string reply = HandleRequest(state, caller, request);
  uint32_t client_pid = 0;
  platform::PipeClientProcessId(pipe, &client_pid, &error_code);
  LogRequest(caller, client_pid, request, reply, std::chrono::steady_clock::now() - began);
  Answer(state, pipe, reply, kReplyWaitMs);
}

// Serves one client on a kept instance. False when the instance is no longer
// fit to wait for the next client.
bool ServeOneClient(ControlState* state, const PipeKind& kind, const platform::PipeHandle& pipe) {
  uint32_t error_code = 0;
  if (!platform::WaitForPipeClient(pipe, state->server.stop, &error_code) &&
      error_code != platform::kErrorPipeConnected) {
    if (error_code == platform::kErrorOperationAborted) return true;  // the server stops
    // A client that came and went before the wait: disconnect it to wait again.
    return platform::DisconnectPipe(pipe, &error_code);
  }
  uint32_t session = 0;
  if (kind.admin) {
    ServeRequest(state, pipe, true);
  } else if (TakeSessionPlace(&state->server, pipe, &session)) {
    const SessionPlace place{&state->server, session};
    ServeRequest(state, pipe, false);
  } else {
    Answer(state, pipe, kSessionShareBusy, kBusyReplyWaitMs);
  }
  return platform::DisconnectPipe(pipe, &error_code);
}

// One instance's life: made, kept and listening again after each exchange;
// made anew only when it breaks.
void InstanceLoop(ControlState* state, const PipeKind* kind) {
  PipeServerState& server = state->server;
  platform::PipeHandle pipe;
  while (server.running) {
    // Running out of memory for one client costs that client its reply (its
    // instance is closed and made anew), not the server a thread.
    try {
      if (!pipe.valid() && !MakeInstance(&server, *kind, &pipe)) {
        platform::WaitForStopEvent(server.stop, kCreateRetryMs);
        continue;
      }
      if (!ServeOneClient(state, *kind, pipe)) DropInstance(&server, *kind, &pipe);
    } catch (...) {
      DropInstance(&server, *kind, &pipe);
    }
  }
  DropInstance(&server, *kind, &pipe);
}

void JoinServerThreads(PipeServerState* server) {
  for (std::thread& thread : server->threads) {
    if (thread.joinable()) thread.join();
  }
  server->threads.clear();
}

void StopTunnelOfStoppingService(ControlState* state) {
  std::lock_guard<std::mutex> work(state->work_lock);
  TearDownAndForget(state, "control service stop");
}

}  // namespace

// System and administrators always; the users at the machine, each once: the
// console's and those of active Remote Desktop sessions, where this process
// may read their tokens (it runs as the system account).
std::vector<platform::AccessGrant> PipeServerGrants() {
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
    if (!listed) grants.push_back({user, platform::kPipeUserAccess, 0});
  }
  return grants;
}

void RefreshPipeAccess(ControlState* state) {
  PipeServerState& server = state->server;
  std::vector<platform::AccessGrant> now = PipeServerGrants();
  std::lock_guard<std::mutex> guard(server.lock);
  if (SameGrants(now, server.grants)) return;
  server.grants = std::move(now);
  BuildSecurity(&server);
  if (!server.security.valid()) return;
  // Every instance shares the pipe's one descriptor: one that takes it is enough.
  for (const platform::PipeHandle* instance : server.instances) {
    uint32_t error_code = 0;
    if (platform::ApplyPipeSecurity(*instance, server.security, &error_code)) break;
  }
}

bool StartPipeServer(ControlState* state, std::string* error) {
  PipeServerState& server = state->server;
  if (server.running.exchange(true)) return true;
  uint32_t error_code = 0;
  if (!platform::CreateStopEvent(&server.stop, &error_code)) {
    server.running = false;
    *error = "stop event could not be made (error " + std::to_string(error_code) + ")";
    return false;
  }
  RestoreTunnelOwner(state);
  {
    std::lock_guard<std::mutex> guard(state->state_lock);
    state->watches_ending = false;
    state->changes_refused = false;
  }
  {
    std::lock_guard<std::mutex> guard(server.lock);
    server.grants = PipeServerGrants();
    server.owner = kSystemSid;
    server.creation_failing = false;
    server.admin_instances = 0;
    BuildSecurity(&server);
  }
  if (!StartSupervisor(state)) {
    server.running = false;
    *error = "the tunnel's watcher could not be started";
    return false;
  }
  try {
    for (const PipeKind* kind : {&kUsersPipe, &kAdministratorsPipe}) {
      for (uint32_t i = 0; i < kind->instances; ++i) server.threads.emplace_back(InstanceLoop, state, kind);
    }
  } catch (const std::system_error& failure) {
    server.running = false;
    platform::SignalStopEvent(server.stop);
    JoinServerThreads(&server);
    StopSupervisor(state);
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
  PipeServerState& server = state->server;
  if (server.running.exchange(false)) {
    MarkShuttingDown();
    // The waits end on the event: nobody knocks on a pipe that another
    // process may hold by then.
    platform::SignalStopEvent(server.stop);
    {
      std::lock_guard<std::mutex> guard(state->state_lock);
      state->watches_ending = true;
      state->changes_refused = true;
      state->changed.notify_all();
    }
    JoinServerThreads(&server);
    FlushCountedRequests();
    StopSupervisor(state);
    server.stop.Reset();
  }
  if (stop_tunnel) StopTunnelOfStoppingService(state);
}

}  // namespace quorvane
