// Test equipment: a client of the service's pipe that sends a status request
// and never reads the reply, holding its end open for the seconds given
// (default 30). Prints "sent" once the request is written.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const DWORD seconds = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 30;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 1000 && pipe == INVALID_HANDLE_VALUE; ++i) {
    pipe = CreateFileW(L"\\\\.\\pipe\\QuorvaneVpn", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
    if (pipe == INVALID_HANDLE_VALUE) Sleep(10);
  }
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  const char request[] = "{\"v\":1,\"op\":\"status\"}";
  DWORD written = 0;
  if (!WriteFile(pipe, request, sizeof(request) - 1, &written, nullptr)) return 2;
  std::printf("sent\n");
  std::fflush(stdout);
  Sleep(seconds * 1000);
  CloseHandle(pipe);
  return 0;
}
