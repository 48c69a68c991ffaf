#include "control/request_handler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "control/pipe_server.h"
#include "control_test_support.h"
#include "common/safe_mode_settings.h"
#include "common/startup_record.h"
#include "tunnel/tunnel_manager.h"

namespace quorvane {
namespace {

const std::string kDefaultGuard = WriteRouteGuardJson(RouteGuardReport());

class RequestHandlerTest : public ControlTestBase {
 protected:
  std::string Handle(const std::string& request) { return HandleRequest(state_.get(), UserCaller(), request); }

  // Waits (bounded) until the state shows |phase|.
  bool WaitForPhase(const std::string& phase) {
    return Eventually([this, &phase] { return ReadPhase(state_.get()).phase == phase; });
  }
};

TEST_F(RequestHandlerTest, ProtocolErrors_ComeFirstAndAreExact) {
  const struct {
    std::string request;
    std::string reply;
  } cases[] = {
      {"{\"v\":1,\"op\":\"status\",\"display_name\":\"my config_path\"}",
       "{\"ok\":false,\"error\":\"forbidden_path\",\"message\":\"config paths not accepted from UI\"}"},
      {ConnectRequest("", ",\"wgQuickConfig\":\"x\""),
       "{\"ok\":false,\"error\":\"forbidden_path\",\"message\":\"config paths not accepted from UI\"}"},
      {"{\"v\":1,\"op\":\"Status\"}", "{\"ok\":false,\"error\":\"unknown_op\",\"message\":\"unsupported operation\"}"},
      {"{\"v\":1,\"op\":1}", "{\"ok\":false,\"error\":\"unknown_op\",\"message\":\"unsupported operation\"}"},
      {"not json at all", "{\"ok\":false,\"error\":\"unknown_op\",\"message\":\"unsupported operation\"}"},
      {"", "{\"ok\":false,\"error\":\"unknown_op\",\"message\":\"unsupported operation\"}"},
  };
  for (const auto& c : cases) EXPECT_EQ(Handle(c.request), c.reply) << c.request;
  EXPECT_EQ(ReadPhase(state_.get()).phase, "disconnected");
}

TEST_F(RequestHandlerTest, StatusRightAfterStart_IsDisconnectedWithoutNodeAndDefaultReports) {
  EXPECT_EQ(HandleRequest(state_.get(), UserCaller(L"S-1-5-21-7-500", true), "{\"op\":\"status\"}"),
            "{\"ok\":true,\"phase\":\"disconnected\",\"tunnel_running\":false,\"generation\":1," +
                WriteAdminBypassJson(AdminBypassState()) + "," + kDefaultGuard + "}");
}

TEST_F(RequestHandlerTest, RegisterSession_ReplacesOrClearsTheNonceAndAlwaysSaysDisconnected) {
  EXPECT_EQ(Handle("{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"A\"}"),
            "{\"ok\":true,\"phase\":\"disconnected\"}");
  EXPECT_EQ(state_->registered_nonces[UserCaller().user_sid], "A");
  EXPECT_EQ(Handle(ConnectRequest("B")), "{\"ok\":false,\"error\":\"session_mismatch\",\"message\":\"invalid session\"}");
  EXPECT_EQ(Handle(ConnectRequest("AA")), "{\"ok\":false,\"error\":\"session_mismatch\",\"message\":\"invalid session\"}");
  SetPhase(state_.get(), kPhaseConnected, "node-1");
  EXPECT_EQ(Handle("{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"\"}"),
            "{\"ok\":true,\"phase\":\"disconnected\"}");
  EXPECT_EQ(state_->registered_nonces.count(UserCaller().user_sid), 0u);
  EXPECT_EQ(ReadPhase(state_.get()).phase, "connected");
}

// Found by fuzzing: a node id with a byte that is not UTF-8 came back raw, and
// the connect and status replies were no longer JSON.
TEST_F(RequestHandlerTest, NodeIdThatIsNotUtf8_ComesBackAsAReplacementCharacter) {
  MarkUserConnectBegun();
  std::string request = ConnectRequest("");
  request.replace(request.find("node-1"), 6, "n\xff");
  EXPECT_TRUE(Contains(Handle(request), "\"phase\":\"connected\",\"node_id\":\"n\xef\xbf\xbd\""));
  EXPECT_TRUE(Contains(Handle(kStatusRequest), "\"node_id\":\"n\xef\xbf\xbd\""));
}

// Before any connect, with the guard that ends the process on a passive
// mutation on: a disconnect with nothing to undo touches nothing; one that
// undoes what an earlier process left is an explicit request and ends the
// passive phase first. The service answers and lives on either way.
TEST_F(RequestHandlerTest, DisconnectWhilePassive_ChangesNothingOrEndsThePassivePhase) {
  const struct {
    const char* label;
    bool leftover_tunnel;
    bool leftover_conf;
    bool passive_after;
  } cases[] = {
      {"nothing left", false, false, true},
      {"a tunnel left running", true, false, false},
      {"a configuration left", false, true, false},
  };
  for (const auto& c : cases) {
    platform::fake::Reset();
    ResetStartupRecord("2026-12-08T01:20:00Z");
    platform::fake::SetProcessEnvironment(kSettingDisableStartupMutation, L"1");
    if (c.leftover_tunnel) {
      platform::fake::FakeService tunnel;
      tunnel.registration.name = TunnelServiceName();
      tunnel.state = platform::kServiceRunning;
      platform::fake::SeedService(tunnel);
    }
    if (c.leftover_conf) {
      platform::fake::SeedDirectory(L"C:\\ProgramData\\Quorvane\\tunnels");
      platform::fake::SeedFile(kActiveConf, "[Interface]\n");
    }
    const std::string reply = HandleRequest(state_.get(), UserCaller(L"S-1-5-21-7-500", true), kDisconnectRequest);
    EXPECT_EQ(reply, "{\"ok\":true,\"phase\":\"disconnected\"," + WriteAdminBypassJson(CurrentAdminBypassState()) +
                         "," + kDefaultGuard + "}")
        << c.label;
    EXPECT_TRUE(Contains(reply, "\"message\":\"admin bypass host routes removed\"")) << c.label;
    EXPECT_EQ(StartupPassive(), c.passive_after) << c.label;
    EXPECT_EQ(platform::fake::StderrText().find(L"forbidden during passive startup"), std::wstring::npos) << c.label;
    EXPECT_FALSE(IsTunnelRunning()) << c.label;
    EXPECT_FALSE(platform::fake::FileContent(kActiveConf).has_value()) << c.label;
    EXPECT_EQ(Handle(kStatusRequest).rfind("{\"ok\":true", 0), 0u) << c.label << ": still serving";
  }
}

TEST_F(RequestHandlerTest, AutoStop_FiresAfterItsSecondsAndStopsEverything) {
  MarkUserConnectBegun();
  ASSERT_TRUE(Contains(Handle(ConnectRequest("")), "\"ok\":true"));
  RouteGuardReport report;
  ASSERT_TRUE(ScheduleAutoStop(state_.get(), 1, &report));
  EXPECT_TRUE(report.auto_stop_scheduled);
  EXPECT_EQ(report.auto_stop_seconds, 1);
  EXPECT_EQ(report.auto_stop_deadline_utc.size(), 20u);
  ASSERT_TRUE(WaitForPhase(kPhaseDisconnected));
  CancelAutoStop(state_.get());  // joins the finished thread
  EXPECT_FALSE(IsTunnelRunning());
  EXPECT_FALSE(platform::fake::FileContent(kActiveConf).has_value());
  int steps = 0;
  for (const std::string& line : platform::fake::Journal()) steps += line == "SleepMilliseconds 100";
  EXPECT_EQ(steps, 10);
}

TEST_F(RequestHandlerTest, AutoStop_CancelledByDisconnectAndReplacedByANewConnect) {
  MarkUserConnectBegun();
  ASSERT_TRUE(Contains(Handle(ConnectRequest("")), "\"ok\":true"));
  RouteGuardReport report;
  ASSERT_TRUE(ScheduleAutoStop(state_.get(), 3600, &report));
  Handle(kDisconnectRequest);
  EXPECT_FALSE(state_->auto_stop_thread.joinable());

  // A connect cancels a pending stop before it changes anything; its own
  // (none configured here) is not armed.
  ASSERT_TRUE(ScheduleAutoStop(state_.get(), 3600, &report));
  const std::string reply = Handle(ConnectRequest(""));
  ASSERT_TRUE(Contains(reply, "\"ok\":true")) << reply;
  EXPECT_FALSE(state_->auto_stop_thread.joinable());
  EXPECT_TRUE(IsTunnelRunning());
}

// The stop keeps to the wall clock: a machine that slept past the deadline
// stops the tunnel when it wakes, not an hour of sleeps later.
TEST_F(RequestHandlerTest, AutoStop_FiresWhenTheClockJumpsPastItsDeadline) {
  MarkUserConnectBegun();
  ASSERT_TRUE(Contains(Handle(ConnectRequest("")), "\"ok\":true"));
  RouteGuardReport report;
  ASSERT_TRUE(ScheduleAutoStop(state_.get(), 3600, &report));
  EXPECT_EQ(report.auto_stop_deadline_utc, "2026-12-08T01:00:00Z");
  platform::fake::AdvanceWallClock(3600);
  ASSERT_TRUE(WaitForPhase(kPhaseDisconnected));
  CancelAutoStop(state_.get());
  EXPECT_FALSE(IsTunnelRunning());
  EXPECT_LT(platform::fake::SleptMilliseconds(), 60000u) << "not a sum of sleeps";
}

// A connect refused before the tunnel start leaves the earlier tunnel running
// with its automatic stop, not without one.
TEST_F(RequestHandlerTest, ConnectRefusedBeforeTheTunnelStart_KeepsTheEarlierAutoStop) {
  MarkUserConnectBegun();
  platform::fake::SetProcessEnvironment(kSettingAutoStopSeconds, L"3600");
  ASSERT_TRUE(Contains(Handle(ConnectRequest("")), "\"ok\":true"));
  ASSERT_TRUE(state_->auto_stop_pending);
  const std::string refused[] = {
      ConnectRequest("", ",\"endpoint_port\":\"0\""),  // invalid_profile
      ConnectRequest(""),                                 // config_write_failed (below)
  };
  platform::fake::FailNextCall("CreateDirectories", 5);
  for (const std::string& request : {refused[0], refused[1]}) {
    EXPECT_TRUE(Contains(Handle(request), "\"ok\":false")) << request;
    EXPECT_TRUE(state_->auto_stop_pending) << request;
    EXPECT_TRUE(IsTunnelRunning());
  }
}

// The automatic stop is a dead-man's promise: a control service that stops
// first takes the tunnel down with it; without one pending, the tunnel stays.
TEST_F(RequestHandlerTest, ServiceStoppedWithAnAutoStopPending_TakesTheTunnelDown) {
  for (const bool pending : {true, false}) {
    platform::fake::Reset();
    ResetAdminBypassRecords();
    MarkUserConnectBegun();
    state_ = std::make_unique<ControlState>();
    std::string error;
    ASSERT_TRUE(StartPipeServer(state_.get(), &error)) << error;
    ASSERT_TRUE(Contains(platform::fake::PipeExchange(kPipeName, ConnectRequest("")), "\"ok\":true"));
    RouteGuardReport report;
    if (pending) {
      ASSERT_TRUE(ScheduleAutoStop(state_.get(), 3600, &report));
    }
    StopPipeServer(state_.get());
    EXPECT_EQ(IsTunnelRunning(), !pending) << pending;
    EXPECT_EQ(platform::fake::FileContent(kActiveConf).has_value(), !pending) << pending;
    EXPECT_EQ(ReadPhase(state_.get()).phase, pending ? kPhaseDisconnected : kPhaseConnected);
  }
}

TEST_F(RequestHandlerTest, AutoStopRacingRequests_NeverOverlapsThem) {
  MarkUserConnectBegun();
  platform::fake::SetProcessEnvironment(kSettingAutoStopSeconds, L"1");
  // Each connect arms a one-second stop that may fire while the next request runs.
  for (int round = 0; round < 20; ++round) {
    const std::string reply = Handle(round % 3 == 2 ? kDisconnectRequest : ConnectRequest(""));
    ASSERT_TRUE(Contains(reply, "\"ok\":true")) << reply;
    Handle(kStatusRequest);
  }
  CancelAutoStop(state_.get());
  const PhaseAndNode current = ReadPhase(state_.get());
  EXPECT_EQ(current.phase == kPhaseConnected, IsTunnelRunning());
}

// Several users at one machine: each registration is the user's own, and the
// tunnel is its owner's (and the administrators') until it goes down.
TEST_F(RequestHandlerTest, Users_OwnTheirSessionAndTheirTunnel) {
  MarkUserConnectBegun();
  const Caller a = UserCaller(L"S-1-5-21-7-1001");
  const Caller b = UserCaller(L"S-1-5-21-7-1002");
  const Caller admin = UserCaller(L"S-1-5-21-7-500", true);
  const Caller unknown;
  const std::string owned = "{\"ok\":false,\"error\":\"tunnel_owned_by_another_user\"";
  const auto registration = [](const std::string& nonce) {
    return "{\"v\":1,\"op\":\"register_session\",\"session_nonce\":\"" + nonce + "\"}";
  };
  const struct {
    const Caller* caller;
    std::string request;
    std::string reply_start;
  } steps[] = {
      {&a, registration("a"), "{\"ok\":true"},
      {&b, registration("b"), "{\"ok\":true"},
      {&a, ConnectRequest("a"), "{\"ok\":true,\"phase\":\"connected\""},
      {&b, ConnectRequest("b"), owned},
      {&b, kDisconnectRequest, owned},
      {&b, registration(""), "{\"ok\":true"},  // clears B's alone
      {&b, kStatusRequest, "{\"ok\":true,\"phase\":\"connected\",\"node_id\":\"node-1\""},
      {&a, ConnectRequest("b"), "{\"ok\":false,\"error\":\"session_mismatch\""},
      {&a, ConnectRequest("a"), "{\"ok\":true,\"phase\":\"connected\""},
      {&admin, kDisconnectRequest, "{\"ok\":true,\"phase\":\"disconnected\""},
      {&b, ConnectRequest("any"), "{\"ok\":true,\"phase\":\"connected\""},  // down: anyone's again
      {&a, kDisconnectRequest, owned},
      {&admin, ConnectRequest("admin"), "{\"ok\":true,\"phase\":\"connected\""},
      {&b, kDisconnectRequest, owned},  // the administrator's now
      {&unknown, registration("u"), "{\"ok\":false,\"error\":\"caller_unidentified\""},
      {&unknown, kDisconnectRequest, "{\"ok\":false,\"error\":\"caller_unidentified\""},
      {&unknown, kStatusRequest, "{\"ok\":true"},
      {&a, kDisconnectRequest, owned},
      {&admin, kDisconnectRequest, "{\"ok\":true,\"phase\":\"disconnected\""},
  };
  int step = 0;
  for (const auto& s : steps) {
    const std::string reply = HandleRequest(state_.get(), *s.caller, s.request);
    EXPECT_EQ(reply.rfind(s.reply_start, 0), 0u) << "step " << step << ": " << reply;
    ++step;
  }
  EXPECT_FALSE(IsTunnelRunning());
  EXPECT_TRUE(state_->tunnel_owner.empty());
}

// Status and register_session answer while a connect waits for its tunnel; a
// disconnect ends that wait, and nothing is left running.
TEST_F(RequestHandlerTest, ConnectWaitingForItsTunnel_IsSeenAndCancelledByADisconnect) {
  MarkUserConnectBegun();
  platform::fake::SetCreatedServiceStart(platform::fake::StartBehaviour::kNeverRuns, 0);
  std::future<std::string> connect = std::async(std::launch::async, [this] { return Handle(ConnectRequest("")); });
  ASSERT_TRUE(WaitForPhase(kPhaseConnecting));
  const std::string status = HandleRequest(state_.get(), UserCaller(L"S-1-5-21-7-1002"), kStatusRequest);
  EXPECT_EQ(status.rfind("{\"ok\":true,\"phase\":\"connecting\",\"node_id\":\"node-1\",\"tunnel_running\":false", 0),
            0u)
      << status;
  EXPECT_EQ(HandleRequest(state_.get(), UserCaller(L"S-1-5-21-7-1002"),
                          "{\"op\":\"register_session\",\"session_nonce\":\"x\"}"),
            "{\"ok\":true,\"phase\":\"disconnected\"}");
  EXPECT_NE(connect.wait_for(std::chrono::seconds(0)), std::future_status::ready) << "neither waited for it";
  EXPECT_EQ(Handle(kDisconnectRequest).rfind("{\"ok\":true,\"phase\":\"disconnected\"", 0), 0u);
  // The library it stands for accepts no stop while it starts: this one never
  // runs, so its process was ended at last.
  const std::string connected = connect.get();
  EXPECT_EQ(connected.rfind("{\"ok\":false,\"error\":\"tunnel_start_failed\",\"message\":\"" +
                                std::string(kConnectCancelledMessage) +
                                "; the tunnel service was still starting after 120 s; its process (id ",
                            0),
            0u)
      << connected;
  EXPECT_FALSE(platform::fake::FindService(TunnelServiceName()).has_value());
  EXPECT_FALSE(platform::fake::FileContent(kActiveConf).has_value());
  EXPECT_EQ(ReadPhase(state_.get()).phase, kPhaseDisconnected);
}

// Changes wait for their turn: one place in the queue a user, none once the
// server stops, and a disconnect that may not change a connect in hand
// neither cancels it nor waits.
TEST_F(RequestHandlerTest, QueuedChanges_OneAUserNoneAfterAStopAndNoCancelOfAnotherUsersConnect) {
  MarkUserConnectBegun();
  const Caller b = UserCaller(L"S-1-5-21-7-1002");
  platform::fake::SetCreatedServiceStart(platform::fake::StartBehaviour::kRunsAfterPolls, 60);
  std::future<std::string> connect = std::async(std::launch::async, [this] { return Handle(ConnectRequest("")); });
  ASSERT_TRUE(WaitForPhase(kPhaseConnecting));
  EXPECT_EQ(HandleRequest(state_.get(), b, kDisconnectRequest), ErrorReply(kTunnelOwnedByAnotherUser));
  EXPECT_FALSE(state_->connect_cancelled);
  EXPECT_EQ(connect.get().rfind("{\"ok\":true,\"phase\":\"connected\"", 0), 0u) << "not cancelled by B";

  std::unique_lock<std::mutex> in_hand(state_->work_lock);  // a change of someone's runs
  std::future<std::string> queued = std::async(std::launch::async, [this] { return Handle(kDisconnectRequest); });
  ASSERT_TRUE(Eventually([this] {
    std::lock_guard<std::mutex> guard(state_->state_lock);
    return !state_->changes_waiting.empty();
  }));
  EXPECT_EQ(Handle(ConnectRequest("")), ErrorReply(kChangeInProgress)) << "one place in the queue";
  {
    std::lock_guard<std::mutex> guard(state_->state_lock);
    state_->changes_refused = true;  // as a stop of the server does
  }
  in_hand.unlock();
  EXPECT_EQ(queued.get(), ErrorReply(kServiceStopping));
  EXPECT_EQ(ReadPhase(state_.get()).phase, kPhaseConnected) << "the queued disconnect changed nothing";
}

}  // namespace
}  // namespace quorvane
