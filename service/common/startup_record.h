// The process-wide start-up record and the guard that every network-changing
// operation consults first: a service start must stay passive until a user's
// connect, so a change before then is reported (or, with the abort setting on,
// ends the process).
#pragma once

#include <cstdint>
#include <string>

namespace quorvane {

// Operation names passed to the guard.
constexpr char kMutationTunnelStart[] = "TunnelManager::Start";
constexpr char kMutationTunnelStop[] = "TunnelManager::Stop";
constexpr char kMutationWriteActiveConf[] = "WriteActiveConf";
constexpr char kMutationCreateRoute[] = "CreateIpForwardEntry";
constexpr char kMutationDeleteRoute[] = "DeleteIpForwardEntry";

// Exit code of the guard's abort: that of an abnormal program end.
constexpr uint32_t kGuardAbortExitCode = 3;

struct StartupRecord {
  std::string service_start_time;
  bool user_connect_begun = false;
  bool shutting_down = false;
  bool tunnel_started = false;
  bool config_written = false;
  int32_t route_mutation_count = 0;
};

// Clears the record and stores |start_time_utc| as the service start time.
void ResetStartupRecord(const std::string& start_time_utc);
// Stores a new start time and keeps the rest (the service main routine's restart).
void SetServiceStartTime(const std::string& start_time_utc);
std::string ServiceStartTime();
StartupRecord StartupRecordSnapshot();

// Neither a connect has passed its checks nor has the pipe server begun to stop.
bool StartupPassive();

// While passive: warns on standard error and, with
// "QUORVANE_POC_DISABLE_ALL_NETWORK_MUTATION_ON_STARTUP" on, ends the process.
void CheckNetworkMutation(const char* operation);

// Each counts only while passive.
void NoteStartupRouteMutation();
void NoteStartupConfigWritten();
void NoteStartupTunnelStarted();

// Set for the rest of the process's life.
void MarkUserConnectBegun();
void MarkShuttingDown();

}  // namespace quorvane
