// Test equipment: another program that holds a handle to a service, as the
// Services console or a monitoring agent does, for the seconds given
// (default 60). Prints "held" once the handle is open.
//   service_holder.exe <service name> [seconds]
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const DWORD seconds = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 60;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS) : nullptr;
  if (service == nullptr) return 1;
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(seconds * 1000);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}
