// Test equipment: a client of the service's pipe that sends a request and
// never reads the reply, holding its end open for the seconds given (default
// 30). The request is a status, or with a second argument a connect whose
// AllowedIPs has that many entries. Prints "sent" once the request is written.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const DWORD seconds = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 30;
  const int entries = argc > 2 ? std::atoi(argv[2]) : 0;
  std::string request = "{\"v\":1,\"op\":\"status\"}";
  if (entries > 0) {
    std::string allowed;
    for (int i = 0; i < entries; ++i) {
      allowed += (i == 0 ? "" : ",") + std::to_string(10 + i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                 std::to_string(i % 256) + ".0/24";
    }
    request = "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"silent\",\"node_id\":\"node-1\","
              "\"client_private_key\":\"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=\",\"address_cidr\":\"10.8.0.2/32\","
              "\"endpoint_host\":\"198.51.100.1\",\"server_public_key\":\"xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=\","
              "\"allowed_ips_csv\":\"" + allowed + "\"}";
  }
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 1000 && pipe == INVALID_HANDLE_VALUE; ++i) {
    pipe = CreateFileW(L"\\\\.\\pipe\\QuorvaneVpn", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
    if (pipe == INVALID_HANDLE_VALUE) Sleep(10);
  }
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
  DWORD written = 0;
  if (!WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) return 2;
  std::printf("sent\n");
  std::fflush(stdout);
  Sleep(seconds * 1000);
  CloseHandle(pipe);
  return 0;
}
