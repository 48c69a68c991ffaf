// Shared set-up of the control channel tests: a fresh control state on an
// empty fake Windows, started as a new process would be, and helpers to
// build requests as the client does.
#pragma once

#include <chrono>
#include <memory>
#include <thread>
#include <string>

#include "control/control_state.h"
#include "fake_windows_test.h"
#include "routes/admin_bypass.h"
#include "common/startup_record.h"

namespace quorvane {

inline std::string ConnectRequest(const std::string& nonce, const std::string& extra_fields = "") {
  return "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"" + nonce +
         "\",\"node_id\":\"node-1\",\"address_cidr\":\"10.8.0.7/32\",\"endpoint_host\":\"vpn.example\","
         "\"server_public_key\":\"cXVvcnZhbmUtdGVzdC1zZXJ2ZXItcHVibGljLWtleSE=\",\"client_private_key\":\"cXVvcnZhbmUtdGVzdC1jbGllbnQtcHJpdmF0ZS1rISE=\",\"dns_csv\":\"10.8.0.1\","
         "\"allowed_ips_csv\":\"0.0.0.0/0, ::/0\"" +
         extra_fields + "}";
}

// A user at the machine, not an administrator: one user alone sees the
// service as if it knew nobody.
inline Caller UserCaller(const std::wstring& sid = L"S-1-5-21-7-1001", bool administrator = false) {
  return Caller{{sid, 1, administrator}, true};
}

constexpr char kStatusRequest[] = "{\"v\":1,\"op\":\"status\"}";
constexpr char kDisconnectRequest[] = "{\"v\":1,\"op\":\"disconnect\",\"reason\":\"user_action\"}";
constexpr wchar_t kActiveConf[] = L"C:\\ProgramData\\Quorvane\\tunnels\\active.conf";

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Waits (bounded, 10 s at most) until |condition| holds.
template <typename Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 2000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

class ControlTestBase : public FakeWindowsTest {
 protected:
  void SetUp() override {
    FakeWindowsTest::SetUp();
    ResetAdminBypassRecords();
    ResetStartupRecord("2026-12-08T01:20:00Z");
    state_ = std::make_unique<ControlState>();
  }
  void TearDown() override {
    state_.reset();  // stops the server and any automatic stop
    ResetAdminBypassRecords();
    ResetStartupRecord("");
    FakeWindowsTest::TearDown();
  }
  std::unique_ptr<ControlState> state_;
};

}  // namespace quorvane
