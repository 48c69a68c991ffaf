// The server side of the fake's pipes: the platform functions.
#include "platform/pipes.h"

#include <chrono>

#include "fake_pipes.h"
#include "fake_state.h"

namespace platform {
namespace {

using fake::AllPipes;
using fake::Pipes;

// The world's failure injection and journal, without holding its lock after.
bool Injected(const char* operation, const std::string& argument, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  return fake::RecordCall(world, operation, argument, error_code);
}

// Windows takes an owner only from a token that may own objects as it: its
// user, or Administrators for a member (the system account is one).
bool OwnerAllowed(const fake::FakeWorld& world, const std::wstring& owner) {
  if (owner.empty() || owner == world.process_user_sid) return true;
  return owner == L"S-1-5-32-544" && world.process_is_administrator;
}

fake::PipeInstance* Find(Pipes& pipes, const PipeHandle& pipe) {
  const auto found = pipes.instances.find(pipe.get());
  return found == pipes.instances.end() ? nullptr : &found->second;
}

bool Refuse(uint32_t code, uint32_t* error_code) {
  *error_code = code;
  return false;
}

}  // namespace

void CloseStopEvent(uintptr_t event) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  pipes.stop_events.erase(event);
}

bool CreateStopEvent(StopEvent* event, uint32_t* error_code) {
  if (Injected("CreateStopEvent", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const uintptr_t id = ++pipes.next_id;
  pipes.stop_events[id] = false;
  *event = StopEvent(id);
  return true;
}

void SignalStopEvent(const StopEvent& event) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  pipes.stop_events[event.get()] = true;
  pipes.changed.notify_all();
}

bool WaitForStopEvent(const StopEvent& event, uint32_t timeout_ms) {
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  return pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                [&] { return pipes.stop_events[event.get()]; });
}

void ClosePipe(uintptr_t pipe) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const auto found = pipes.instances.find(pipe);
  if (found == pipes.instances.end()) return;
  const std::wstring name = found->second.name;
  pipes.instances.erase(found);
  bool last = true;
  for (const auto& [id, instance] : pipes.instances) last = last && instance.name != name;
  if (last) pipes.names.erase(name);
  pipes.changed.notify_all();
}

void FreePipeSecurity(uintptr_t security) { delete reinterpret_cast<fake::PipeSecurityData*>(security); }

bool BuildPipeSecurity(const std::vector<AccessGrant>& grants, const std::wstring& owner_sid, PipeSecurity* security,
                       uint32_t* error_code) {
  if (Injected("BuildPipeSecurity", std::to_string(grants.size()) + " " + fake::Narrow(owner_sid), error_code)) {
    return false;
  }
  *security = PipeSecurity(reinterpret_cast<uintptr_t>(new fake::PipeSecurityData{grants, owner_sid, true}));
  return true;
}

bool SessionUserSid(uint32_t session_id, std::wstring* sid, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "SessionUserSid", std::to_string(session_id), error_code)) return false;
  const auto found = world.session_users.find(session_id);
  if (found == world.session_users.end()) return Refuse(1008, error_code);  // ERROR_NO_TOKEN
  *sid = found->second;
  return true;
}

