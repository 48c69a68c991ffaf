// Pipes between threads of one process: a server instance and a client meet
// by name, and each side's messages queue up for the other. Blocking calls
// wait on a condition variable of their own, never holding the world's lock.
#include "platform/pipes.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "fake_state.h"

namespace platform {
namespace {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNoData = 232;
constexpr uint32_t kErrorPipeNotConnected = 233;

struct Instance {
  std::wstring name;  // lower case
  uint32_t max_instances = 1;
  uint64_t client = 0;          // the attached client's id
  uint32_t open_mode = 0;
  bool client_attached = false;
  bool client_gone = false;     // the client closed its end
  std::deque<std::string> to_server;
  std::deque<std::string> to_client;
};

struct Pipes {
  std::mutex lock;
  std::condition_variable changed;
  uintptr_t next_id = 0x7000;
  std::map<uintptr_t, Instance> instances;
  std::map<uint64_t, uintptr_t> clients;  // client id -> instance
};

Pipes& AllPipes() {
  static Pipes pipes;
  return pipes;
}

// The world's failure injection and journal, without holding its lock after.
bool Injected(const char* operation, const std::string& argument, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  return fake::RecordCall(world, operation, argument, error_code);
}

// An instance of |name| that no client holds; 2 when none exists, 231 when
// all are taken.
uintptr_t FreeInstance(Pipes& pipes, const std::wstring& name, uint32_t* error_code) {
  bool any = false;
  for (auto& [id, instance] : pipes.instances) {
    if (instance.name != name) continue;
    any = true;
    if (!instance.client_attached) return id;
  }
  *error_code = any ? kErrorPipeBusy : kErrorFileNotFound;
  return 0;
}

uint64_t AttachClient(Pipes& pipes, uintptr_t instance_id) {
  const uint64_t client = ++pipes.next_id;
  pipes.instances[instance_id].client_attached = true;
  pipes.instances[instance_id].client = client;
  pipes.clients[client] = instance_id;
  pipes.changed.notify_all();
  return client;
}

void DetachClient(Pipes& pipes, uint64_t client) {
  const auto found = pipes.clients.find(client);
  if (found == pipes.clients.end()) return;
  const auto instance = pipes.instances.find(found->second);
  if (instance != pipes.instances.end()) instance->second.client_gone = true;
  pipes.clients.erase(found);
  pipes.changed.notify_all();
}

// What a pipe descriptor of the fake holds.
struct Security {
  std::vector<AccessGrant> grants;
  std::wstring owner;
};

// Windows takes an owner only from a token that may own objects as it: its
// user, or Administrators for a member (the system account is one).
bool OwnerAllowed(const fake::FakeWorld& world, const std::wstring& owner) {
  if (owner.empty() || owner == world.process_user_sid) return true;
  return owner == L"S-1-5-32-544" && world.process_is_administrator;
}

}  // namespace

void ClosePipe(uintptr_t pipe) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  pipes.instances.erase(pipe);
  pipes.changed.notify_all();
}

void FreePipeSecurity(uintptr_t security) { delete reinterpret_cast<Security*>(security); }

bool BuildPipeSecurity(const std::vector<AccessGrant>& grants, const std::wstring& owner_sid, PipeSecurity* security,
                       uint32_t* error_code) {
  if (Injected("BuildPipeSecurity", std::to_string(grants.size()) + " " + fake::Narrow(owner_sid), error_code)) {
    return false;
  }
  *security = PipeSecurity(reinterpret_cast<uintptr_t>(new Security{grants, owner_sid}));
  return true;
}

bool SessionUserSid(uint32_t session_id, std::wstring* sid, uint32_t* error_code) {
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> guard(world.lock);
  if (fake::RecordCall(world, "SessionUserSid", std::to_string(session_id), error_code)) return false;
  const auto found = world.session_users.find(session_id);
  if (found == world.session_users.end()) {
    *error_code = 1008;  // ERROR_NO_TOKEN
    return false;
  }
  *sid = found->second;
  return true;
}

