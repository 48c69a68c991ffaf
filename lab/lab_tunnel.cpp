// Lab stand-in for the WireGuard tunnel library "tunnel.dll": test equipment
// for the lab only, never the product's tunnel library. It behaves as the real
// library does towards the Service Control Manager: it registers the process,
// reports start-pending while it brings up a real WireGuard interface with its
// addresses and routes, reports running only then, and on a stop tears the
// interface down before it reports stopped. A configuration that the tools
// reject stops it with a service-specific exit code, as the real library
// reports its own failures.
//
// The interface work is done by Linux tools (wireguard-go, wg, ip) through
// "lab-tunnel.sh" beside this DLL, which Wine starts by its Unix path. So it
// works only under Wine, inside the lab's network namespace.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "beside_this_library.h"
#include "unique_handle.h"

using platform::win32::UniqueHandle;

namespace {

constexpr DWORD kStartWaitHintMs = 30000;
constexpr DWORD kStopWaitHintMs = 15000;
// Exit codes of our own, reported as service-specific ones.
constexpr DWORD kNoUnixPath = 90;
constexpr DWORD kScriptNotStarted = 91;
constexpr DWORD kScriptTimedOut = 92;
constexpr DWORD kScriptPollMs = 20;
constexpr DWORD kScriptBoundMs = 120000;

std::wstring g_config_path;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
UniqueHandle g_stop_event;
bool g_ran_well = false;
CRITICAL_SECTION g_report_lock;
DWORD g_state = SERVICE_STOPPED;

void Report(DWORD state, DWORD specific_exit_code = 0) {
  EnterCriticalSection(&g_report_lock);
  g_state = state;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  // As the real library: no control while it starts, stop and shutdown once it runs.
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = specific_exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = specific_exit_code;
  status.dwWaitHint = state == SERVICE_START_PENDING  ? kStartWaitHintMs
                      : state == SERVICE_STOP_PENDING ? kStopWaitHintMs
                                                      : 0;
  SetServiceStatus(g_status_handle, &status);
  LeaveCriticalSection(&g_report_lock);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    SetEvent(g_stop_event.get());
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// Wine's own export that maps a Windows path to the Unix one (C:\ProgramData\...
// lives inside the prefix).
bool UnixPath(const std::wstring& windows_path, std::string* unix_path) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  const FARPROC address = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  if (address == nullptr) return false;
  const auto to_unix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(address));
  char* path = to_unix(windows_path.c_str());
  if (path == nullptr) return false;
  *unix_path = path;
  HeapFree(GetProcessHeap(), 0, path);
  return true;
}

std::wstring Wide(const std::string& text) {
  const int chars = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars > 0 ? chars : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  return wide;
}

bool ReadNumberFile(const std::wstring& path, DWORD* number) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  char text[16] = {};
  DWORD got = 0;
  if (!ReadFile(file.get(), text, sizeof(text) - 1, &got, nullptr) || got == 0 || text[got - 1] != '\n') {
    return false;  // not written in full yet
  }
  *number = static_cast<DWORD>(strtoul(text, nullptr, 10));
  return true;
}

// Runs "lab-tunnel.sh <action> <configuration> <result file>" and answers its
// exit code. Wine gives no handle to wait on for a Unix program it starts, so
// the script writes its exit code to the result file as its last act.
DWORD RunLabScript(const wchar_t* action) {
  const std::wstring result = PathBesideThisLibrary((std::wstring(L"lab-tunnel.") + action + L".result").c_str());
  std::string script, config, unix_result;
  if (!UnixPath(PathBesideThisLibrary(L"lab-tunnel.sh"), &script) || !UnixPath(g_config_path, &config) ||
      !UnixPath(result, &unix_result)) {
    return kNoUnixPath;
  }
  DeleteFileW(result.c_str());
  std::wstring command_line = L"/bin/sh \"" + Wide(script) + L"\" " + action + L" \"" + Wide(config) + L"\" \"" +
                              Wide(unix_result) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"/bin/sh", command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return kScriptNotStarted;
  }
  UniqueHandle process_handle(process.hProcess);
  UniqueHandle thread_handle(process.hThread);
  for (DWORD waited = 0; waited < kScriptBoundMs; waited += kScriptPollMs) {
    DWORD exit_code = 0;
    if (ReadNumberFile(result, &exit_code)) return exit_code;
    Sleep(kScriptPollMs);
  }
  return kScriptTimedOut;
}

void WINAPI ServiceMain(DWORD, wchar_t** arguments) {
  g_status_handle = RegisterServiceCtrlHandlerExW(arguments[0], ControlHandler, nullptr);
  if (g_status_handle == nullptr) return;
  g_stop_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Report(SERVICE_START_PENDING);
  const DWORD up = RunLabScript(L"up");
  if (up != 0) {
    Report(SERVICE_STOPPED, up);
    return;
  }
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop_event.get(), INFINITE);
  Report(SERVICE_STOP_PENDING);
  const DWORD down = RunLabScript(L"down");
  g_ran_well = down == 0;
  Report(SERVICE_STOPPED, down);
}

}  // namespace

extern "C" __declspec(dllexport) BOOL WireGuardTunnelService(const wchar_t* config_path) {
  g_config_path = config_path != nullptr ? config_path : L"";
  InitializeCriticalSection(&g_report_lock);
  wchar_t name[] = L"QuorvaneVpnTunnel$Active";
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  const BOOL dispatched = StartServiceCtrlDispatcherW(table);
  DeleteCriticalSection(&g_report_lock);
  return dispatched && g_ran_well ? TRUE : FALSE;
}
