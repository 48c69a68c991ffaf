// Native, on the fake platform: the cost of handling a status request and of
// reading, checking and rendering a full connect profile.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bench_stats.h"
#include "control/control_state.h"
#include "control/request_handler.h"
#include "platform/fake/fake_windows.h"
#include "tunnel/tunnel_profile.h"

namespace {

const std::string kConnect =
    "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"n\",\"node_id\":\"node-1\",\"device_id\":\"d\","
    "\"address_cidr\":\"10.8.0.7/32\",\"endpoint_host\":\"vpn.example\",\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\","
    "\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\",\"client_public_key\":\"cHVi\",\"pre_shared_key\":\"cHNr\","
    "\"display_name\":\"Home\",\"endpoint_port\":\"443\",\"dns_csv\":\"10.8.0.1\",\"allowed_ips_csv\":\"10.8.0.0/24\"}";

// Nanoseconds a call, one sample a round of |calls| calls.
template <typename Call>
std::vector<double> Measure(int rounds, int calls, Call call) {
  std::vector<double> samples;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) call();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    samples.push_back(std::chrono::duration<double, std::nano>(elapsed).count() / calls);
  }
  return samples;
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::string(argv[1]) == "--smoke";
  const int rounds = smoke ? 5 : 200;
  const int calls = smoke ? 10 : 1000;
  platform::fake::Reset();
  platform::fake::SetJournalKept(false);
  quorvane::ControlState state;
  const quorvane::Caller caller{{L"S-1-5-21-7-1001", 1, false}, true};
  size_t sink = 0;
  const Stats status = Summarise(Measure(rounds, calls, [&] {
    sink += quorvane::HandleRequest(&state, caller, "{\"v\":1,\"op\":\"status\"}").size();
  }));
  const Stats profile = Summarise(Measure(rounds, calls, [&] {
    quorvane::TunnelProfile read;
    std::string message;
    quorvane::ReadTunnelProfile(kConnect, &read, &message);
    sink += quorvane::UnsafeProfileFields(read).size() + quorvane::RenderWireGuardConfig(read).size();
  }));
  std::printf("| native (fake platform), per call | median | p90 | p99 | rounds |\n|---|---|---|---|---|\n");
  std::printf("%s\n%s\n", Row("status request handled", status, "ns").c_str(),
              Row("connect profile read + checked + rendered", profile, "ns").c_str());
  std::printf("status handling target < 20000 ns: %s\n", status.median < 20000 ? "met" : "MISSED");
  if (argc > 2) {
    std::ofstream(argv[2]) << "{" << JsonMember("status_handling_ns", status) << ","
                           << JsonMember("profile_read_check_render_ns", profile) << ",\"sink\":" << sink << "}\n";
  }
  return 0;
}
