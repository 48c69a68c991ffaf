#include "tunnel/tunnel_manager.h"

#include <gtest/gtest.h>

#include "fake_windows_test.h"
#include "common/startup_record.h"

namespace quorvane {
namespace {

// The fake's status wait looks at the service every 10 ms that it sleeps.
constexpr uint64_t kFakeLookMs = 10;


using platform::fake::FailNextCall;
using platform::fake::FakeService;
using platform::fake::FindService;
using platform::fake::StopBehaviour;

constexpr wchar_t kConfig[] = L"C:\\Program Data\\Quorvane\\tunnels\\active.conf";
const std::wstring kExpectedCommandLine =
    L"\"C:\\Program Files\\Quorvane\\QuorvaneVpnService.exe\" /service "
    L"\"C:\\Program Data\\Quorvane\\tunnels\\active.conf\"";

// The service manager calls and sleeps in the journal from the first line that
// starts with |from| on, without handle closes.
std::vector<std::string> CallsFrom(const std::string& from) {
  std::vector<std::string> calls;
  for (const std::string& line : platform::fake::Journal()) {
    if (calls.empty() && line.rfind(from, 0) != 0) continue;
    const bool wanted = line.rfind("Scm", 0) == 0 || line.rfind("Sleep", 0) == 0;
    if (wanted && line != "ScmCloseHandle") calls.push_back(line);
  }
  return calls;
}

void SeedTunnel(uint32_t state, StopBehaviour behaviour, int polls = 0, bool marked = false) {
  FakeService service;
  service.registration.name = TunnelServiceName();
  service.registration.binary_path = L"\"C:\\old.exe\" /service \"C:\\old.conf\"";
  service.state = state;
  service.stop_behaviour = behaviour;
  service.polls_until_stopped = polls;
  service.marked_for_delete = marked;
  platform::fake::SeedService(service);
}

class TunnelManagerTest : public FakeWindowsTest {
 protected:
  void SetUp() override {
    FakeWindowsTest::SetUp();
    MarkUserConnectBegun();
  }
  void TearDown() override {
    EXPECT_EQ(platform::fake::OpenScHandleCount(), 0) << "a handle was left open";
    ResetStartupRecord("");
    FakeWindowsTest::TearDown();
  }
};

TEST_F(TunnelManagerTest, FreshStart_CreatesTheServiceWithItsExactRegistrationAndStartsIt) {
  std::string error;
  ASSERT_TRUE(TunnelManager::Start(kConfig, &error)) << error;
  const auto service = FindService(L"QuorvaneVpnTunnel$Active");
  ASSERT_TRUE(service.has_value());
  EXPECT_EQ(service->registration.display_name, L"QuorvaneVpnTunnel$Active");
  EXPECT_EQ(service->registration.service_type, 0x10u);
  EXPECT_EQ(service->registration.start_type, 3u);
  EXPECT_EQ(service->registration.error_control, 1u);
  EXPECT_EQ(service->registration.binary_path, kExpectedCommandLine);
  EXPECT_EQ(service->registration.dependencies, (std::vector<std::wstring>{L"Nsi", L"TcpIp"}));
  EXPECT_EQ(service->sid_type, 1u);
  EXPECT_EQ(service->state, platform::kServiceRunning);
  EXPECT_TRUE(IsTunnelRunning());
  EXPECT_EQ(CallsFrom("ScmOpenManager"),
            (std::vector<std::string>{
                "ScmOpenManager 983103",
                "ScmOpenService QuorvaneVpnTunnel$Active 65572",  // delete, stop, query status
                "ScmOpenManager 983103",
                "ScmOpenService QuorvaneVpnTunnel$Active 4",  // gone? (query status only)
                "ScmCreateService QuorvaneVpnTunnel$Active",
                "ScmSetServiceSidType 1",
                "ScmStartService",
                "ScmOpenManager 1",  // IsTunnelRunning: connect and query status only
                "ScmOpenService QuorvaneVpnTunnel$Active 4",
                "ScmQueryStatus",
            }));
}

TEST_F(TunnelManagerTest, StartOverARunningService_StopsDeletesAndCreatesItAgain) {
  SeedTunnel(platform::kServiceRunning, StopBehaviour::kStopsAfterPolls, 2);
  ASSERT_TRUE(TunnelManager::Start(kConfig, nullptr));
  const auto service = FindService(TunnelServiceName());
  ASSERT_TRUE(service.has_value());
  EXPECT_EQ(service->registration.binary_path, kExpectedCommandLine);
  EXPECT_EQ(service->start_count, 1);  // a new service, started once
  EXPECT_EQ(platform::fake::SleptMilliseconds(), 0u) << "told of the change, not a poll";
  EXPECT_EQ(CallsFrom("ScmControlStop"),
            (std::vector<std::string>{"ScmControlStop", "ScmQueryStatus", "ScmWaitStatusChange 3", "ScmQueryStatus",
                                      "ScmDeleteService", "ScmOpenManager 983103",
                                      "ScmOpenService QuorvaneVpnTunnel$Active 4",
                                      "ScmCreateService QuorvaneVpnTunnel$Active", "ScmSetServiceSidType 1",
                                      "ScmStartService"}));
}

// A service marked for deletion goes with the last handle to it: one that
// another program lets go of soon is waited for and made anew; one still
// held after the bound is a clear failure, not a start that Windows refuses.
TEST_F(TunnelManagerTest, ServiceMarkedForDeletion_IsWaitedForThenMadeAnewOrReported) {
  const struct {
    int held_for_opens;
    bool started;
    uint64_t slept_ms;  // besides the stop's own polls
  } cases[] = {{3, true, kTunnelDeleteLookMs},  // the stop's open, one look, then gone at the next
               {-1, false, kTunnelDeleteBoundMs}};
  for (const auto& c : cases) {
    platform::fake::Reset();
    FakeService held;
    held.registration.name = TunnelServiceName();
    held.registration.binary_path = L"\"C:\\old.exe\" /service \"C:\\old.conf\"";
    held.marked_for_delete = true;
    held.held_elsewhere_for_opens = c.held_for_opens;
    platform::fake::SeedService(held);
    std::string error;
    EXPECT_EQ(TunnelManager::Start(kConfig, &error), c.started) << c.held_for_opens;
    EXPECT_EQ(platform::fake::SleptMilliseconds(), c.slept_ms) << c.held_for_opens;
    const auto service = FindService(TunnelServiceName());
    ASSERT_TRUE(service.has_value());
    if (c.started) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(service->registration.binary_path, kExpectedCommandLine);
      EXPECT_EQ(service->sid_type, 1u) << "a new service";
      EXPECT_EQ(service->start_count, 1);
    } else {
      EXPECT_EQ(error,
                "tunnel service is still marked for deletion (error 1072): it has not stopped, or another program "
                "such as the Services console holds it open");
      EXPECT_EQ(service->start_count, 0);
    }
  }
}

// The library accepts no control while it starts: a stop waits for it to run
// and stops it then; one that never leaves start-pending, or ignores the stop,
// has its process ended. Gone means stopped or absent; nothing else is.
TEST_F(TunnelManagerTest, Stop_WaitsForAStartingTunnelAndEndsOneThatWillNotStop) {
  using platform::fake::StartBehaviour;
  const struct {
    const char* label;
    bool seeded;
    uint32_t state;
    StartBehaviour start;
    int polls_until_started;
    StopBehaviour stop;
    const char* failing;  // an operation made to fail
    bool gone;
    const char* note;
    int processes_ended;
    int stop_controls;
  } cases[] = {
      {"none", false, 0, StartBehaviour::kRunsAtOnce, 0, StopBehaviour::kStopsAtOnce, nullptr, true, "", 0, 0},
      {"no manager", false, 0, StartBehaviour::kRunsAtOnce, 0, StopBehaviour::kStopsAtOnce, "ScmOpenManager", false,
       "OpenSCManager failed (error 5)", 0, 0},
      {"running", true, platform::kServiceRunning, StartBehaviour::kRunsAtOnce, 0, StopBehaviour::kStopsAtOnce,
       nullptr, true, "", 0, 1},
      {"starting, then running", true, platform::kServiceStartPending, StartBehaviour::kRunsAfterPolls, 50,
       StopBehaviour::kStopsAtOnce, nullptr, true, "", 0, 1},
      {"starting for ever", true, platform::kServiceStartPending, StartBehaviour::kNeverRuns, 0,
       StopBehaviour::kStopsAtOnce, nullptr, true,
       "the tunnel service was still starting after 120 s; its process (id 4200) was ended", 1, 0},
      {"ignoring the stop", true, platform::kServiceRunning, StartBehaviour::kRunsAtOnce, 0,
       StopBehaviour::kIgnoresStop, nullptr, true,
       "the tunnel service did not stop within 15 s; its process (id 4200) was ended", 1, 1},
      {"a process that cannot be ended", true, platform::kServiceRunning, StartBehaviour::kRunsAtOnce, 0,
       StopBehaviour::kIgnoresStop, "EndOpenProcess", false,
       "the tunnel service did not stop within 15 s, and its process could not be ended (error 5)", 0, 1},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    if (c.seeded) {
      FakeService service;
      service.registration.name = TunnelServiceName();
      service.state = c.state;
      service.start_behaviour = c.start;
      service.polls_until_started = c.polls_until_started;
      service.stop_behaviour = c.stop;
      platform::fake::SeedService(service);
    }
    if (c.failing != nullptr) FailNextCall(c.failing, 5);
    std::string note;
    EXPECT_EQ(TunnelManager::Stop(&note), c.gone) << c.label;
    EXPECT_EQ(note, c.note) << c.label;
    int stops = 0;
    for (const std::string& line : platform::fake::Journal()) stops += line == "ScmControlStop";
    EXPECT_EQ(stops, c.stop_controls) << c.label << ": never a stop the starting library would refuse";
    const auto service = FindService(TunnelServiceName());
    EXPECT_EQ(service.has_value(), c.seeded && !c.gone) << c.label << ": gone once stopped and marked";
    if (service) {
      EXPECT_TRUE(service->marked_for_delete) << c.label;
    }
    EXPECT_EQ(TunnelServiceGone(), !service.has_value() || service->state == platform::kServiceStopped) << c.label;
  }
}

// The last resort holds the process before it looks again: a tunnel that
// restarted in between runs elsewhere, and its old id may be another
// program's by then, which the system account must never end.
TEST_F(TunnelManagerTest, ProcessIdThatChangesBeforeTheEnd_EndsNothing) {
  SeedTunnel(platform::kServiceRunning, StopBehaviour::kIgnoresStop);
  platform::fake::SetProcessOpenEffect([] {
    FakeService restarted = *FindService(TunnelServiceName());
    ++restarted.start_count;  // runs in process 4201 now
    platform::fake::SeedService(restarted);
    platform::fake::SeedForeignProcess(4200);
  });
  std::string note;
  EXPECT_FALSE(TunnelManager::Stop(&note));
  EXPECT_EQ(note, "the tunnel service did not stop within 15 s, and its process changed (id 4200 to 4201) before it "
                  "could be ended; nothing was ended");
  EXPECT_TRUE(platform::fake::EndedForeignProcesses().empty());
  EXPECT_EQ(FindService(TunnelServiceName())->processes_ended, 0);
}

// A tunnel that cannot be stopped is not replaced: it still runs the old
// configuration, which is a failed start, never the old tunnel taken for new.
TEST_F(TunnelManagerTest, StartOverATunnelThatWillNotStop_Fails) {
  SeedTunnel(platform::kServiceRunning, StopBehaviour::kIgnoresStop);
  FailNextCall("EndOpenProcess", 5);
  std::string error;
  EXPECT_FALSE(TunnelManager::Start(kConfig, &error));
  EXPECT_EQ(error.rfind("the earlier tunnel service could not be stopped: the tunnel service did not stop", 0), 0u)
      << error;
  EXPECT_EQ(FindService(TunnelServiceName())->registration.binary_path, L"\"C:\\old.exe\" /service \"C:\\old.conf\"");
}

TEST_F(TunnelManagerTest, StartFailures_GiveTheirTextAndCloseEveryHandle) {
  const struct {
    const char* operation;
    int calls_to_let_through;  // Stop opens the manager first
    const char* error;
  } cases[] = {
      {"ScmOpenManager", 1, "OpenSCManager failed (error 5)"},
      {"ScmCreateService", 0, "CreateService tunnel failed (error 5)"},
      {"ScmStartService", 0, "StartService tunnel failed (error 5)"},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    FailNextCall(c.operation, 5, c.calls_to_let_through);
    std::string error;
    EXPECT_FALSE(TunnelManager::Start(kConfig, &error)) << c.operation;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(platform::fake::OpenScHandleCount(), 0) << c.operation;
  }
  // Failures of what does not decide the outcome are ignored.
  platform::fake::Reset();
  FailNextCall("ScmSetServiceSidType", 124);
  EXPECT_TRUE(TunnelManager::Start(kConfig, nullptr));
}

TEST_F(TunnelManagerTest, WaitForTunnelRunning_JudgesHowTheStartedServiceCameUp) {
  using platform::fake::StartBehaviour;
  const std::atomic<bool> no_cancel{false};
  const struct {
    const char* label;
    StartBehaviour behaviour;
    int polls;
    uint32_t exit_code;
    uint32_t specific;
    bool running;
    const char* message;
    uint64_t slept_ms;
  } cases[] = {
      {"running at once", StartBehaviour::kRunsAtOnce, 0, 0, 0, true, "", 0},
      {"running after polls", StartBehaviour::kRunsAfterPolls, 4, 0, 0, true, "", 2 * kFakeLookMs},
      {"stopped with its own code", StartBehaviour::kStopsAfterPolls, 2, 1066, 4, false,
       "tunnel service stopped before it reported running (exit code 1066, service-specific exit code 4)", 0},
      {"stopped with a Win32 code", StartBehaviour::kStopsAfterPolls, 1, 1067, 0, false,
       "tunnel service stopped before it reported running (exit code 1067)", 0},
      {"stopped without a code", StartBehaviour::kStopsAfterPolls, 1, 0, 0, false,
       "tunnel service stopped before it reported running", 0},
      {"never running", StartBehaviour::kNeverRuns, 0, 0, 0, false,
       "tunnel service did not report running within 90 s", kTunnelStartBoundMs},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    platform::fake::SetCreatedServiceStart(c.behaviour, c.polls, c.exit_code, c.specific);
    ASSERT_TRUE(TunnelManager::Start(kConfig, nullptr)) << c.label;
    std::string message;
    EXPECT_EQ(WaitForTunnelRunning(&no_cancel, &message), c.running) << c.label;
    EXPECT_EQ(message, c.message) << c.label;
    EXPECT_EQ(platform::fake::SleptMilliseconds(), c.slept_ms) << c.label;
    EXPECT_EQ(platform::fake::OpenScHandleCount(), 0) << c.label;
  }
  // No service to wait for, or no status to read.
  platform::fake::Reset();
  std::string message;
  EXPECT_FALSE(WaitForTunnelRunning(&no_cancel, &message));
  EXPECT_EQ(message, "tunnel service is gone before it reported running (error 1060)");
  SeedTunnel(platform::kServiceStartPending, StopBehaviour::kStopsAtOnce);
  FailNextCall("ScmQueryStatus", 6);
  EXPECT_FALSE(WaitForTunnelRunning(&no_cancel, &message));
  EXPECT_EQ(message, "tunnel service status could not be read (error 6)");
  // A disconnect sent meanwhile ends the wait of a tunnel still starting.
  const std::atomic<bool> cancelled{true};
  EXPECT_FALSE(WaitForTunnelRunning(&cancelled, &message));
  EXPECT_EQ(message, kConnectCancelledMessage);
}

}  // namespace
}  // namespace quorvane
