#include "support_report.h"

#include <windows.h>

#include <deque>
#include <sstream>
#include <vector>

#include "pipe_client.h"
#include "service_pipe.h"
#include "platform/environment.h"
#include "common/folder_files.h"
#include "common/program_folder.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "reply_summary.h"
#include "request_texts.h"
#include "scoped_handle.h"

namespace quorvane_ctl {
namespace {

constexpr int kLogTailLines = 50;
constexpr DWORD kDryRunWaitMs = 30000;
constexpr size_t kPathChars = MAX_PATH;
constexpr size_t kRegistryBytes = 4096;
constexpr size_t kSettingChars = 512;
constexpr wchar_t kMachineEnvironment[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// A member "key": value, with a comma before all but the first.
void Member(std::string* json, const char* key, const std::string& value) {
  if (json->back() != '{') *json += ",";
  *json += JsonLiteral(key) + ":" + value;
}

std::wstring BesideThisProgram(const wchar_t* name) {
  std::wstring self;
  uint32_t error = 0;
  if (!platform::GetOwnModulePath(kPathChars, &self, &error)) return name;
  return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

// A string value of the registry in UTF-8; false when it is absent or unreadable.
bool RegistryText(platform::RegistryRoot root, const std::wstring& subkey, const wchar_t* name, std::string* text) {
  std::wstring value;
  uint32_t error = 0;
  if (!platform::ReadRegistryString(root, subkey, name, kRegistryBytes, &value, &error)) return false;
  *text = Utf8(value);
  return true;
}

// What |name| holds in the process environment, empty when unset or too long.
std::string ProcessText(const wchar_t* name) {
  std::wstring value;
  const size_t length = platform::ReadProcessEnvironment(name, kSettingChars, &value);
  return length > 0 && length < kSettingChars ? Utf8(value) : std::string();
}

// The reply's JSON as it stands, or the client-made error text.
std::string StatusPart() { return SendAsThisUser("{\"v\":1,\"op\":\"status\"}"); }

// "QuorvaneVpnService.exe --dry-run-startup" beside this program: its report line's JSON.
std::string StartupPart(std::vector<std::string>* unreadable) {
  // The service program beside this one runs with this user's rights: only
  // from a folder nobody else may write, or a copy run from Downloads would
  // run what was planted there.
  const std::string unsafe = quorvane::ProgramFolderProblem();
  if (!unsafe.empty()) {
    unreadable->push_back("startup_report (not run: " + unsafe + ")");
    return "null";
  }
  std::wstring command = L"\"" + BesideThisProgram(L"QuorvaneVpnService.exe") + L"\" --dry-run-startup";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read_raw = nullptr, write_raw = nullptr;
  if (!CreatePipe(&read_raw, &write_raw, &inherit, 0)) {
    unreadable->push_back("startup_report");
    return "null";
  }
  const quorvane_windows_vpn::ScopedHandle read_end(read_raw);
  PROCESS_INFORMATION process{};
  bool started = false;
  {
    // Our copy of the write end must be gone before reading, or the read never sees the end.
    const quorvane_windows_vpn::ScopedHandle write_end(write_raw);
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end.get();  // the same line also goes to standard error, which is dropped
    started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &process);
  }
  const quorvane_windows_vpn::ScopedHandle child_thread(started ? process.hThread : nullptr);
  const quorvane_windows_vpn::ScopedHandle child(started ? process.hProcess : nullptr);
  std::string output;
  if (started) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) output.append(buffer, got);
    WaitForSingleObject(child.get(), kDryRunWaitMs);
  }
  const size_t start = output.find('{');
  const size_t end = output.find('\n', start);
  if (!started || start == std::string::npos) {
    unreadable->push_back("startup_report");
    return "null";
  }
  std::string json = output.substr(start, end == std::string::npos ? std::string::npos : end - start);
  while (!json.empty() && (json.back() == '\r' || json.back() == ' ')) json.pop_back();
  return json;
}

// The settings as this command line reads them: the machine's values, which
// the service reads too, and this process's environment and this user's
// values, which are the command line's own, not the service's (the service's
// own view is in its status's reports).
std::string SettingsPart() {
  std::string json = "{";
  for (const wchar_t* name : {L"QUORVANE_POC_DISABLE_DEFAULT_ROUTE", L"QUORVANE_POC_AUTO_STOP_SECONDS",
                              L"QUORVANE_POC_DISABLE_ALL_NETWORK_MUTATION_ON_STARTUP", L"QUORVANE_POC_ADMIN_BYPASS",
                              L"QUORVANE_POC_TUNNEL_START_SECONDS", L"ADMIN_BYPASS_IP", L"ADMIN_BYPASS_IPS"}) {
    std::string machine, user;
    RegistryText(platform::RegistryRoot::kLocalMachine, kMachineEnvironment, name, &machine);
    RegistryText(platform::RegistryRoot::kCurrentUser, L"Environment", name, &user);
    std::string sources = "{";
    Member(&sources, "machine", JsonLiteral(machine));
    Member(&sources, "cli_process", JsonLiteral(ProcessText(name)));
    Member(&sources, "cli_user", JsonLiteral(user));
    Member(&json, Utf8(name).c_str(), sources + "}");
  }
  return json + "}";
}

std::string ServicePart(const wchar_t* name) {
  std::string json = "{";
  platform::ScHandle manager, service;
  uint32_t error = 0;
  const bool installed = platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error) &&
                         platform::ScmOpenService(manager, name, platform::kServiceQueryStatus, &service, &error);
  Member(&json, "installed", installed ? "true" : "false");
  if (installed) {
    platform::ServiceStatus status;
    const bool known = platform::ScmQueryStatus(service, &status, &error);
    const char* states[] = {"unknown", "stopped", "start_pending", "stop_pending", "running",
                            "continue_pending", "pause_pending", "paused"};
    Member(&json, "state", JsonLiteral(known && status.state < 8 ? states[status.state] : "unknown"));
  }
  std::string image;
  if (RegistryText(platform::RegistryRoot::kLocalMachine,
                   std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + name, L"ImagePath", &image)) {
    Member(&json, "image_path", JsonLiteral(image));
  }
  return json + "}";
}

