#include "control/pipe_server.h"

#include <exception>
#include <system_error>
#include <vector>

#include "control/request_handler.h"
#include "platform/pipes.h"
#include "platform/process.h"
#include "platform/sessions.h"
#include "startup_record.h"

namespace quorvane {
namespace {

constexpr uint32_t kCreateRetryMs = 500;
constexpr uint32_t kWakeRetryMs = 20;

// System and administrators always; the user at the console when there is one
// and this process may read that user's token (it runs as the system account).
platform::PipeSecurity BuildServerSecurity() {
  std::vector<platform::AccessGrant> grants = {
      {L"S-1-5-18", platform::kGenericAll, 0},
      {L"S-1-5-32-544", platform::kGenericAll, 0},
  };
  const uint32_t console = platform::ActiveConsoleSessionId();
  std::wstring user;
  uint32_t error_code = 0;
  if (console != platform::kNoConsoleSession && platform::SessionUserSid(console, &user, &error_code)) {
    grants.push_back({user, platform::kGenericReadWriteSynchronize, 0});
  }
  platform::PipeSecurity security;
  // Without it the pipe gets the default security of the service's account.
  platform::BuildPipeSecurity(grants, &security, &error_code);
  return security;
}

void ServeOneClient(ControlState* state, const platform::PipeSecurity& security) {
  // Overlapped, so that the wait for a request can end on time.
  platform::PipeInstanceOptions options;
  options.open_mode = platform::kPipeAccessDuplex | platform::kFileFlagOverlapped;
  platform::PipeHandle pipe;
  uint32_t error_code = 0;
  if (!platform::CreatePipeInstance(kPipeName, options, &security, &pipe, &error_code)) {
    platform::SleepMilliseconds(kCreateRetryMs);
    return;
  }
  if (!platform::WaitForPipeClient(pipe, &error_code) && error_code != platform::kErrorPipeConnected) return;

  // A request longer than the limit is cut to its first kMaxRequestBytes and
  // served; a client that sends nothing in time loses its turn.
  std::string data;
  const bool read = platform::ReadPipeMessage(pipe, kMaxRequestBytes, kRequestWaitMs, &data, &error_code) ||
                    error_code == platform::kErrorMoreData;
  if (read && !data.empty()) {
    const std::string reply = HandleRequest(state, RequestTextFromBytes(data.data(), data.size()));
    platform::WritePipeMessage(pipe, reply, &error_code);
  }
  platform::FlushAndDisconnectPipe(pipe);
}

void ServerLoop(ControlState* state) {
  const platform::PipeSecurity security = BuildServerSecurity();
  while (state->server_running) {
    // Running out of memory for one client costs that client its reply (its
    // instance is closed on the way out), not the server its thread.
    try {
      ServeOneClient(state, security);
    } catch (const std::exception&) {
    }
  }
  state->server_finished = true;
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
  CancelAutoStop(state);
  if (!state->server_running.exchange(false)) return;
  MarkShuttingDown();
  // The server may sit in its wait for a client, or be about to make its next
  // instance: knock until the thread has seen the cleared flag.
  while (!state->server_finished) {
    uint32_t error_code = 0;
    platform::OpenAndClosePipe(kPipeName, &error_code);
    if (!state->server_finished) platform::SleepMilliseconds(kWakeRetryMs);
  }
  if (state->server_thread.joinable()) state->server_thread.join();
}

}  // namespace quorvane
