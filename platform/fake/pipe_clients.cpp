// The client side of the fake's pipes: a test's thread plays a client of a
// server running on another thread, as a given user.
#include <chrono>
#include <thread>

#include "fake_pipes.h"
#include "fake_state.h"

namespace platform::fake {
namespace {

constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
constexpr wchar_t kEveryoneSid[] = L"S-1-1-0";

// Generic rights as a pipe maps them; generic write holds FILE_APPEND_DATA,
// which on a pipe is kFileCreatePipeInstance.
uint32_t MapGeneric(uint32_t mask) {
  uint32_t specific = mask & 0x0FFFFFFF;
  if ((mask & 0x80000000) != 0) specific |= kFileGenericRead;
  if ((mask & 0x40000000) != 0) specific |= 0x120116;  // FILE_GENERIC_WRITE
  if ((mask & 0x20000000) != 0) specific |= 0x1200A0;  // FILE_GENERIC_EXECUTE
  if ((mask & 0x10000000) != 0) specific |= 0x1F01FF;  // FILE_ALL_ACCESS
  return specific;
}

// A free instance of |name| that a client may open: 2 when the name has no
// instance, 5 when its descriptor does not grant |access| to |who|, 231 when
// every instance is taken or not listening.
uintptr_t OpenableInstance(Pipes& pipes, const std::wstring& name, const PipeCaller& who, uint32_t access,
                           uint32_t* error_code) {
  const auto named = pipes.names.find(name);
  if (named == pipes.names.end()) {
    *error_code = kErrorFileNotFound;
    return 0;
  }
  if (named->second.security.present && (access & ~GrantedPipeAccess(named->second.security, who)) != 0) {
    *error_code = kErrorAccessDenied;
    return 0;
  }
  for (auto& [id, instance] : pipes.instances) {
    if (instance.name == name && instance.listening && !instance.client_attached) return id;
  }
  *error_code = kErrorPipeBusy;
  return 0;
}

void DetachClient(Pipes& pipes, uint64_t client) {
  const auto found = pipes.clients.find(client);
  if (found == pipes.clients.end()) return;
  const auto instance = pipes.instances.find(found->second);
  if (instance != pipes.instances.end()) instance->second.client_gone = true;
  pipes.clients.erase(found);
  pipes.changed.notify_all();
}

PipeInstance* ClientInstance(Pipes& pipes, uint64_t client) {
  const auto found = pipes.clients.find(client);
  if (found == pipes.clients.end()) return nullptr;
  const auto instance = pipes.instances.find(found->second);
  return instance == pipes.instances.end() ? nullptr : &instance->second;
}

}  // namespace

Pipes& AllPipes() {
  static Pipes pipes;
  return pipes;
}

uint32_t GrantedPipeAccess(const PipeSecurityData& security, const PipeCaller& who) {
  uint32_t granted = 0;
  for (const AccessGrant& grant : security.grants) {
    const bool applies = grant.trustee_sid == who.user_sid || grant.trustee_sid == kEveryoneSid ||
                         (grant.trustee_sid == kAdministratorsSid && who.administrator);
    if (applies) granted |= MapGeneric(grant.access_mask);
  }
  return granted;
}

PipeCaller SystemCaller() { return PipeCaller{L"S-1-5-18", 0, true}; }

uint64_t ConnectPipeClientAs(const std::wstring& name, const PipeCaller& who, uint32_t access,
                             uint32_t* error_code) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const uintptr_t id = OpenableInstance(pipes, LowerAscii(name), who, access, error_code);
  if (id == 0) return 0;
  const uint64_t client = ++pipes.next_id;
  PipeInstance& instance = pipes.instances[id];
  instance.client_attached = true;
  instance.client = client;
  instance.caller = who;
  pipes.clients[client] = id;
  pipes.changed.notify_all();
  return client;
}

uint64_t ConnectPipeClient(const std::wstring& name, uint32_t* error_code) {
  return ConnectPipeClientAs(name, SystemCaller(), kPipeClientAccess, error_code);
}

bool WaitForPipeInstance(const std::wstring& name, uint32_t timeout_ms, uint32_t* error_code) {
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  const std::wstring key = LowerAscii(name);
  bool exists = false;
  const bool free = pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
    exists = pipes.names.count(key) != 0;
    if (!exists) return true;
    for (const auto& [id, instance] : pipes.instances) {
      if (instance.name == key && instance.listening && !instance.client_attached) return true;
    }
    return false;
  });
  if (exists && free) return true;
  *error_code = exists ? kErrorSemTimeout : kErrorFileNotFound;
  return false;
}

bool WritePipeClient(uint64_t client, const std::string& bytes) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  PipeInstance* instance = ClientInstance(pipes, client);
  if (instance == nullptr) return false;
  instance->to_server.push_back(bytes);
  pipes.changed.notify_all();
  return true;
}

bool ReadPipeClient(uint64_t client, uint32_t timeout_ms, std::string* reply) {
  Pipes& pipes = AllPipes();
  std::unique_lock<std::mutex> guard(pipes.lock);
  pipes.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
    PipeInstance* instance = ClientInstance(pipes, client);
    return instance == nullptr || !instance->to_client.empty();
  });
  PipeInstance* instance = ClientInstance(pipes, client);
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

std::wstring ClientPipeOwner(uint64_t client) {
  Pipes& pipes = AllPipes();
  std::lock_guard<std::mutex> guard(pipes.lock);
  const PipeInstance* instance = ClientInstance(pipes, client);
  return instance == nullptr ? std::wstring() : pipes.names[instance->name].security.owner;
}

std::string PipeExchangeAs(const std::wstring& name, const PipeCaller& who, const std::string& request,
                           uint32_t timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint32_t error_code = 0;
  uint64_t client = 0;
  // Between two exchanges an instance is busy for a moment, as on Windows.
  while ((client = ConnectPipeClientAs(name, who, kPipeClientAccess, &error_code)) == 0) {
    if (error_code == kErrorAccessDenied || std::chrono::steady_clock::now() >= deadline) {
      return "<pipe unavailable " + std::to_string(error_code) + ">";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string reply = "<no reply>";
  if (WritePipeClient(client, request)) ReadPipeClient(client, timeout_ms, &reply);
  ClosePipeClient(client);
  return reply;
}

std::string PipeExchange(const std::wstring& name, const std::string& request, uint32_t timeout_ms) {
  return PipeExchangeAs(name, SystemCaller(), request, timeout_ms);
}

std::optional<std::vector<AccessGrant>> LastPipeSecurity(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().last_pipes[LowerAscii(name)].security;
}

int PipeSecurityChanges() {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().pipe_security_changes;
}

std::wstring LastPipeOwner(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().last_pipes[LowerAscii(name)].owner;
}

PipeInstanceOptions LastPipeOptions(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(World().lock);
  return World().last_pipes[LowerAscii(name)].options;
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
