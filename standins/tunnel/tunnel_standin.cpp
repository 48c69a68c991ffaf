// Stand-in for the WireGuard tunnel library "tunnel.dll", for tests and the
// demo only: it never ships as the product's tunnel library. Like the real
// library it registers the calling process with the Service Control Manager,
// reads the configuration file it was given and runs until the service is
// stopped. It brings up no adapter and no route. What it received and read
// goes to "tunnel-standin-record.txt" beside this DLL, for tests to see. A
// number of milliseconds in "tunnel-standin-start-ms.txt" beside it keeps it
// start-pending that long first, as the real library is while it resolves the
// endpoint and builds the adapter; like the real library it accepts no control
// until it runs, then stop and shutdown. A number of milliseconds in
// "tunnel-standin-run-ms.txt" beside it ends the tunnel by itself that long
// after it runs, as the real library does when it loses its adapter: it
// reports stopped with ERROR_DEV_NOT_EXIST (55) and returns failure.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "beside_this_library.h"
#include "unique_handle.h"

using platform::win32::UniqueHandle;

namespace {

std::wstring g_config_path;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
UniqueHandle g_stop_event;
bool g_ran_well = false;

std::string Utf8(const std::wstring& wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                        nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), bytes, nullptr,
                      nullptr);
  return utf8;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes->append(buffer, got);
  return true;
}

void WriteRecord(const std::string& text) {
  UniqueHandle file(CreateFileW(PathBesideThisLibrary(L"tunnel-standin-record.txt").c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file.valid()) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void Report(DWORD state, DWORD exit_code) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exit_code;
  status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 3000;
  SetServiceStatus(g_status_handle, &status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING, NO_ERROR);
    SetEvent(g_stop_event.get());
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// The number in the file beside this library; |absent| without one.
DWORD MillisecondsFrom(const wchar_t* name, DWORD absent) {
  std::string text;
  if (!ReadWholeFile(PathBesideThisLibrary(name), &text)) return absent;
  return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
}

void WINAPI ServiceMain(DWORD, wchar_t** arguments) {
  g_stop_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_status_handle = RegisterServiceCtrlHandlerExW(arguments[0], ControlHandler, nullptr);
  if (g_status_handle == nullptr) return;
  Report(SERVICE_START_PENDING, NO_ERROR);
  Sleep(MillisecondsFrom(L"tunnel-standin-start-ms.txt", 0));
  std::string config;
  if (!ReadWholeFile(g_config_path, &config)) {
    const DWORD error = GetLastError();
    WriteRecord("config_path=" + Utf8(g_config_path) + "\nread_error=" + std::to_string(error) + "\n");
    Report(SERVICE_STOPPED, error);
    return;
  }
  WriteRecord("config_path=" + Utf8(g_config_path) + "\nconfig_bytes=" + std::to_string(config.size()) +
              "\n---\n" + config);
  Report(SERVICE_RUNNING, NO_ERROR);
  if (WaitForSingleObject(g_stop_event.get(), MillisecondsFrom(L"tunnel-standin-run-ms.txt", INFINITE)) ==
      WAIT_TIMEOUT) {
    Report(SERVICE_STOPPED, ERROR_DEV_NOT_EXIST);  // the adapter went away
    return;
  }
  g_ran_well = true;
  Report(SERVICE_STOPPED, NO_ERROR);
}

}  // namespace

extern "C" __declspec(dllexport) BOOL WireGuardTunnelService(const wchar_t* config_path) {
  g_config_path = config_path != nullptr ? config_path : L"";
  // The name is ignored for a service in a process of its own.
  wchar_t name[] = L"QuorvaneVpnTunnel$Active";
  const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) return FALSE;
  return g_ran_well ? TRUE : FALSE;
}