bool CreatePipeInstance(const std::wstring& name, const PipeInstanceOptions& options, const PipeSecurity* security,
                        PipeHandle* pipe, uint32_t* error_code) {
  if (Injected("CreatePipeInstance", fake::Narrow(name), error_code)) return false;
  const Security* asked =
      security != nullptr && security->valid() ? reinterpret_cast<const Security*>(security->get()) : nullptr;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  {
    fake::FakeWorld& world = fake::World();
    std::lock_guard<std::mutex> world_guard(world.lock);
    if (asked != nullptr && !OwnerAllowed(world, asked->owner)) {
      *error_code = kErrorInvalidOwner;
      return false;
    }
  }
  const std::wstring key = fake::LowerAscii(name);
  uint32_t count = 0;
  for (const auto& [id, instance] : pipes.instances) count += instance.name == key;
  if (count > 0 && (options.open_mode & kFileFlagFirstPipeInstance) != 0) {
    *error_code = fake::kErrorAccessDenied;
    return false;
  }
  if (count >= options.max_instances) {
    *error_code = kErrorPipeBusy;
    return false;
  }
  const uintptr_t id = ++pipes.next_id;
  Instance& created = pipes.instances[id];
  created.name = key;
  created.max_instances = options.max_instances;
  created.open_mode = options.open_mode;
  {
    fake::FakeWorld& world = fake::World();
    std::lock_guard<std::mutex> world_guard(world.lock);
    world.last_pipe_security.reset();
    world.last_pipe_owner.clear();
    world.last_pipe_options = options;
    if (asked != nullptr) {
      world.last_pipe_security = asked->grants;
      world.last_pipe_owner = asked->owner;
    }
  }
  *pipe = PipeHandle(id);
  pipes.changed.notify_all();
  return true;
}