// A later instance joins the name's pipe and its descriptor: the creator
// needs kFileCreatePipeInstance on it, and the limit of the first applies.
bool CreatePipeInstance(const std::wstring& name, const PipeInstanceOptions& options, const PipeSecurity* security,
                        PipeHandle* pipe, uint32_t* error_code) {
  if (Injected("CreatePipeInstance", fake::Narrow(name), error_code)) return false;
  const auto* asked = security != nullptr && security->valid()
                          ? reinterpret_cast<const fake::PipeSecurityData*>(security->get())
                          : nullptr;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> world_guard(world.lock);
  if (asked != nullptr && !OwnerAllowed(world, asked->owner)) return Refuse(kErrorInvalidOwner, error_code);
  const std::wstring key = fake::LowerAscii(name);
  uint32_t count = 0;
  for (const auto& [id, instance] : pipes.instances) count += instance.name == key;
  if (count > 0) {
    const fake::NamedPipe& existing = pipes.names[key];
    if ((options.open_mode & kFileFlagFirstPipeInstance) != 0) return Refuse(fake::kErrorAccessDenied, error_code);
    const PipeCaller creator{world.process_user_sid, 0, world.process_is_administrator};
    if (existing.security.present &&
        (fake::GrantedPipeAccess(existing.security, creator) & kFileCreatePipeInstance) == 0) {
      return Refuse(fake::kErrorAccessDenied, error_code);
    }
    if (count >= existing.max_instances) return Refuse(kErrorPipeBusy, error_code);
  } else {
    if (options.max_instances == 0) return Refuse(87, error_code);  // ERROR_INVALID_PARAMETER
    fake::NamedPipe& created = pipes.names[key];
    created = fake::NamedPipe{asked != nullptr ? *asked : fake::PipeSecurityData(), options.max_instances};
  }
  const uintptr_t id = ++pipes.next_id;
  fake::PipeInstance& created = pipes.instances[id];
  created.name = key;
  created.open_mode = options.open_mode;
  created.out_buffer_bytes = options.out_buffer_bytes;
  fake::FakeState::LastPipe& last = world.last_pipes[key];
  last = fake::FakeState::LastPipe();
  last.options = options;
  if (asked != nullptr) {
    last.security = asked->grants;
    last.owner = asked->owner;
  }
  *pipe = PipeHandle(id);
  pipes.changed.notify_all();
  return true;
}

