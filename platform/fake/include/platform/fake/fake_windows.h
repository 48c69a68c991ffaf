// Control of the in-memory Windows that native tests run on: seed its state,
// make the next call of an operation fail, and read the journal of calls made.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/ip_routes.h"
#include "platform/library.h"
#include "platform/pipes.h"
#include "platform/service_control.h"
#include "platform/service_dispatch.h"
#include "platform/sessions.h"

namespace platform::fake {

// Windows error codes that the fake reports, under their Windows names.
using platform::kErrorFileNotFound;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorUnsupportedType = 1630;

// Back to an empty world: no environment, no registry values, no console output,
// no handler, no services, no files but the drive roots, an empty route table,
// no libraries but tunnel.dll and wireguard.dll (without exports) in the
// program's folder, no pending failures, an empty journal.
void Reset();

// The next call of |operation| (the platform function's name, e.g.
// "ReadRegistryString") fails with |error_code| without looking at the world.
// For a handle's close, the operation is "ScmCloseHandle" or "CloseFile" (the
// handle is closed all the same, as on Windows).
// With |calls_to_let_through|, that many calls succeed before the one that
// fails. Failures asked for one after another fail calls one after another.
void FailNextCall(const std::string& operation, uint32_t error_code, int calls_to_let_through = 0);

// Forgets failures asked for and not yet used.
void ClearPendingFailures();

// Every platform call made since the last Reset, as "Operation argument" lines
// (none while the journal is off, as for fuzzing, where it costs the most).
void SetJournalKept(bool kept);
std::vector<std::string> Journal();

// Console and process.
std::wstring StdoutText();
std::wstring StderrText();
bool HasConsoleControlHandler();
// Delivers a console control event to the installed handler, as the console's
// control thread would. Returns the handler's answer (false with none installed).
bool RaiseConsoleEvent(uint32_t event);
void SetOwnModulePath(const std::wstring& path);
// Milliseconds that SleepMilliseconds was asked to wait (it waits a hundredth
// of that, or nothing with instant sleeps).
uint64_t SleptMilliseconds();
void SetInstantSleeps(bool instant);
// UnixTimeSeconds starts at 2026-12-08T00:00:00Z and moves on with every
// sleep asked for (in full) and with these jumps, as a machine's clock does
// across a sleep of the machine itself.
void AdvanceWallClock(int64_t seconds);
// TerminateCurrentProcess writes the fake's standard error to the real one and
// aborts, so that a death test can see what was printed before the end.

// Environment and registry. Names compare without regard to case, as on Windows.
void SetProcessEnvironment(const std::wstring& name, const std::wstring& value);
enum class RegistryType { kString, kExpandString, kDword };
void SetRegistryValue(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name,
                      const std::wstring& data, RegistryType type = RegistryType::kString);
bool RegistryValueExists(RegistryRoot root, const std::wstring& subkey, const std::wstring& value_name);

// The events written to the Event Log, in order.
struct EventRecord {
  std::wstring source;
  EventType type = EventType::kInformation;
  uint32_t event_id = 0;
  std::wstring text;
};
std::vector<EventRecord> Events();

// Service Control Manager. Names compare without regard to case. How a
// started service comes up and how it answers the stop control are its
// behaviours; a real service reports start-pending until its own work is done,
// and accepts no control meanwhile (a stop then fails with 1061). Its process
// (the id its status shows) can be ended (OpenProcessToEnd, EndOpenProcess):
// it stops with 1067. A status wait (ScmWaitStatusChange) sees the change at
// its next look: without a stop event it looks every 10 ms of SleepMilliseconds,
// with one every real millisecond (a hundredth of 100 ms, as sleeps are).
// A service marked for deletion goes when it is stopped and its last handle is
// closed.
enum class StartBehaviour {
  kRunsAtOnce,
  kRunsAfterPolls,   // start-pending for |polls_until_started| status queries, then running
  kStopsAfterPolls,  // start-pending, then stopped with |start_exit_code| (a rejected configuration)
  kNeverRuns,        // start-pending for ever
};
enum class StopBehaviour { kStopsAtOnce, kStopsAfterPolls, kIgnoresStop };
struct FakeService {
  ServiceRegistration registration;
  uint32_t sid_type = 0;
  std::wstring description;
  uint32_t failure_reset_seconds = 0;
  std::vector<uint32_t> restart_delays_ms;  // then no action
  uint32_t state = kServiceStopped;
  StartBehaviour start_behaviour = StartBehaviour::kRunsAtOnce;
  int polls_until_started = 0;
  uint32_t start_exit_code = 0;           // the Win32 exit code it stops with (kStopsAfterPolls)
  uint32_t service_specific_exit_code = 0;  // with start_exit_code 1066
  StopBehaviour stop_behaviour = StopBehaviour::kStopsAtOnce;
  int polls_until_stopped = 0;  // kStopsAfterPolls: status queries in stop-pending
  bool marked_for_delete = false;
  // Another program (the Services console, say) holds a handle to it and
  // closes it after this many of our opens of the service; -1: never.
  int held_elsewhere_for_opens = 0;
  int start_count = 0;
  // The process id its status shows while it runs; 0: one of the fake's own.
  uint32_t process_id = 0;
  int processes_ended = 0;  // by EndOpenProcess, the last resort
  // What the service last reported on stopping.
  uint32_t win32_exit_code = 0;
  uint32_t reported_specific_exit_code = 0;
};
void SeedService(const FakeService& service);
// How every service created from now on comes up (as the tunnel library
// would make the service that the code under test creates behave).
void SetCreatedServiceStart(StartBehaviour behaviour, int polls_until_started, uint32_t exit_code = 0,
                            uint32_t service_specific_exit_code = 0);
// Runs when a started service reaches running, as the service's own doing
// before it reports running (for example a tunnel that changes the route table).
void SetServiceStartEffect(std::function<void()> effect);
std::optional<FakeService> FindService(const std::wstring& name);
// Manager and service handles not yet closed.
int OpenScHandleCount();
// Another program's process under |process_id|, which OpenProcessToEnd opens
// like a service's; the ones ended through such a handle, in order.
void SeedForeignProcess(uint32_t process_id);
std::vector<uint32_t> EndedForeignProcesses();
// Runs once, at the next OpenProcessToEnd, before it looks: the world may
// change between a status query and the open (a service restarts, its old id
// goes to another program).
void SetProcessOpenEffect(std::function<void()> effect);

// This process as a service: the statuses it reported, in order, and a
// control sent to its handler as the manager would (false without a handler).
using ReportedStatus = ServiceStatusReport;
std::vector<ReportedStatus> ReportedStatuses();
bool SendServiceControl(uint32_t control);
// Runs with the state of every status this process reports, before it is
// recorded: what happens meanwhile, as a logon during the start.
void SetStatusReportEffect(std::function<void(uint32_t state)> effect);

// Files. Paths compare without regard to case; "C:" and the other drive roots
// always exist.
void SeedDirectory(const std::wstring& path);
void SeedFile(const std::wstring& path, const std::string& bytes);
std::optional<std::string> FileContent(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
// The last protected DACL applied to the path, if any.
std::optional<std::vector<AccessGrant>> AppliedDacl(const std::wstring& path);
// A folder (and its parents) that someone else made beforehand: owned by
// |owner_sid|, and a junction when |junction|. Seeded folders are otherwise
// owned by the system account; what this process creates is owned as it asks
// or by its own account (SetProcessAccount).
void SeedForeignDirectory(const std::wstring& path, const std::wstring& owner_sid, bool junction);
std::optional<std::wstring> PathOwner(const std::wstring& path);
// A junction (|directory|) or symbolic link at |path| to |target|: a path
// through it leads to the target, and a handle opened on it without following
// is the link itself, its attributes saying so.
void SeedLink(const std::wstring& path, const std::wstring& target, bool directory);
// What ReadPathAccess answers for a path; one not seeded reads as a folder an
// administrator made under Program Files: owner TrustedInstaller, full access
// for the system account, Administrators and TrustedInstaller, read and
// execute for Users.
void SeedPathAccess(const std::wstring& path, const PathAccess& access);
PathAccess ProgramFilesAccess();
// A file's read-only attribute: opened for writing or appending it is
// refused with 5, as on Windows; deleting it and renaming over it succeed, as
// the Ex information classes let them.
void SetFileReadOnly(const std::wstring& path, bool read_only);
// Another program (an anti-virus, a backup) holds the file without sharing
// for the next |tries| opens of it and renames onto it (-1: for ever).
void SetFileHeldElsewhere(const std::wstring& path, int tries);
// Whether everything written to the file has been flushed to the disk (a
// file written and never flushed is what a crash can leave empty).
bool FileFlushed(const std::wstring& path);
int OpenFileCount();

// IPv4 routes and interfaces.
void SeedRoutes(const std::vector<ForwardRow>& rows);
void SeedInterface(uint32_t if_index, const InterfaceEntry& entry);
// The row FindBestRoute answers for every destination; none: error 1168 (not found).
void SeedBestRoute(const ForwardRow& row);
std::vector<ForwardRow> Routes();
// CreateForwardEntry adds the row (5010 when an equal destination, mask, next
// hop and interface is there already); with a metric set here, the added row
// shows that metric instead of the one asked for.
void SetCreatedRouteMetric(uint32_t metric1);
void SeedAdapterAddresses(const std::vector<Ipv4Address>& addresses);
void SeedTcpConnections(const std::vector<TcpConnection>& connections);
void SeedTcp6Connections(const std::vector<Tcp6Connection>& connections);
// The IPv6 forward table (what a tunnel adds for IPv6 AllowedIPs, say).
void SeedIpv6Routes(const std::vector<Ipv6ForwardRow>& rows);
// An interface's IPv4 metric: CreateForwardEntry then refuses a row on it
// whose metric1 is below it (160), as Windows does; seed the routes' metric1
// as Windows shows them, the route's own metric plus this one.
void SeedInterfaceMetric(uint32_t if_index, uint32_t metric);
// The interface's metric changes (a link speed change, say): the metric1 of
// every row on it moves with it, as Windows shows them.
void ChangeInterfaceMetric(uint32_t if_index, uint32_t metric);
// The next |times| fills of |read| ("ReadIpForwardTable", "ReadTcpConnections",
// "ReadAdapterIpv4Addresses") find the table grown since its size was asked.
void SetTableGrowth(const std::string& read, int times);

// Terminal Services and the debugger.
void SetRemoteSession(bool remote);
void SetConsoleSession(uint32_t session_id);
void SeedSessions(const std::vector<SessionEntry>& sessions);
void SeedSessionClientAddress(uint32_t session_id, const SessionClientAddress& address);
std::wstring DebuggerText();
// The user SID that SessionUserSid answers for a session (none: it fails).
void SetSessionUserSid(uint32_t session_id, const std::wstring& sid);

// Pipes. A test's thread plays the client of a server running on another
// thread, as a user. Connecting fails with 2 when no instance of the name
// exists, 5 when the pipe's access list does not grant the user |access|
// (generic rights mapped as for a pipe), and 231 when every instance is taken
// or not waiting for a client (as after a disconnect, until the server waits
// again). A read fails when the server disconnected without writing.
// The process id PipeClientProcessId answers for every client of the fake.
constexpr uint32_t kFakeClientProcessId = 4321;
// The rights a client asks for: read and write data and attributes, and the
// descriptor's owner.
constexpr uint32_t kPipeClientAccess =
    kFileReadData | kFileWriteData | kFileReadAttributes | kFileWriteAttributes | kReadControl | kSynchronize;
// The system account, an administrator: the caller of the calls without "As".
PipeCaller SystemCaller();
uint64_t ConnectPipeClientAs(const std::wstring& name, const PipeCaller& who, uint32_t access,
                             uint32_t* error_code);
uint64_t ConnectPipeClient(const std::wstring& name, uint32_t* error_code);
// As WaitNamedPipeW: true once an instance may be opened; 2 at once when the
// name has no instance; 121 when none came free in |timeout_ms|.
bool WaitForPipeInstance(const std::wstring& name, uint32_t timeout_ms, uint32_t* error_code);
bool WritePipeClient(uint64_t client, const std::string& bytes);
bool ReadPipeClient(uint64_t client, uint32_t timeout_ms, std::string* reply);
void ClosePipeClient(uint64_t client);
// The owner of the descriptor of the pipe |client| opened (empty: none).
std::wstring ClientPipeOwner(uint64_t client);
// Connect (waiting up to |timeout_ms| for a free instance; an access denied
// ends it at once), write, read, close: the reply, or "<pipe unavailable N>"
// / "<no reply>".
std::string PipeExchangeAs(const std::wstring& name, const PipeCaller& who, const std::string& request,
                           uint32_t timeout_ms = 10000);
std::string PipeExchange(const std::wstring& name, const std::string& request, uint32_t timeout_ms = 10000);
// The grants and the owner of the security that the last instance of the
// pipe |name| was created with, and its options. An instance is refused with 5 when the name
// exists and kFileFlagFirstPipeInstance is asked or this process's account
// lacks kFileCreatePipeInstance on the pipe, with 231 past the first
// instance's limit, and with 1307 when its owner is one this process may not
// give (SetProcessAccount).
std::optional<std::vector<AccessGrant>> LastPipeSecurity(const std::wstring& name);
std::wstring LastPipeOwner(const std::wstring& name);
PipeInstanceOptions LastPipeOptions(const std::wstring& name);
// How often ApplyPipeSecurity changed an instance's access list (the last
// list applied is then LastPipeSecurity).
int PipeSecurityChanges();
// The account this process runs as (default: the system account, which is an
// administrator).
void SetProcessAccount(const std::wstring& user_sid, bool administrator);

// Libraries. An export is a real function of the test; a library without the
// export answers no when it is looked up.
// |folder|: where it lies; a safe load finds only the program's folder and
// System32, as Windows' restricted search does.
enum class LibraryFolder { kProgram, kSystem32, kPathFolder, kCurrentFolder };
void SeedLibrary(const std::wstring& name, const std::string& export_name, WideTextEntry entry,
                 LibraryFolder folder = LibraryFolder::kProgram);
void RemoveLibrary(const std::wstring& name);
int LoadedLibraryCount();

}  // namespace platform::fake