// The service's own files, read through its checked folders as the service
// reads them: a junction or link planted there is named, never followed.
std::string JournalPart() {
  std::string text, message;
  bool present = false;
  const bool read = quorvane::ReadServiceFile(L"state", L"bypass-routes.journal", &text, &present, &message);
  std::string json = "{";
  Member(&json, "present", present ? "true" : "false");
  if (present && read) Member(&json, "text", JsonLiteral(text));
  if (!read) Member(&json, "error", JsonLiteral(message));
  return json + "}";
}

std::string LogPart() {
  std::string text, message;
  bool present = false;
  if (!quorvane::ReadServiceFile(L"logs", L"service.log", &text, &present, &message)) return "[]";
  std::deque<std::string> tail;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    tail.push_back(line);
    if (tail.size() > kLogTailLines) tail.pop_front();
  }
  std::string json = "[";
  for (const std::string& kept : tail) json += (json.size() > 1 ? "," : "") + JsonLiteral(kept);
  return json + "]";
}

}  // namespace

std::string Utf8(const std::wstring& wide) {
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

std::string SupportReport() {
  std::vector<std::string> unreadable;
  std::string json = "{";
  Member(&json, "version", JsonLiteral(QUORVANE_VERSION));
  const std::string status = StatusPart();
  Member(&json, "status", status.rfind("{", 0) == 0 ? status : JsonLiteral(status));
  if (!quorvane_windows_vpn::ParseServiceReply(status).ok) unreadable.push_back("status");
  Member(&json, "startup_report", StartupPart(&unreadable));
  Member(&json, "settings", SettingsPart());
  std::string services = "{";
  for (const wchar_t* name : {L"QuorvaneVpnTunnel", L"QuorvaneVpnTunnel$Active"}) {
    Member(&services, Utf8(name).c_str(), ServicePart(name));
  }
  Member(&json, "services", services + "}");
  Member(&json, "route_journal", JournalPart());
  Member(&json, "log_tail", LogPart());
  std::string missing = "[";
  for (const std::string& part : unreadable) missing += (missing.size() > 1 ? "," : "") + JsonLiteral(part);
  Member(&json, "not_read", missing + "]");
  return json + "}";
}

}  // namespace quorvane_ctl