bool ApplyPipeSecurity(const PipeHandle& pipe, const PipeSecurity& security, uint32_t* error_code) {
  if (Injected("ApplyPipeSecurity", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  fake::PipeInstance* instance = Find(pipes, pipe);
  if (instance == nullptr || !security.valid()) return Refuse(fake::kErrorInvalidHandle, error_code);
  if ((instance->open_mode & kWriteDac) == 0) return Refuse(fake::kErrorAccessDenied, error_code);
  const auto* data = reinterpret_cast<const fake::PipeSecurityData*>(security.get());
  fake::PipeSecurityData& shared = pipes.names[instance->name].security;
  shared.grants = data->grants;
  shared.present = true;
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> world_guard(world.lock);
  world.last_pipes[instance->name].security = data->grants;
  ++world.pipe_security_changes;
  return true;
}

// Every client of the fake is this test process; it reports a fixed id.
bool PipeClientProcessId(const PipeHandle& pipe, uint32_t* process_id, uint32_t* error_code) {
  if (Injected("PipeClientProcessId", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const fake::PipeInstance* instance = Find(pipes, pipe);
  if (instance == nullptr || !instance->client_attached) return Refuse(fake::kErrorPipeNotConnected, error_code);
  *process_id = fake::kFakeClientProcessId;
  return true;
}

bool PipeClientSessionId(const PipeHandle& pipe, uint32_t* session_id, uint32_t* error_code) {
  if (Injected("PipeClientSessionId", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const fake::PipeInstance* instance = Find(pipes, pipe);
  if (instance == nullptr || !instance->client_attached) return Refuse(fake::kErrorPipeNotConnected, error_code);
  *session_id = instance->caller.session_id;
  return true;
}

bool ReadPipeCaller(const PipeHandle& pipe, PipeCaller* caller, uint32_t* error_code) {
  if (Injected("ReadPipeCaller", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const fake::PipeInstance* instance = Find(pipes, pipe);
  if (instance == nullptr || !instance->client_attached) return Refuse(fake::kErrorPipeNotConnected, error_code);
  *caller = instance->caller;
  return true;
}

bool WaitForPipeClient(const PipeHandle& pipe, const StopEvent& stop, uint32_t* error_code) {
  if (Injected("WaitForPipeClient", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  fake::PipeInstance* instance = Find(pipes, pipe);
  if (instance == nullptr) return Refuse(fake::kErrorInvalidHandle, error_code);
  if (instance->client_attached) return Refuse(kErrorPipeConnected, error_code);
  instance->listening = true;
  pipes.changed.notify_all();
  pipes.changed.wait(guard, [&] {
    instance = Find(pipes, pipe);
    return instance == nullptr || instance->client_attached || pipes.stop_events[stop.get()];
  });
  if (instance == nullptr) return Refuse(fake::kErrorInvalidHandle, error_code);
  if (!instance->client_attached) {
    instance->listening = false;
    return Refuse(kErrorOperationAborted, error_code);
  }
  return true;
}

bool ReadPipeMessage(const PipeHandle& pipe, size_t max_bytes, uint32_t timeout_ms, std::string* data,
                     uint32_t* error_code) {
  data->clear();
  if (Injected("ReadPipeMessage", std::to_string(max_bytes), error_code)) return false;
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  const auto ready = [&] {
    const fake::PipeInstance* instance = Find(pipes, pipe);
    return instance == nullptr || !instance->to_server.empty() || instance->client_gone;
  };
  if (timeout_ms == kWaitForever) {
    pipes.changed.wait(guard, ready);
  } else if (!pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), ready)) {
    return Refuse(kErrorTimeout, error_code);
  }
  fake::PipeInstance* instance = Find(pipes, pipe);
  if (instance == nullptr) return Refuse(fake::kErrorInvalidHandle, error_code);
  if (instance->to_server.empty()) return Refuse(kErrorBrokenPipe, error_code);
  std::string message = std::move(instance->to_server.front());
  instance->to_server.pop_front();
  if (message.size() > max_bytes) {
    // The rest of the message stays unread, as a message-mode read leaves it.
    *data = message.substr(0, max_bytes);
    return Refuse(kErrorMoreData, error_code);
  }
  *data = std::move(message);
  return true;
}

// A message longer than the pipe's buffer waits, as on Windows, until the
// client has read it, the time is up, or |stop| is set.
bool WritePipeMessage(const PipeHandle& pipe, const std::string& bytes, uint32_t timeout_ms, const StopEvent* stop,
                      uint32_t* error_code) {
  if (Injected("WritePipeMessage", std::to_string(bytes.size()), error_code)) return false;
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  fake::PipeInstance* instance = Find(pipes, pipe);
  if (instance == nullptr || instance->client_gone || !instance->client_attached) {
    return Refuse(fake::kErrorNoData, error_code);
  }
  instance->to_client.push_back(bytes);
  pipes.changed.notify_all();
  if (bytes.size() <= instance->out_buffer_bytes) return true;
  const auto settled = [&] {
    fake::PipeInstance* now = Find(pipes, pipe);
    return now == nullptr || now->to_client.empty() || now->client_gone ||
           (stop != nullptr && pipes.stop_events[stop->get()]);
  };
  const bool read = pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), settled) &&
                    (stop == nullptr || !pipes.stop_events[stop->get()]);
  if (read) return true;
  instance = Find(pipes, pipe);
  if (instance != nullptr) instance->to_client.clear();
  return Refuse(stop != nullptr && pipes.stop_events[stop->get()] ? kErrorOperationAborted : kErrorTimeout,
                error_code);
}

// The client is done when it has closed its end; what it still sends is
// dropped; a client that never reads keeps its reply, and the wait ends at
// |timeout_ms|.
bool WaitForPipeClientDone(const PipeHandle& pipe, uint32_t timeout_ms, uint32_t* error_code) {
  if (Injected("WaitForPipeClientDone", std::to_string(timeout_ms), error_code)) return false;
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  const bool done = pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
    fake::PipeInstance* instance = Find(pipes, pipe);
    if (instance != nullptr) instance->to_server.clear();
    return instance == nullptr || instance->client_gone;
  });
  if (!done) *error_code = kErrorTimeout;
  return done;
}

// As DisconnectNamedPipe: the client's end breaks (its reads and writes fail
// from now on, and what it had not read is gone), and no client can open the
// instance until the server waits on it again.
bool DisconnectPipe(const PipeHandle& pipe, uint32_t* error_code) {
  if (Injected("DisconnectPipe", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  fake::PipeInstance* instance = Find(pipes, pipe);
  if (instance == nullptr) return Refuse(fake::kErrorInvalidHandle, error_code);
  pipes.clients.erase(instance->client);
  instance->client = 0;
  instance->client_attached = false;
  instance->client_gone = false;
  instance->listening = false;
  instance->to_server.clear();
  instance->to_client.clear();
  pipes.changed.notify_all();
  return true;
}

}  // namespace platform
