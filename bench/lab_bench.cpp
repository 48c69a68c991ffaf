// In the lab (scripts/bench.sh), under Wine on the lab's PC, against the real
// QuorvaneVpnService.exe --console with the lab tunnel library beside it:
// connect and disconnect replies against the lab tunnel's own bare up and
// down, its library started and stopped through the tunnel entry by this
// program without the service, plus the bare service manager work around a
// start (create, delete). Rounds alternate.
//   lab_bench.exe <cycles> <connect-request-file> <bare-configuration> <json-out>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_stats.h"
#include "bench_wine.h"

namespace {

constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\QuorvaneVpn";
constexpr wchar_t kBareService[] = L"QuorvaneBenchLabTunnel";

struct BareTimes {
  double up_ms = 0;
  double down_ms = 0;
  double scm_ms = 0;  // create and delete, the manager's work around a start
};

bool BareCycle(const std::wstring& command_line, BareTimes* times) {
  auto start = Clock::now();
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = CreateServiceW(manager, kBareService, kBareService, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  times->scm_ms = Micros(Clock::now() - start) / 1000;
  if (service == nullptr) {
    std::fprintf(stderr, "bare: CreateService failed: %lu\n", GetLastError());
    CloseServiceHandle(manager);
    return false;
  }
  start = Clock::now();
  const bool started = StartServiceW(service, 0, nullptr) && WaitForState(service, SERVICE_RUNNING) == SERVICE_RUNNING;
  times->up_ms = Micros(Clock::now() - start) / 1000;
  start = Clock::now();
  SERVICE_STATUS status{};
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  WaitForState(service, SERVICE_STOPPED);
  times->down_ms = Micros(Clock::now() - start) / 1000;
  start = Clock::now();
  DeleteService(service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  times->scm_ms += Micros(Clock::now() - start) / 1000;
  if (!started) std::fprintf(stderr, "bare: the lab tunnel did not run\n");
  return started;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: lab_bench.exe <cycles> <connect-request-file> <bare-configuration> <json-out>\n");
    return 2;
  }
  const int cycles = std::atoi(argv[1]);
  std::ifstream request_file(argv[2], std::ios::binary);
  const std::string connect((std::istreambuf_iterator<char>(request_file)), std::istreambuf_iterator<char>());
  const std::string bare_conf = argv[3];
  const std::wstring bare_command = L"\"" + BesideThisProgram(L"QuorvaneVpnService.exe") + L"\" /service \"" +
                                    std::wstring(bare_conf.begin(), bare_conf.end()) + L"\"";

  std::vector<double> connect_ms, disconnect_ms, up_ms, down_ms, scm_ms;
  int failures = 0;
  for (int i = 0; i < cycles; ++i) {
    auto start = Clock::now();
    const std::string reply = Exchange(kServicePipe, connect);
    const auto connected = Clock::now();
    const std::string disconnect = Exchange(kServicePipe, "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"bench\"}");
    const auto end = Clock::now();
    if (reply.rfind("{\"ok\":true,\"phase\":\"connected\"", 0) != 0) {
      std::fprintf(stderr, "connect failed: %s\n", reply.c_str());
      ++failures;
    }
    connect_ms.push_back(Micros(connected - start) / 1000);
    disconnect_ms.push_back(Micros(end - connected) / 1000);
    BareTimes bare;
    if (!BareCycle(bare_command, &bare)) ++failures;
    up_ms.push_back(bare.up_ms);
    down_ms.push_back(bare.down_ms);
    scm_ms.push_back(bare.scm_ms);
  }

  const Stats connect_stats = Summarise(connect_ms), disconnect_stats = Summarise(disconnect_ms);
  const Stats up = Summarise(up_ms), down = Summarise(down_ms), scm = Summarise(scm_ms);
  const double connect_ratio = connect_stats.median / (up.median + scm.median);
  const double disconnect_ratio = disconnect_stats.median / down.median;
  std::printf("| in the lab, under Wine | median | p90 | p99 | samples |\n|---|---|---|---|---|\n");
  std::printf("%s\n%s\n%s\n%s\n%s\n", Row("connect reply, service", connect_stats, "ms").c_str(),
              Row("disconnect reply, service", disconnect_stats, "ms").c_str(),
              Row("lab tunnel up, bare (start to running)", up, "ms").c_str(),
              Row("lab tunnel down, bare (stop to stopped)", down, "ms").c_str(),
              Row("bare SCM create + delete", scm, "ms").c_str());
  std::printf("connect ratio (medians, to bare up + SCM) %.2f, target <= 1.2: %s\n", connect_ratio,
              connect_ratio <= 1.2 ? "met" : "MISSED");
  std::printf("disconnect ratio (medians, to bare down) %.2f, target <= 1.2: %s\n", disconnect_ratio,
              disconnect_ratio <= 1.2 ? "met" : "MISSED");
  std::ofstream json(argv[4]);
  json << "{" << JsonMember("connect_reply_ms", connect_stats) << ","
       << JsonMember("disconnect_reply_ms", disconnect_stats) << "," << JsonMember("bare_up_ms", up) << ","
       << JsonMember("bare_down_ms", down) << "," << JsonMember("bare_scm_ms", scm)
       << ",\"connect_ratio\":" << connect_ratio << ",\"disconnect_ratio\":" << disconnect_ratio << "}\n";
  return failures == 0 ? 0 : 1;
}
