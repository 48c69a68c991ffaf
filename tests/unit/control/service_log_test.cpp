// The service log: what a service under the service control manager leaves
// for an administrator, and never a secret.
#include "common/service_log.h"

#include <gtest/gtest.h>

#include "control/pipe_server.h"
#include "platform/process.h"
#include "control_test_support.h"

namespace quorvane {
namespace {

constexpr wchar_t kLog[] = L"C:\\ProgramData\\Quorvane\\logs\\service.log";

class ServiceLogTest : public ControlTestBase {
 protected:
  void SetUp() override {
    ControlTestBase::SetUp();
    MarkUserConnectBegun();
    SetServiceLogEnabled(true);
  }
  void TearDown() override {
    SetServiceLogEnabled(false);
    SetServiceLogLimitForTests(kServiceLogLimitBytes);
    ControlTestBase::TearDown();
  }
  std::string Log() { return platform::fake::FileContent(kLog).value_or(""); }
};

TEST_F(ServiceLogTest, EachRequest_IsOneLineWithItsOutcomeAndNoSecret) {
  std::string error;
  ASSERT_TRUE(StartPipeServer(state_.get(), &error)) << error;
  // Every secret field carries a marker that must never reach the log.
  const std::string secret = "U0VDUkVULU1BUktFUi1TRUNSRVQtTUFSS0VSLVNFQ1I=";
  const std::string connect = "{\"v\":1,\"op\":\"connect\",\"session_nonce\":\"" + secret +
                              "\",\"node_id\":\"n\",\"client_private_key\":\"" + secret +
                              "\",\"server_public_key\":\"" + secret + "\",\"pre_shared_key\":\"" + secret +
                              "\",\"address_cidr\":\"10.8.0.2/32\",\"endpoint_host\":\"vpn.example\"}";
  platform::fake::PipeExchange(kPipeName, kStatusRequest);
  platform::fake::PipeExchange(kPipeName, connect);
  platform::fake::PipeExchange(kPipeName, "{\"v\":1,\"op\":\"connect\",\"node_id\":\"n\"}");
  // A refusal's message may quote the value it refused: only its code is logged.
  std::string refused = ConnectRequest("");
  refused.replace(refused.find("10.8.0.7/32"), 11, "203.0.113.77/33");
  EXPECT_NE(platform::fake::PipeExchange(kPipeName, refused).find("\"error\":\"invalid_profile\""), std::string::npos);
  StopPipeServer(state_.get());
  const std::string log = Log();
  EXPECT_EQ(log.find("U0VDUkVU"), std::string::npos) << log;
  EXPECT_EQ(log.find("203.0.113.77"), std::string::npos) << log;
  EXPECT_NE(log.find("Z [Quorvane] requests op=status ok=true count=1 since=2026-12-08T"), std::string::npos) << log;
  EXPECT_NE(log.find("Z [Quorvane] request op=connect client_pid=4321 session=0 sid=S-1-5-18 ok=true ms="), std::string::npos) << log;
  EXPECT_NE(log.find("Z [Quorvane] request op=connect client_pid=4321 session=0 sid=S-1-5-18 ok=false "
                     "error=invalid_profile ms="),
            std::string::npos)
      << log;
  EXPECT_EQ(log.rfind("2026-12-08T", 0), 0u) << "each line starts with its UTC time";
  EXPECT_EQ(platform::fake::AppliedDacl(kLog)->size(), 2u) << "protected as the tunnels folder";
  EXPECT_EQ(platform::fake::PathOwner(L"C:\\ProgramData\\Quorvane\\logs"), L"S-1-5-32-544");
}

TEST_F(ServiceLogTest, Bound_KeepsFourEarlierFiles) {
  SetServiceLogLimitForTests(200);
  for (int i = 0; i < 40; ++i) LogLine("[Quorvane] line " + std::to_string(i) + std::string(20, '.'));
  const std::string current = Log();
  EXPECT_LT(current.size(), 200u);
  EXPECT_NE(current.find("line 39"), std::string::npos) << "the newest line is kept";
  std::string older = current;
  for (int age = 1; age <= 4; ++age) {
    const std::string kept = platform::fake::FileContent(std::wstring(kLog) + L"." + std::to_wstring(age)).value_or("");
    ASSERT_FALSE(kept.empty()) << age;
    EXPECT_EQ(kept.back(), '\n') << "whole lines only";
    EXPECT_LT(kept.substr(kept.rfind("line ")), older.substr(older.find("line "))) << "older at each place: " << age;
    older = kept;
  }
  EXPECT_FALSE(platform::fake::FileContent(std::wstring(kLog) + L".5")) << "five files in all";
}

// A UI that polls every 2 s for eight hours sends 15,000 statuses: they are
// counted, a line a minute, and the connect before them stays in the log.
TEST_F(ServiceLogTest, PolledStatuses_AreCountedAndKeepTheConnect) {
  std::string error;
  ASSERT_TRUE(StartPipeServer(state_.get(), &error)) << error;
  platform::fake::PipeExchange(kPipeName, ConnectRequest(""));
  for (int i = 0; i < 15000; ++i) {
    if (i % 30 == 0) {  // a minute of the fake's clock
      platform::fake::SetInstantSleeps(true);
      platform::SleepMilliseconds(2000 * 30);
      platform::fake::SetInstantSleeps(false);
    }
    ASSERT_EQ(platform::fake::PipeExchange(kPipeName, kStatusRequest).rfind("{\"ok\":true", 0), 0u) << i;
  }
  StopPipeServer(state_.get());
  const std::string log = Log();
  EXPECT_LT(log.size(), 100u * 1024) << "about 500 lines";
  EXPECT_FALSE(platform::fake::FileContent(std::wstring(kLog) + L".1")) << "nothing rolled out";
  EXPECT_NE(log.find("request op=connect"), std::string::npos);
  EXPECT_NE(log.find("requests op=status ok=true count=30 since="), std::string::npos) << log.substr(0, 2000);
  EXPECT_EQ(log.find("request op=status"), std::string::npos);
}

// Fleet tools read the Event Log: a guard's refusal is a warning there, with
// its code and the caller, and nothing of the request.
TEST_F(ServiceLogTest, GuardRefusal_IsAWarningEvent) {
  std::string error;
  ASSERT_TRUE(StartPipeServer(state_.get(), &error)) << error;
  platform::fake::SetRemoteSession(true);  // RDP without safe mode: refused
  EXPECT_NE(platform::fake::PipeExchange(kPipeName, ConnectRequest("")).find("\"error\":\"poc_route_guard_failed\""),
            std::string::npos);
  platform::fake::PipeExchange(kPipeName, "{\"v\":1,\"op\":\"connect\",\"node_id\":\"n\"}");  // not a guard's
  StopPipeServer(state_.get());
  const std::vector<platform::fake::EventRecord> events = platform::fake::Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, L"QuorvaneVpn");
  EXPECT_EQ(events[0].type, platform::EventType::kWarning);
  EXPECT_EQ(events[0].event_id, 0x80000002u);
  EXPECT_EQ(events[0].text, L"A connect was refused: poc_route_guard_failed (session 0, S-1-5-18)");
}

TEST_F(ServiceLogTest, ConsoleMode_WritesNoFileAndDiagnosticsStillReachStandardError) {
  SetServiceLogEnabled(false);
  Diagnose(L"[Quorvane] console line\n");
  EXPECT_FALSE(platform::fake::FileContent(kLog).has_value());
  EXPECT_EQ(platform::fake::StderrText(), L"[Quorvane] console line\n");
  SetServiceLogEnabled(true);
  Diagnose(L"[Quorvane] service line\n");
  EXPECT_NE(Log().find(" [Quorvane] service line\n"), std::string::npos) << Log();
}

}  // namespace
}  // namespace quorvane
