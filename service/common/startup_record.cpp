#include "common/startup_record.h"

#include "common/windows_events.h"

#include <atomic>
#include <mutex>

#include "common/service_log.h"
#include "common/wide_text.h"
#include "platform/process.h"
#include "common/safe_mode_settings.h"

namespace quorvane {
namespace {

// The flags are written by the request thread, the auto-stop thread and the
// stopping thread, and only ever set after the start; atomics keep that sound.
std::mutex g_time_lock;
std::string g_service_start_time;
std::atomic<bool> g_user_connect_begun{false};
std::atomic<bool> g_shutting_down{false};
std::atomic<bool> g_tunnel_started{false};
std::atomic<bool> g_config_written{false};
std::atomic<int32_t> g_route_mutation_count{0};

}  // namespace

void ResetStartupRecord(const std::string& start_time_utc) {
  SetServiceStartTime(start_time_utc);
  g_user_connect_begun = false;
  g_shutting_down = false;
  g_tunnel_started = false;
  g_config_written = false;
  g_route_mutation_count = 0;
}

void SetServiceStartTime(const std::string& start_time_utc) {
  std::lock_guard<std::mutex> guard(g_time_lock);
  g_service_start_time = start_time_utc;
}

std::string ServiceStartTime() {
  std::lock_guard<std::mutex> guard(g_time_lock);
  return g_service_start_time;
}

StartupRecord StartupRecordSnapshot() {
  StartupRecord record;
  record.service_start_time = ServiceStartTime();
  record.user_connect_begun = g_user_connect_begun;
  record.shutting_down = g_shutting_down;
  record.tunnel_started = g_tunnel_started;
  record.config_written = g_config_written;
  record.route_mutation_count = g_route_mutation_count;
  return record;
}

bool StartupPassive() { return !g_user_connect_begun && !g_shutting_down; }

void CheckNetworkMutation(const char* operation) {
  if (!StartupPassive()) return;
  Diagnose(L"[Quorvane][startup_guard] forbidden during passive startup: " + Utf8ToWide(operation) +
                        L"\n");
  if (!ParseFlag(ReadSetting(kSettingDisableStartupMutation))) {
    ReportWindowsEvent(platform::EventType::kWarning,
                       std::string("The start-up guard saw a network change during the passive start: ") + operation);
    return;
  }
  Diagnose(L"[Quorvane][startup_guard] abort QUORVANE_POC_DISABLE_ALL_NETWORK_MUTATION_ON_STARTUP=1\n");
  ReportWindowsEvent(platform::EventType::kError,
                     std::string("The start-up guard ended the service: a network change during the passive start (") +
                         operation + "), with QUORVANE_POC_DISABLE_ALL_NETWORK_MUTATION_ON_STARTUP=1");
  platform::TerminateCurrentProcess(kGuardAbortExitCode);
}

void NoteStartupRouteMutation() {
  if (StartupPassive()) ++g_route_mutation_count;
}

void NoteStartupConfigWritten() {
  if (StartupPassive()) g_config_written = true;
}

void NoteStartupTunnelStarted() {
  if (StartupPassive()) g_tunnel_started = true;
}

void MarkUserConnectBegun() { g_user_connect_begun = true; }

void MarkShuttingDown() { g_shutting_down = true; }

}  // namespace quorvane
