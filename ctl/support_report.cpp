#include "support_report.h"

#include <windows.h>

#include <deque>
#include <sstream>
#include <vector>

#include "pipe_client.h"
#include "reply_summary.h"
#include "request_texts.h"

namespace quorvane_ctl {
namespace {

constexpr int kLogTailLines = 50;
constexpr DWORD kDryRunWaitMs = 30000;
constexpr wchar_t kMachineEnvironment[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// A member "key": value, with a comma before all but the first.
void Member(std::string* json, const char* key, const std::string& value) {
  if (json->back() != '{') *json += ",";
  *json += JsonLiteral(key) + ":" + value;
}

std::wstring ProgramData() {
  wchar_t value[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", value, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(value, length) : L"C:\\ProgramData";
}

std::wstring BesideThisProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  const std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

bool ReadText(const std::wstring& path, std::string* text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) text->append(buffer, got);
  CloseHandle(file);
  return true;
}

std::string RegistryText(HKEY root, const wchar_t* subkey, const wchar_t* name, bool* found) {
  wchar_t value[2048] = {};
  DWORD bytes = sizeof(value);
  *found = RegGetValueW(root, subkey, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                        &bytes) == ERROR_SUCCESS;
  return *found ? Utf8(value) : std::string();
}

// The reply's JSON as it stands, or the client-made error text.
std::string StatusPart() { return quorvane_windows_vpn::SendPipeRequest("{\"v\":1,\"op\":\"status\"}"); }

// "QuorvaneVpnService.exe --dry-run-startup" beside this program: its report line's JSON.
std::string StartupPart(std::vector<std::string>* unreadable) {
  std::wstring command = L"\"" + BesideThisProgram(L"QuorvaneVpnService.exe") + L"\" --dry-run-startup";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    unreadable->push_back("startup_report");
    return "null";
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;  // the same line also goes to standard error, which is dropped
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(write_end);
  std::string output;
  if (started) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof(buffer), &got, nullptr) && got > 0) output.append(buffer, got);
    WaitForSingleObject(process.hProcess, kDryRunWaitMs);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(read_end);
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

std::string SettingsPart() {
  std::string json = "{";
  for (const wchar_t* name : {L"QUORVANE_POC_DISABLE_DEFAULT_ROUTE", L"QUORVANE_POC_AUTO_STOP_SECONDS",
                              L"QUORVANE_POC_DISABLE_ALL_NETWORK_MUTATION_ON_STARTUP", L"QUORVANE_POC_ADMIN_BYPASS",
                              L"ADMIN_BYPASS_IP", L"ADMIN_BYPASS_IPS"}) {
    wchar_t value[512] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 512);
    bool found = false;
    std::string sources = "{";
    Member(&sources, "process", JsonLiteral(length > 0 && length < 512 ? Utf8(value) : ""));
    Member(&sources, "machine", JsonLiteral(RegistryText(HKEY_LOCAL_MACHINE, kMachineEnvironment, name, &found)));
    Member(&sources, "user", JsonLiteral(RegistryText(HKEY_CURRENT_USER, L"Environment", name, &found)));
    Member(&json, Utf8(name).c_str(), sources + "}");
  }
  return json + "}";
}

std::string ServicePart(const wchar_t* name) {
  std::string json = "{";
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS) : nullptr;
  Member(&json, "installed", service != nullptr ? "true" : "false");
  if (service != nullptr) {
    SERVICE_STATUS status{};
    const bool known = QueryServiceStatus(service, &status);
    const char* states[] = {"unknown", "stopped", "start_pending", "stop_pending", "running",
                            "continue_pending", "pause_pending", "paused"};
    Member(&json, "state", JsonLiteral(known && status.dwCurrentState < 8 ? states[status.dwCurrentState] : "unknown"));
    CloseServiceHandle(service);
  }
  if (manager != nullptr) CloseServiceHandle(manager);
  bool found = false;
  const std::wstring key = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + name;
  const std::string image = RegistryText(HKEY_LOCAL_MACHINE, key.c_str(), L"ImagePath", &found);
  if (found) Member(&json, "image_path", JsonLiteral(image));
  return json + "}";
}

std::string JournalPart(const std::wstring& root) {
  std::string text;
  const bool present = ReadText(root + L"\\Quorvane\\state\\bypass-routes.journal", &text);
  std::string json = "{";
  Member(&json, "present", present ? "true" : "false");
  if (present) Member(&json, "text", JsonLiteral(text));
  return json + "}";
}

std::string LogPart(const std::wstring& root) {
  std::string text;
  if (!ReadText(root + L"\\Quorvane\\logs\\service.log", &text)) return "[]";
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
  const std::wstring root = ProgramData();
  Member(&json, "route_journal", JournalPart(root));
  Member(&json, "log_tail", LogPart(root));
  std::string missing = "[";
  for (const std::string& part : unreadable) missing += (missing.size() > 1 ? "," : "") + JsonLiteral(part);
  Member(&json, "not_read", missing + "]");
  return json + "}";
}

}  // namespace quorvane_ctl
