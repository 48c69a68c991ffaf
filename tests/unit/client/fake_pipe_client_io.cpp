#include "fake_pipe_client_io.h"

#include <atomic>
#include <thread>
#include <chrono>
#include <mutex>

#include "pipe_client_io.h"
#include "platform/fake/fake_windows.h"

namespace quorvane_windows_vpn::pipe_io {
namespace {

// A wait that no instance ended counts in full on the client's clock, so that
// the 10 s bound passes in a moment of the test's time.
constexpr uint32_t kRealWaitMs = 1000;

std::mutex g_lock;
platform::PipeCaller g_user = platform::fake::SystemCaller();
std::atomic<int> g_waits{0};
std::atomic<uint64_t> g_clock_ms{0};

platform::PipeCaller User() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_user;
}

}  // namespace

void SetFakeClientUser(const platform::PipeCaller& user) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_user = user;
  g_waits = 0;
}

int FakeClientWaits() { return g_waits; }

OpenResult OpenPipe(const wchar_t* name, PipeEnd* pipe) {
  uint32_t error_code = 0;
  const uint64_t client = platform::fake::ConnectPipeClientAs(name, User(), platform::fake::kPipeClientAccess,
                                                              &error_code);
  if (client != 0) {
    *pipe = static_cast<PipeEnd>(client);
    return OpenResult::kOpened;
  }
  switch (error_code) {
    case platform::kErrorPipeBusy: return OpenResult::kBusy;
    case platform::kErrorFileNotFound: return OpenResult::kMissing;
    case platform::fake::kErrorAccessDenied: return OpenResult::kAccessDenied;
    default: return OpenResult::kFailed;
  }
}

void WaitForPipe(const wchar_t* name, uint32_t timeout_ms) {
  ++g_waits;
  uint32_t error_code = 0;
  const auto began = std::chrono::steady_clock::now();
  const bool free = platform::fake::WaitForPipeInstance(name, kRealWaitMs, &error_code);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
  g_clock_ms += free ? static_cast<uint64_t>(took.count()) : timeout_ms;
}

bool OwnedByTheService(PipeEnd pipe) {
  const std::wstring owner = platform::fake::ClientPipeOwner(pipe);
  return owner == L"S-1-5-18" || owner == L"S-1-5-32-544";
}

// The fake's every process is this test's.
bool ServerProcess(PipeEnd, uint32_t* process_id, std::string* program) {
  *process_id = platform::fake::kFakeClientProcessId;
  *program = "unit_client";
  return true;
}

void SetMessageMode(PipeEnd) {}

bool WriteRequest(PipeEnd pipe, const std::string& request) { return platform::fake::WritePipeClient(pipe, request); }

bool ReadReply(PipeEnd pipe, size_t max_bytes, std::string* reply) {
  return platform::fake::ReadPipeClient(pipe, 30000, reply) && reply->size() <= max_bytes;
}

void ClosePipe(PipeEnd pipe) { platform::fake::ClosePipeClient(pipe); }

uint64_t MonotonicMs() { return g_clock_ms; }

// The clients' clock moves on by the pause; a real millisecond lets the server's threads run.
void Pause(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  g_clock_ms += ms;
}

}  // namespace quorvane_windows_vpn::pipe_io