bool ApplyPipeSecurity(const PipeHandle& pipe, const PipeSecurity& security, uint32_t* error_code) {
  if (Injected("ApplyPipeSecurity", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const auto found = pipes.instances.find(pipe.get());
  if (found == pipes.instances.end() || !security.valid()) {
    *error_code = kErrorInvalidHandle;
    return false;
  }
  if ((found->second.open_mode & kWriteDac) == 0) {
    *error_code = fake::kErrorAccessDenied;
    return false;
  }
  fake::FakeWorld& world = fake::World();
  std::lock_guard<std::mutex> world_guard(world.lock);
  world.last_pipe_security = reinterpret_cast<const Security*>(security.get())->grants;
  ++world.pipe_security_changes;
  return true;
}

// Every client of the fake is this test process; it reports a fixed id.
bool PipeClientProcessId(const PipeHandle& pipe, uint32_t* process_id, uint32_t* error_code) {
  if (Injected("PipeClientProcessId", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const auto found = pipes.instances.find(pipe.get());
  if (found == pipes.instances.end() || !found->second.client_attached) {
    *error_code = kErrorPipeNotConnected;
    return false;
  }
  *process_id = fake::kFakeClientProcessId;
  return true;
}

bool WaitForPipeClient(const PipeHandle& pipe, uint32_t* error_code) {
  if (Injected("WaitForPipeClient", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  auto found = pipes.instances.find(pipe.get());
  if (found == pipes.instances.end()) {
    *error_code = kErrorInvalidHandle;
    return false;
  }
  if (found->second.client_attached) {
    *error_code = kErrorPipeConnected;
    return false;
  }
  pipes.changed.wait(guard, [&] {
    found = pipes.instances.find(pipe.get());
    return found == pipes.instances.end() || found->second.client_attached;
  });
  if (found == pipes.instances.end()) {
    *error_code = kErrorInvalidHandle;
    return false;
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
    const auto found = pipes.instances.find(pipe.get());
    return found == pipes.instances.end() || !found->second.to_server.empty() || found->second.client_gone;
  };
  if (timeout_ms == kWaitForever) {
    pipes.changed.wait(guard, ready);
  } else if (!pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), ready)) {
    *error_code = kErrorTimeout;
    return false;
  }
  const auto found = pipes.instances.find(pipe.get());
  if (found == pipes.instances.end()) {
    *error_code = kErrorInvalidHandle;
    return false;
  }
  if (found->second.to_server.empty()) {
    *error_code = kErrorBrokenPipe;
    return false;
  }
  std::string message = std::move(found->second.to_server.front());
  found->second.to_server.pop_front();
  if (message.size() > max_bytes) {
    // The rest of the message stays unread, as a message-mode read leaves it.
    *data = message.substr(0, max_bytes);
    *error_code = kErrorMoreData;
    return false;
  }
  *data = std::move(message);
  return true;
}

bool WritePipeMessage(const PipeHandle& pipe, const std::string& bytes, uint32_t* error_code) {
  if (Injected("WritePipeMessage", std::to_string(bytes.size()), error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const auto found = pipes.instances.find(pipe.get());
  if (found == pipes.instances.end() || found->second.client_gone || !found->second.client_attached) {
    *error_code = kErrorNoData;
    return false;
  }
  found->second.to_client.push_back(bytes);
  pipes.changed.notify_all();
  return true;
}

// The client is done when it has closed its end; what it still sends is
// dropped; a client that never reads keeps its reply, and the wait ends at
// |timeout_ms|.
bool WaitForPipeClientDone(const PipeHandle& pipe, uint32_t timeout_ms, uint32_t* error_code) {
  if (Injected("WaitForPipeClientDone", std::to_string(timeout_ms), error_code)) return false;
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  const bool done = pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
    const auto found = pipes.instances.find(pipe.get());
    if (found != pipes.instances.end()) found->second.to_server.clear();
    return found == pipes.instances.end() || found->second.client_gone;
  });
  if (!done) *error_code = kErrorTimeout;
  return done;
}

// As DisconnectNamedPipe: the client's end breaks (its reads and writes fail
// from now on, and what it had not read is gone) and the instance is ready
// to wait for the next client.
bool DisconnectPipe(const PipeHandle& pipe, uint32_t* error_code) {
  if (Injected("DisconnectPipe", "", error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const auto found = pipes.instances.find(pipe.get());
  if (found == pipes.instances.end()) {
    *error_code = kErrorInvalidHandle;
    return false;
  }
  Instance& instance = found->second;
  pipes.clients.erase(instance.client);
  instance.client = 0;
  instance.client_attached = false;
  instance.client_gone = false;
  instance.to_server.clear();
  instance.to_client.clear();
  pipes.changed.notify_all();
  return true;
}

bool OpenAndClosePipe(const std::wstring& name, uint32_t* error_code) {
  if (Injected("OpenAndClosePipe", fake::Narrow(name), error_code)) return false;
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const uintptr_t instance = FreeInstance(pipes, fake::LowerAscii(name), error_code);
  if (instance == 0) return false;
  DetachClient(pipes, AttachClient(pipes, instance));
  return true;
}

}  // namespace platform

namespace platform::fake {

uint64_t ConnectPipeClient(const std::wstring& name, uint32_t* error_code) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const uintptr_t instance = FreeInstance(pipes, LowerAscii(name), error_code);
  return instance == 0 ? 0 : AttachClient(pipes, instance);
}

bool WritePipeClient(uint64_t client, const std::string& bytes) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const auto found = pipes.clients.find(client);
  if (found == pipes.clients.end()) return false;
  const auto instance = pipes.instances.find(found->second);
  if (instance == pipes.instances.end()) return false;
  instance->second.to_server.push_back(bytes);
  pipes.changed.notify_all();
  return true;
}

bool ReadPipeClient(uint64_t client, uint32_t timeout_ms, std::string* reply) {
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  const auto state = [&]() -> Instance* {
    const auto found = pipes.clients.find(client);
    if (found == pipes.clients.end()) return nullptr;
    const auto instance = pipes.instances.find(found->second);
    return instance == pipes.instances.end() ? nullptr : &instance->second;
  };
  pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
    Instance* instance = state();
    return instance == nullptr || !instance->to_client.empty();
  });
  Instance* instance = state();
  if (instance == nullptr || instance->to_client.empty()) return false;
  *reply = std::move(instance->to_client.front());
  instance->to_client.pop_front();
  pipes.changed.notify_all();
  return true;
}

void ClosePipeClient(uint64_t client) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  DetachClient(pipes, client);
}

std::string PipeExchange(const std::wstring& name, const std::string& request, uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint32_t error_code = 0;
  uint64_t client = 0;
  // The server makes its next instance after it closed the last one.
  while ((client = ConnectPipeClient(name, &error_code)) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) return "<pipe unavailable " + std::to_string(error_code) + ">";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string reply = "<no reply>";
  if (WritePipeClient(client, request)) ReadPipeClient(client, timeout_ms, &reply);
  ClosePipeClient(client);
  return reply;
}

std::optional<std::vector<AccessGrant>> LastPipeSecurity() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().last_pipe_security;
}

int PipeSecurityChanges() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().pipe_security_changes;
}

std::wstring LastPipeOwner() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().last_pipe_owner;
}

PipeInstanceOptions LastPipeOptions() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().last_pipe_options;
}

void SetProcessAccount(const std::wstring& user_sid, bool administrator) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().process_user_sid = user_sid;
  World().process_is_administrator = administrator;
}

void SetSessionUserSid(uint32_t session_id, const std::wstring& sid) {
  std::lock_guard<std::mutex> guard(World().lock);
  World().session_users[session_id] = sid;
}

}  // namespace platform::fake
