// The whole request handler on the fake platform: a sequence of requests
// decoded from the input (register, status, connect that succeeds or fails at
// a chosen step, disconnect, raw text). After every request the reply is one
// JSON object that a strict parser accepts and no handle is left open; after
// every disconnect no file, tunnel service or host route of ours is left.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "control/control_state.h"
#include "control/request_handler.h"
#include "json_check.h"
#include "platform/fake/fake_windows.h"
#include "routes/admin_bypass.h"
#include "common/safe_mode_settings.h"
#include "common/startup_record.h"
#include "tunnel/tunnel_manager.h"

namespace {

using platform::fake::FailNextCall;

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool More() const { return at < size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  // Up to |max| raw bytes, as the request carries them.
  std::string Text(size_t max) {
    const size_t length = Byte() % (max + 1);
    std::string text;
    while (text.size() < length && at < size) text.push_back(static_cast<char>(data[at++]));
    return text;
  }
};

// Each input runs several requests, so executions alone undercount the work.
uint64_t requests_handled = 0;

void PrintRequestsHandled() {
  std::fprintf(stderr, "stat::requests_handled: %llu\n", static_cast<unsigned long long>(requests_handled));
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckReply(const std::string& reply) {
  Check(fuzzcheck::IsOneJsonObject(reply));
  Check(platform::fake::OpenScHandleCount() == 0 && platform::fake::OpenFileCount() == 0);
}

// Nothing of ours is left once a disconnect has run.
void CheckNothingLeft(quorvane::ControlState* state) {
  Check(!platform::fake::FileContent(L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf").has_value());
  Check(!platform::fake::FindService(quorvane::TunnelServiceName()).has_value());
  for (const platform::ForwardRow& row : platform::fake::Routes()) Check(row.mask != 0xFFFFFFFF);
  Check(quorvane::ReadPhase(state).phase == quorvane::kPhaseDisconnected);
}

void Arm(uint8_t step) {
  struct Failure {
    const char* operation;
    uint32_t code;
    int let_through;
  };
  static const Failure kFailures[] = {
      {"CreateDirectories", 5, 0}, {"OpenFileAt", 5, 0},        {"WriteFileBytes", 112, 0},
      {"RenameOpenFile", 5, 0},   {"ScmOpenManager", 5, 1},    {"ScmCreateService", 5, 0},
      {"ScmStartService", 1053, 0}, {"FindBestRoute", 1168, 0}, {"CreateForwardEntry", 5, 0},
      {"ReadIpForwardTable", 232, 2}, {"DeleteOpenFile", 32, 0}, {"ScmControlStop", 1061, 0},
  };
  if (step < sizeof(kFailures) / sizeof(kFailures[0])) {
    FailNextCall(kFailures[step].operation, kFailures[step].code, kFailures[step].let_through);
  }
}

std::string ConnectRequest(Input* input) {
  static const char* const kAddresses[] = {"10.8.0.7/32", "0.0.0.0/0", "fd00::7/128", ""};
  static const char* const kAllowed[] = {"0.0.0.0/0, ::/0", "10.8.0.0/24", "", "::/0"};
  const uint8_t shape = input->Byte();
  std::string request = "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"" + input->Text(4) + "\"";
  request += ",\"node_id\":\"" + input->Text(12) + "\"";
  // A well-formed key mostly, so that connects get past the profile checks;
  // sometimes one of the input's own.
  if (shape & 1) {
    const bool own = (shape & 64) != 0;
    request += ",\"client_private_key\":\"" +
               (own ? input->Text(12) : std::string("cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=")) + "\"";
  }
  request += ",\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\"";
  request += std::string(",\"address_cidr\":\"") + kAddresses[(shape >> 1) & 3] + "\"";
  request += std::string(",\"allowed_ips_csv\":\"") + kAllowed[(shape >> 3) & 3] + "\"";
  if (shape & 32) request += ",\"endpoint_port\":\"" + input->Text(6) + "\"";
  request += ",\"dns_csv\":\"" + input->Text(8) + "\",\"endpoint_host\":\"vpn.example\"}";
  return request;
}

void SetWorld(uint8_t bits) {
  platform::fake::SetProcessEnvironment(quorvane::kSettingDisableDefaultRoute, (bits & 1) ? L"1" : L"");
  platform::fake::SetProcessEnvironment(quorvane::kSettingAdminBypassIp, (bits & 2) ? L"203.0.113.7 198.51.100.9" : L"");
  platform::fake::SetRemoteSession((bits & 4) != 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::atexit(PrintRequestsHandled);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::fake::Reset();
  platform::fake::SetInstantSleeps(true);  // a stop that is never answered polls without waiting
  platform::fake::SetJournalKept(false);
  quorvane::ResetAdminBypassRecords();
  quorvane::ResetStartupRecord("2026-12-08T00:00:00Z");
  quorvane::MarkUserConnectBegun();
  platform::ForwardRow gateway;
  gateway.next_hop = 0x0102000A;  // 10.0.2.1
  gateway.if_index = 7;
  platform::fake::SeedBestRoute(gateway);
  platform::fake::SeedInterface(7, {L"Ethernet", L""});

  Input input{data, size};
  {
    quorvane::ControlState state;
    const quorvane::Caller caller{{L"S-1-5-21-7-1001", 1, false}, true};
    for (int count = 0; input.More() && count < 16; ++count) {
      std::string request;
      const uint8_t kind = input.Byte();
      switch (kind % 5) {
        case 0: request = "{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"" + input.Text(4) + "\"}"; break;
        case 1: request = "{\"v\":1,\"op\":\"status\"}"; break;
        case 2:
          SetWorld(input.Byte());
          Arm(input.Byte());
          request = ConnectRequest(&input);
          break;
        case 3:
          platform::fake::ClearPendingFailures();
          request = "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"" + input.Text(4) + "\"}";
          break;
        default: request = input.Text(48); break;
      }
      CheckReply(quorvane::HandleRequest(&state, caller, request));
      ++requests_handled;
      if (kind % 5 == 3) CheckNothingLeft(&state);
      platform::fake::ClearPendingFailures();
    }
  }
  quorvane::ResetAdminBypassRecords();
  return 0;
}
