#include "startup_report.h"

#include "common/wide_text.h"
#include "control/pipe_protocol.h"
#include "platform/process.h"
#include "routes/route_table.h"
#include "routes/safe_mode_settings.h"
#include "startup_record.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

const char* Bool(bool value) { return value ? "true" : "false"; }

}  // namespace

std::string StartupReportJson() {
  const StartupRecord record = StartupRecordSnapshot();
  const bool tunnel_running = IsTunnelRunning();
  std::string offending_route;
  const bool tunnel_default_route = HasTunnelDefaultRoute(&offending_route);
  const bool guard_enabled = ParseFlag(ReadSetting(kSettingDisableStartupMutation));

  // Inserted texts are escaped: an interface name may hold a quote or a backslash.
  std::string json = "{";
  json += "\"service_started_utc\":\"" + JsonEscape(record.service_start_time) + "\",";
  json += "\"startup_passive\":true,";
  json += "\"startup_route_mutation_count\":" + std::to_string(record.route_mutation_count) + ",";
  json += std::string("\"startup_tunnel_started\":") + Bool(record.tunnel_started) + ",";
  json += std::string("\"startup_config_written\":") + Bool(record.config_written) + ",";
  json += std::string("\"leftover_tunnel_service_running\":") + Bool(tunnel_running) + ",";
  json += std::string("\"leftover_tunnel_default_route_detected\":") + Bool(tunnel_default_route) + ",";
  json += std::string("\"startup_network_mutation_guard_enabled\":") + Bool(guard_enabled);
  if (!offending_route.empty()) json += ",\"leftover_offending_default_route\":\"" + JsonEscape(offending_route) + "\"";
  json += "}";
  return json;
}

void PrintStartupReport() {
  // The report is UTF-8 (interface names may be any language); both streams
  // get the same characters.
  const std::wstring line = L"[Quorvane] passive startup report: " + Utf8ToWide(StartupReportJson()) + L"\n";
  platform::WriteStdout(line);
  platform::WriteStderr(line);
}

int RunDryRunStartup() {
  PrintStartupReport();
  return 0;
}

}  // namespace quorvane
