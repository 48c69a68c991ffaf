#include "host/startup_report.h"

#include "common/program_folder.h"
#include "common/protected_folder.h"
#include "common/service_log.h"
#include "common/wide_text.h"
#include "common/windows_events.h"
#include "control/pipe_protocol.h"
#include "platform/process.h"
#include "routes/route_journal.h"
#include "routes/route_table.h"
#include "common/safe_mode_settings.h"
#include "common/startup_record.h"
#include "tunnel/tunnel_libraries.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {

std::string StartupReportJson() {
  const StartupRecord record = StartupRecordSnapshot();
  const bool tunnel_running = IsTunnelRunning();
  std::string offending_route;
  const bool tunnel_default_route = HasTunnelDefaultRoute(&offending_route);
  const bool guard_enabled = ParseFlag(ReadSetting(kSettingDisableStartupMutation));

  // Inserted texts are escaped: an interface name may hold a quote or a backslash.
  std::string json = "{";
  AppendJsonText(&json, "service_started_utc", record.service_start_time);
  AppendJsonFlag(&json, "startup_passive", true);
  AppendJsonNumber(&json, "startup_route_mutation_count", record.route_mutation_count);
  AppendJsonFlag(&json, "startup_tunnel_started", record.tunnel_started);
  AppendJsonFlag(&json, "startup_config_written", record.config_written);
  AppendJsonFlag(&json, "leftover_tunnel_service_running", tunnel_running);
  AppendJsonFlag(&json, "leftover_tunnel_default_route_detected", tunnel_default_route);
  AppendJsonFlag(&json, "startup_network_mutation_guard_enabled", guard_enabled);
  if (!offending_route.empty()) AppendJsonText(&json, "leftover_offending_default_route", offending_route);
  // Read only: the routes are removed by the next connect, disconnect or
  // automatic stop, never by the passive start.
  const RouteJournal journal = ReadRouteJournal();
  if (journal.present && !journal.readable) AppendJsonText(&json, "route_journal_error", journal.error);
  if (journal.present && journal.readable) {
    std::vector<std::string> routes;
    for (const platform::ForwardRow& row : journal.rows) routes.push_back(JournalRouteText(row));
    AppendJsonRaw(&json, "leftover_journalled_bypass_routes", JsonTextArray(routes));
  }
  // A program folder others may write: every connect is refused until it is fixed.
  const std::string program_folder = ProgramFolderProblem();
  if (!program_folder.empty()) AppendJsonText(&json, "program_folder_unsafe", program_folder);
  // A service folder someone else made or linked: every write there is refused.
  const std::vector<std::string> unsafe_folders = UnsafeServiceFolders();
  if (!unsafe_folders.empty()) AppendJsonRaw(&json, "unsafe_folders", JsonTextArray(unsafe_folders));
  // Where each of the WireGuard library's DLLs was found, or null.
  AppendJsonRaw(&json, "tunnel_libraries", TunnelLibrariesJson());
  json += "}";
  return json;
}

namespace {

// What the start-up found that an administrator should act on, for the Event
// Log: the report's keys that say so.
std::string StartupFindings(const std::string& json) {
  const struct {
    const char* key;
    const char* finding;
  } findings[] = {
      {"\"leftover_tunnel_service_running\":true", "a tunnel service left running"},
      {"\"leftover_tunnel_default_route_detected\":true", "a default route on a tunnel interface"},
      {"\"leftover_journalled_bypass_routes\"", "bypass routes left by an earlier run"},
      {"\"route_journal_error\"", "an unreadable route journal"},
      {"\"program_folder_unsafe\"", "a program folder others may write: connects are refused"},
      {"\"unsafe_folders\"", "a service folder someone else made or linked"},
  };
  std::string found;
  for (const auto& f : findings) {
    if (json.find(f.key) != std::string::npos) found += (found.empty() ? "" : "; ") + std::string(f.finding);
  }
  return found;
}

}  // namespace

void PrintStartupReport() {
  // The report is UTF-8 (interface names may be any language); both streams
  // get the same characters.
  const std::string json = StartupReportJson();
  const std::wstring line = L"[Quorvane] passive startup report: " + Utf8ToWide(json) + L"\n";
  platform::WriteStdout(line);
  Diagnose(line);
  const std::string found = StartupFindings(json);
  if (!found.empty()) {
    ReportWindowsEvent(platform::EventType::kWarning, "The start-up found " + found + ". QuorvaneVpnCtl report tells more.");
  }
}

void ReportStarted() {
  ReportWindowsEvent(platform::EventType::kInformation, std::string("QuorvaneVpnService ") + QUORVANE_VERSION +
                                                            " started; it serves " + WideToUtf8(kPipeName) + ".");
}

int RunDryRunStartup() {
  PrintStartupReport();
  return 0;
}

}  // namespace quorvane
