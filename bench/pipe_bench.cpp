// Under Wine, against the real QuorvaneVpnService.exe --console (started by
// scripts/bench.sh): the status round trip against a bare echo server made of
// the same pipe calls, and the connect cycle against a bare service manager
// cycle of the same program and stand-in tunnel library. Rounds alternate.
//   pipe_bench.exe <status-connections> <connect-cycles> <json-out>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "bench_wine.h"

namespace {

constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\QuorvaneVpn";
constexpr wchar_t kEchoPipe[] = L"\\\\.\\pipe\\QuorvaneBenchEcho";
constexpr wchar_t kBareService[] = L"QuorvaneBenchTunnel";

// The bare server: one instance, connect, one read, one write of a reply of
// the given size, flush, disconnect, close; again, until it has answered
// kEchoQuit. |first| is made before the measuring starts.
constexpr char kEchoQuit[] = "quit";

HANDLE MakeEchoInstance() {
  return CreateNamedPipeW(kEchoPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 65536, 65536, 0,
                          nullptr);
}

void EchoServer(HANDLE first, size_t reply_size) {
  const std::string reply(reply_size, 'x');
  std::string buffer(65536, '\0');
  for (HANDLE pipe = first;; pipe = MakeEchoInstance()) {
    if (pipe == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "echo instance failed: %lu\n", GetLastError());
      Sleep(1);
      continue;
    }
    bool quit = false;
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
      DWORD done = 0;
      if (ReadFile(pipe, buffer.data(), 65535, &done, nullptr) && done > 0) {
        quit = buffer.compare(0, done, kEchoQuit) == 0;
        WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &done, nullptr);
      }
      FlushFileBuffers(pipe);
      DisconnectNamedPipe(pipe);
    }
    CloseHandle(pipe);
    if (quit) return;
  }
}

// What every status request asks the service manager: is the tunnel service running?
void ScmStatusQuery() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(manager, L"QuorvaneVpnTunnel$Active", SERVICE_QUERY_STATUS);
  if (service != nullptr) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

