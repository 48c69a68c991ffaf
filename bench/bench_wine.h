// What the benchmarks under Wine share: the clock, one pipe exchange as the
// clients make it, and waiting for a service state.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using Clock = std::chrono::steady_clock;
inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// One exchange as the plugin's client makes it; an instance that is between
// two exchanges is tried again (the service's is busy for a moment then, the
// bare echo makes its one anew).
inline std::string Exchange(const wchar_t* pipe_name, const std::string& request) {
  const auto give_up = Clock::now() + std::chrono::seconds(30);
  for (;;) {
    HANDLE pipe = CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      if (Clock::now() > give_up) {
        std::fprintf(stderr, "no server on %ls for 30 s (error %lu)\n", pipe_name, GetLastError());
        std::exit(1);
      }
      Sleep(0);
      continue;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    DWORD done = 0;
    WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &done, nullptr);
    std::string reply(65536, '\0');
    const BOOL ok = ReadFile(pipe, reply.data(), 65535, &done, nullptr);
    CloseHandle(pipe);
    if (ok) return reply.substr(0, done);
  }
}

inline std::wstring BesideThisProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

inline DWORD WaitForState(SC_HANDLE service, DWORD state) {
  SERVICE_STATUS status{};
  for (int i = 0; i < 30000; ++i) {
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) return state;
    Sleep(1);
  }
  return status.dwCurrentState;
}

