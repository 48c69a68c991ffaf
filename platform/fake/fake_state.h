// The fake world's state, shared by the fake implementations of the platform
// headers. Every access holds the lock: the service's threads share the fake.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "platform/process.h"
#include "platform/sessions.h"

namespace platform::fake {

struct RegistryValue {
  RegistryType type = RegistryType::kString;
  std::wstring data;
};

// 2026-12-08T00:00:00Z: where the fake's wall clock starts.
constexpr int64_t kFakeClockStart = 1796688000;
constexpr wchar_t kDefaultModulePath[] = L"C:\\Program Files\\Quorvane\\QuorvaneVpnService.exe";

struct FakeScHandle {
  std::wstring service_key;  // empty for a manager handle
  uint32_t access = 0;
};

struct FakeProcessHandle {
  uint32_t process_id = 0;
  std::wstring service_key;  // empty: a foreign process
  int start_count = 0;       // the service's start the process belongs to
};

struct FakeFile {
  std::string bytes;
  bool directory = false;
  std::optional<std::vector<AccessGrant>> dacl;
  std::wstring owner_sid = L"S-1-5-18";
  bool reparse_point = false;  // a junction or symbolic link
  std::wstring link_target;    // where a path through it leads (none: nowhere)
  bool exclusive = false;      // open with no sharing
  bool flushed = true;         // everything written has reached the disk
  bool delete_on_close = false;
  bool read_only = false;
  // Another program holds it open without sharing: opens and renames onto it
  // fail with 32 this many times (-1: always).
  int held_elsewhere_for_tries = 0;
};

struct FakeOpenFile {
  std::wstring key;  // lower-case path
  bool append = false;
  size_t position = 0;
};

struct FakeLibrary {
  std::string export_name;
  WideTextEntry entry = nullptr;
  LibraryFolder folder = LibraryFolder::kProgram;
};

// Everything that Reset() puts back to a fresh machine.
struct FakeState {
  struct PendingFailure {
    uint32_t error_code = 0;
    int calls_to_let_through = 0;
  };
  std::map<std::string, std::deque<PendingFailure>> pending_failures;
  std::vector<std::string> journal;
  bool journal_kept = true;

  std::wstring stdout_text;
  std::wstring stderr_text;
  ConsoleControlHandler console_handler = nullptr;
  std::wstring module_path = kDefaultModulePath;

  std::map<std::wstring, std::wstring> environment;       // by lower-case name
  std::map<std::wstring, RegistryValue> registry_values;
  std::vector<EventRecord> events;  // by lower-case "root\subkey\name"
  uint64_t slept_ms = 0;
  uint64_t event_waited_ms = 0;  // by status waits given a stop event
  int64_t clock_jump_seconds = 0;
  bool instant_sleeps = false;

  std::map<std::wstring, FakeService> services;  // by lower-case name
  std::map<uintptr_t, FakeScHandle> sc_handles;
  std::function<void()> service_start_effect;
  FakeService created_service_behaviour;
  ServiceControlRoutine service_handler = nullptr;
  std::vector<ReportedStatus> reported_statuses;
  std::function<void(uint32_t)> status_report_effect;
  std::map<uintptr_t, FakeProcessHandle> process_handles;
  std::set<uint32_t> foreign_processes;
  std::vector<uint32_t> ended_foreign_processes;
  std::function<void()> process_open_effect;

  std::map<uint32_t, uint32_t> interface_metrics;  // IPv4 metric by interface index
  std::map<std::string, int> table_growth;         // by read: fills that find the table grown
  std::map<std::wstring, FakeFile> files;        // by lower-case path, directories too
  std::map<uintptr_t, FakeOpenFile> open_files;
  std::map<std::wstring, PathAccess> path_access;  // by lower-case path; others read as under Program Files

  std::vector<ForwardRow> routes;
  std::map<uint32_t, InterfaceEntry> interfaces;
  std::optional<ForwardRow> best_route;
  std::optional<uint32_t> created_route_metric;
  std::vector<Ipv4Address> adapter_addresses;
  std::vector<TcpConnection> tcp_connections;
  std::vector<Tcp6Connection> tcp6_connections;
  std::vector<Ipv6ForwardRow> ipv6_routes;

  bool remote_session = false;
  uint32_t console_session = kNoConsoleSession;
  std::vector<SessionEntry> sessions;
  std::map<uint32_t, SessionClientAddress> session_addresses;
  std::wstring debugger_text;
  std::map<uint32_t, std::wstring> session_users;  // session -> user SID
  // By lower-case pipe name: what its last instance was made with.
  struct LastPipe {
    std::optional<std::vector<AccessGrant>> security;
    std::wstring owner;
    PipeInstanceOptions options;
  };
  std::map<std::wstring, LastPipe> last_pipes;
  int pipe_security_changes = 0;
  std::wstring process_user_sid = L"S-1-5-18";  // a service runs as the system account
  bool process_is_administrator = true;

  // By lower-case name. The program's folder holds the WireGuard library's
  // two DLLs, as a deployment lays them out; without an export until seeded.
  std::map<std::wstring, FakeLibrary> libraries = {{L"tunnel.dll", FakeLibrary()}, {L"wireguard.dll", FakeLibrary()}};
  std::map<uintptr_t, std::wstring> loaded_libraries;
};

// The process id the fake gives a service that runs: a new one at each start.
inline uint32_t ServiceProcessId(const FakeService& service) {
  return service.process_id != 0 ? service.process_id : 4200 + static_cast<uint32_t>(service.start_count);
}

struct FakeWorld : FakeState {
  std::mutex lock;
  // Not reset: a handle kept by mistake from an earlier test never matches.
  uintptr_t next_handle = 0x100;
};

FakeWorld& World();

// With the lock held: records the call and reports whether an injected failure
// consumes it (filling |error_code|).
bool RecordCall(FakeWorld& world, const std::string& operation, const std::string& argument,
                uint32_t* error_code);

std::wstring LowerAscii(const std::wstring& text);

// A file's key: its path in lower case with backslashes, without a trailing one.
std::wstring Key(const std::wstring& path);
std::wstring ParentKey(const std::wstring& key);
bool IsDriveRoot(const std::wstring& key);
bool DirectoryExistsLocked(FakeWorld& world, const std::wstring& key);
void MakeDirectoriesLocked(FakeWorld& world, const std::wstring& key);
uintptr_t NewHandle(FakeWorld& world);
std::string Narrow(const std::wstring& text);

// With the lock held: the service handle's entry when it is open and holds
// |right|; otherwise false with the error Windows gives.
bool CheckScHandle(FakeWorld& world, uintptr_t handle, uint32_t right, FakeScHandle** entry, uint32_t* error_code);
// A service handle's service, which exists as long as a handle to it is open.
inline FakeService& ServiceOf(FakeWorld& world, const FakeScHandle& entry) {
  return world.services.at(entry.service_key);
}

}  // namespace platform::fake