// Create, start, query until running, stop, query until stopped, delete.
void BareScmCycle(const std::wstring& command_line) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = CreateServiceW(manager, kBareService, kBareService, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  if (service == nullptr) service = OpenServiceW(manager, kBareService, SERVICE_ALL_ACCESS);
  StartServiceW(service, 0, nullptr);
  WaitForState(service, SERVICE_RUNNING);
  SERVICE_STATUS status{};
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  WaitForState(service, SERVICE_STOPPED);
  DeleteService(service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

}  // namespace

int main(int argc, char** argv) {
  const int connections = argc > 1 ? std::atoi(argv[1]) : 500;
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 10;
  const std::string status_request = "{\"v\":1,\"op\":\"status\"}";

  // The echo answers with as many bytes as the service's status reply has.
  const size_t reply_size = Exchange(kServicePipe, status_request).size();
  const HANDLE first = MakeEchoInstance();
  if (first == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot make the echo pipe: %lu\n", GetLastError());
    return 1;
  }
  std::thread echo(EchoServer, first, reply_size);

  std::vector<double> service_us, echo_us;
  constexpr int kRound = 25;
  for (int done = 0; done < connections; done += kRound) {
    for (int side = 0; side < 2; ++side) {
      for (int i = 0; i < kRound && done + i < connections; ++i) {
        const auto start = Clock::now();
        Exchange(side == 0 ? kServicePipe : kEchoPipe, status_request);
        (side == 0 ? service_us : echo_us).push_back(Micros(Clock::now() - start));
      }
    }
  }
  Exchange(kEchoPipe, kEchoQuit);
  echo.join();
  std::vector<double> scm_us;
  for (int i = 0; i < connections; ++i) {
    const auto start = Clock::now();
    ScmStatusQuery();
    scm_us.push_back(Micros(Clock::now() - start));
  }

  // The connect cycle: configuration written by the service, stand-in tunnel.
  const std::string connect =
      "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"\",\"node_id\":\"bench\",\"address_cidr\":\"10.8.0.7/32\","
      "\"endpoint_host\":\"vpn.example\",\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\",\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\","
      "\"allowed_ips_csv\":\"10.8.0.0/24\"}";
  const std::wstring bare_command = L"\"" + BesideThisProgram(L"QuorvaneVpnService.exe") +
                                    L"\" /service \"C:\\ProgramData\\Quorvane\\bench\\bench.conf\"";
  CreateDirectoryW(L"C:\\ProgramData\\Quorvane", nullptr);
  CreateDirectoryW(L"C:\\ProgramData\\Quorvane\\bench", nullptr);
  {
    std::ofstream conf("C:\\ProgramData\\Quorvane\\bench\\bench.conf", std::ios::binary);
    conf << "[Interface]\nPrivateKey = cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\nAddress = 10.8.0.7/32\n\n[Peer]\nPublicKey = cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\n"
            "AllowedIPs = 10.8.0.0/24\nEndpoint = vpn.example:51820\nPersistentKeepalive = 25\n";
  }
  std::vector<double> cycle_ms, connect_ms, disconnect_ms, bare_ms;
  for (int i = 0; i < cycles; ++i) {
    auto start = Clock::now();
    const std::string reply = Exchange(kServicePipe, connect);
    const auto connected = Clock::now();
    Exchange(kServicePipe, "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"bench\"}");
    const auto end = Clock::now();
    if (reply.find("\"ok\":true") == std::string::npos) std::fprintf(stderr, "connect failed: %s\n", reply.c_str());
    connect_ms.push_back(Micros(connected - start) / 1000);
    disconnect_ms.push_back(Micros(end - connected) / 1000);
    cycle_ms.push_back(Micros(end - start) / 1000);
    start = Clock::now();
    BareScmCycle(bare_command);
    bare_ms.push_back(Micros(Clock::now() - start) / 1000);
  }

  const Stats service = Summarise(service_us), bare_echo = Summarise(echo_us), scm = Summarise(scm_us);
  const Stats cycle = Summarise(cycle_ms), bare = Summarise(bare_ms);
  const Stats connect_part = Summarise(connect_ms), disconnect_part = Summarise(disconnect_ms);
  const double status_ratio = service.median / bare_echo.median;
  const double cycle_ratio = cycle.median / bare.median;
  std::printf("| under Wine | median | p90 | p99 | samples |\n|---|---|---|---|---|\n");
  std::printf("%s\n%s\n%s\n", Row("status round trip, service", service, "us").c_str(),
              Row("status round trip, bare echo", bare_echo, "us").c_str(),
              Row("  a bare manager query, which a status no longer makes", scm, "us").c_str());
  std::printf("%s\n%s\n%s\n%s\n", Row("connect + disconnect, service", cycle, "ms").c_str(),
              Row("  of which connect reply", connect_part, "ms").c_str(),
              Row("  of which disconnect reply", disconnect_part, "ms").c_str(),
              Row("bare SCM cycle, same program", bare, "ms").c_str());
  std::printf("status ratio (medians) %.2f, target <= 1.5: %s\n", status_ratio, status_ratio <= 1.5 ? "met" : "MISSED");
  std::printf("connect cycle ratio (medians) %.2f, target <= 1.5: %s\n", cycle_ratio,
              cycle_ratio <= 1.5 ? "met" : "MISSED");
  if (argc > 3) {
    std::ofstream json(argv[3]);
    json << "{" << JsonMember("status_service_us", service) << "," << JsonMember("status_bare_echo_us", bare_echo)
         << "," << JsonMember("scm_status_query_us", scm) << ",\"status_ratio\":" << status_ratio << "," << JsonMember("connect_cycle_ms", cycle) << ","
         << JsonMember("connect_reply_ms", connect_part) << "," << JsonMember("disconnect_reply_ms", disconnect_part)
         << "," << JsonMember("bare_scm_cycle_ms", bare) << ",\"connect_cycle_ratio\":" << cycle_ratio << "}\n";
  }
  return 0;
}
