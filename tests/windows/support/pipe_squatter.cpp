// Test equipment: an ordinary process that tries, again and again, to make the
// service's pipe name its own, and answers any client that comes with a
// forged "connected". It runs until the named event "Local\QuorvaneSquatterStop"
// is set (or 60 s pass) and prints "took N served M": how often it held the
// name and how many clients it answered.
#include <windows.h>

#include <cstdio>

namespace {

constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\QuorvaneVpn";
constexpr char kForged[] = "{\"ok\":true,\"phase\":\"connected\",\"node_id\":\"forged\"}";

// Waits up to 200 ms for a client, answers it, and lets it go.
bool ServeOne(HANDLE pipe) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool connected = ConnectNamedPipe(pipe, &overlapped) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
  if (!connected && GetLastError() == ERROR_IO_PENDING) {
    DWORD ignored = 0;
    connected = WaitForSingleObject(overlapped.hEvent, 200) == WAIT_OBJECT_0 &&
                GetOverlappedResult(pipe, &overlapped, &ignored, FALSE);
    if (!connected) {
      CancelIoEx(pipe, &overlapped);
      GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
    }
  }
  CloseHandle(overlapped.hEvent);
  if (!connected) return false;
  char buffer[4096];
  DWORD done = 0;
  OVERLAPPED io{};
  io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ReadFile(pipe, buffer, sizeof(buffer), nullptr, &io) || GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(io.hEvent, 1000) != WAIT_OBJECT_0) CancelIoEx(pipe, &io);
    GetOverlappedResult(pipe, &io, &done, TRUE);
  }
  CloseHandle(io.hEvent);
  DWORD written = 0;
  WriteFile(pipe, kForged, sizeof(kForged) - 1, &written, nullptr);
  FlushFileBuffers(pipe);
  DisconnectNamedPipe(pipe);
  return true;
}

}  // namespace

int main() {
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, L"Local\\QuorvaneSquatterStop");
  const ULONGLONG give_up = GetTickCount64() + 60000;
  int took = 0;
  int served = 0;
  while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0 && GetTickCount64() < give_up) {
    HANDLE pipe = CreateNamedPipeW(kServicePipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0,
                                   nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      Sleep(0);
      continue;
    }
    ++took;
    served += ServeOne(pipe) ? 1 : 0;
    CloseHandle(pipe);
  }
  std::printf("took %d served %d\n", took, served);
  CloseHandle(stop);
  return 0;
}
