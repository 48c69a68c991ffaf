#include "pipe_client.h"

#include "pipe_client_io.h"
#include "request_texts.h"

namespace quorvane_windows_vpn {
namespace {

// Closes the client end on every path out.
class OpenPipeEnd {
 public:
  OpenPipeEnd() = default;
  OpenPipeEnd(const OpenPipeEnd&) = delete;
  OpenPipeEnd& operator=(const OpenPipeEnd&) = delete;
  ~OpenPipeEnd() {
    if (pipe_ != 0) pipe_io::ClosePipe(pipe_);
  }
  pipe_io::PipeEnd* receive() { return &pipe_; }
  pipe_io::PipeEnd get() const { return pipe_; }

 private:
  pipe_io::PipeEnd pipe_ = 0;
};

// A busy pipe is a service at work: wait for an instance and open again,
// within the bound. Only a missing name means the service is not there.
const char* Open(const wchar_t* pipe_name, OpenPipeEnd* pipe) {
  const uint64_t deadline = pipe_io::MonotonicMs() + kPipeBusyBoundMs;
  for (;;) {
    switch (pipe_io::OpenPipe(pipe_name, pipe->receive())) {
      case pipe_io::OpenResult::kOpened: return nullptr;
      case pipe_io::OpenResult::kAccessDenied: return kPipeAccessDeniedReply;
      case pipe_io::OpenResult::kBusy: break;
      default: return kPipeUnavailableReply;
    }
    const uint64_t now = pipe_io::MonotonicMs();
    if (now >= deadline) return kPipeBusyReply;
    pipe_io::WaitForPipe(pipe_name, static_cast<uint32_t>(deadline - now));
  }
}

}  // namespace

namespace {

// Who holds the name instead of the service, so that an administrator can
// find it: "held by process 1234 (name.exe)".
std::string UntrustedReply(pipe_io::PipeEnd pipe) {
  uint32_t process_id = 0;
  std::string program;
  if (!pipe_io::ServerProcess(pipe, &process_id, &program)) return kPipeServerUntrustedReply;
  std::string message = "held by process " + std::to_string(process_id);
  if (!program.empty()) message += " (" + EscapeJsonText(program) + ")";
  return std::string(kPipeServerUntrustedReply, sizeof(kPipeServerUntrustedReply) - 2) + ",\"message\":\"" + message +
         "\"}";
}

std::string ExchangeOnce(const std::string& request, const wchar_t* pipe_name) {
  OpenPipeEnd pipe;
  if (const char* refused = Open(pipe_name, &pipe)) return refused;
  // Whoever else holds the name must not see the request (it carries the
  // private key) nor be believed.
  if (!pipe_io::OwnedByTheService(pipe.get())) return UntrustedReply(pipe.get());
  pipe_io::SetMessageMode(pipe.get());
  if (!pipe_io::WriteRequest(pipe.get(), request)) return kPipeWriteFailedReply;
  std::string reply;
  if (!pipe_io::ReadReply(pipe.get(), kMaxReplyBytes, &reply)) return kPipeReadFailedReply;
  return reply.substr(0, reply.find('\0'));
}

}  // namespace

std::string SendPipeRequest(const std::string& request, const wchar_t* pipe_name) {
  const uint64_t deadline = pipe_io::MonotonicMs() + kPipeBusyBoundMs;
  for (;;) {
    std::string reply = ExchangeOnce(request, pipe_name);
    // The service answered before it read the request: sent again.
    if (reply.rfind(kServerBusyPrefix, 0) != 0) return reply;
    if (pipe_io::MonotonicMs() + kServerBusyPauseMs >= deadline) return kPipeBusyReply;
    pipe_io::Pause(kServerBusyPauseMs);
  }
}

}  // namespace quorvane_windows_vpn
