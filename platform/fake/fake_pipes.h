// The fake's pipes, shared by its server side (the platform functions) and
// its client side (the test's calls): instances meet clients by name, each
// side's messages queue up for the other, and every name has one security
// descriptor, as on Windows, which decides who may open it or add an instance.
// Blocking calls wait on the one condition variable, never holding the
// world's lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/pipes.h"

namespace platform::fake {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorSemTimeout = 121;
constexpr uint32_t kErrorNoData = 232;
constexpr uint32_t kErrorPipeNotConnected = 233;

struct PipeInstance {
  std::wstring name;  // lower case
  uint64_t client = 0;  // the attached client's id
  uint32_t open_mode = 0;
  uint32_t out_buffer_bytes = 65536;  // a longer reply waits for the client to read
  // Made, or waiting for a client again: a client may open it. After a
  // disconnect it is not until the server waits again (231 meanwhile).
  bool listening = true;
  bool client_attached = false;
  bool client_gone = false;  // the client closed its end
  PipeCaller caller;
  std::deque<std::string> to_server;
  std::deque<std::string> to_client;
};

// What a pipe descriptor of the fake holds; no descriptor: Windows' default.
struct PipeSecurityData {
  std::vector<AccessGrant> grants;
  std::wstring owner;
  bool present = false;
};

// One pipe: what its first instance set, shared by every instance.
struct NamedPipe {
  PipeSecurityData security;
  uint32_t max_instances = 1;
};

struct Pipes {
  std::mutex lock;
  std::condition_variable changed;
  uintptr_t next_id = 0x7000;
  std::map<uintptr_t, PipeInstance> instances;
  std::map<uint64_t, uintptr_t> clients;          // client id -> instance
  std::map<std::wstring, NamedPipe> names;  // while any instance of the name exists
  std::map<uintptr_t, bool> stop_events;          // set or not
};

Pipes& AllPipes();

// The access |who| gets from |security|, generic rights mapped as for a pipe.
uint32_t GrantedPipeAccess(const PipeSecurityData& security, const PipeCaller& who);

}  // namespace platform::fake
