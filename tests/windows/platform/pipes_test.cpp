#include "platform/pipes.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <future>
#include <thread>

#include "access_lists.h"
#include "dacl_text.h"
#include "platform/process.h"
#include "platform/sessions.h"
#include "unique_handle.h"

namespace {

using platform::PipeHandle;
using platform::win32::UniqueHandle;

constexpr wchar_t kPipe[] = L"\\\\.\\pipe\\QuorvanePipeSeamTest";

platform::PipeInstanceOptions Overlapped() {
  platform::PipeInstanceOptions options;
  options.open_mode = platform::kPipeAccessDuplex | platform::kFileFlagOverlapped;
  return options;
}

// A stop event nobody sets, for the waits that end by a client.
platform::StopEvent NeverSet() {
  platform::StopEvent event;
  uint32_t error_code = 0;
  platform::CreateStopEvent(&event, &error_code);
  return event;
}

UniqueHandle OpenClient() {
  UniqueHandle client(CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (client.valid()) SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr);
  return client;
}

TEST(Pipes, OneInstance_ReadsCutsLongMessagesAndTimesOut) {
  PipeHandle pipe;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipe, Overlapped(), nullptr, &pipe, &error_code)) << error_code;
  PipeHandle second;
  EXPECT_FALSE(platform::CreatePipeInstance(kPipe, Overlapped(), nullptr, &second, &error_code));
  EXPECT_EQ(error_code, 231u) << "one instance at most";

  // A client that connected before the wait began.
  UniqueHandle client = OpenClient();
  ASSERT_TRUE(client.valid());
  EXPECT_FALSE(platform::WaitForPipeClient(pipe, NeverSet(), &error_code));
  EXPECT_EQ(error_code, platform::kErrorPipeConnected);

  std::string data;
  EXPECT_FALSE(platform::ReadPipeMessage(pipe, 10, 200, &data, &error_code)) << "nothing written yet";
  EXPECT_EQ(error_code, platform::kErrorTimeout);

  const std::string message = "0123456789abcdef";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client.get(), message.data(), static_cast<DWORD>(message.size()), &written, nullptr));
  EXPECT_FALSE(platform::ReadPipeMessage(pipe, 10, platform::kWaitForever, &data, &error_code));
  EXPECT_EQ(error_code, platform::kErrorMoreData);
  EXPECT_EQ(data, "0123456789");

  ASSERT_TRUE(platform::WritePipeMessage(pipe, "reply", 1000, nullptr, &error_code)) << error_code;
  char buffer[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(client.get(), buffer, sizeof(buffer), &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "reply");
  // The client has its reply but keeps its end open: the wait ends on time,
  // and the rest of the long message it sent does not count as done.
  EXPECT_FALSE(platform::WaitForPipeClientDone(pipe, 200, &error_code));
  EXPECT_EQ(error_code, platform::kErrorTimeout);
  EXPECT_TRUE(platform::DisconnectPipe(pipe, &error_code)) << error_code;
  EXPECT_FALSE(ReadFile(client.get(), buffer, sizeof(buffer), &got, nullptr)) << "disconnected";
}

// A reply longer than the pipe's buffer waits for a client that never reads
// only so long, or until the stop.
TEST(Pipes, ReplyNobodyReads_EndsOnTimeOrAtTheStop) {
  PipeHandle pipe;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipe, Overlapped(), nullptr, &pipe, &error_code));
  UniqueHandle client = OpenClient();
  ASSERT_TRUE(client.valid());
  const std::string longer(200000, 'x');
  EXPECT_FALSE(platform::WritePipeMessage(pipe, longer, 300, nullptr, &error_code));
  EXPECT_EQ(error_code, platform::kErrorTimeout);
  platform::StopEvent stop;
  ASSERT_TRUE(platform::CreateStopEvent(&stop, &error_code));
  platform::SignalStopEvent(stop);
  EXPECT_FALSE(platform::WritePipeMessage(pipe, longer, platform::kWaitForever, &stop, &error_code));
  EXPECT_EQ(error_code, platform::kErrorOperationAborted);
}

// A client that reads its reply and closes is done at once.
TEST(Pipes, ClientThatClosesAfterItsReply_IsDone) {
  PipeHandle pipe;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipe, Overlapped(), nullptr, &pipe, &error_code));
  UniqueHandle client = OpenClient();
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(platform::WritePipeMessage(pipe, "reply", 1000, nullptr, &error_code));
  std::thread reader([&client] {
    char buffer[16];
    DWORD got = 0;
    ReadFile(client.get(), buffer, sizeof(buffer), &got, nullptr);
    client.reset();
  });
  EXPECT_TRUE(platform::WaitForPipeClientDone(pipe, 10000, &error_code)) << error_code;
  reader.join();
  EXPECT_TRUE(platform::DisconnectPipe(pipe, &error_code)) << error_code;
}

// The server's instance: kept across clients, so that the name never lapses.
TEST(Pipes, KeptInstance_ServesTheNextClientAfterADisconnect) {
  platform::PipeInstanceOptions options = Overlapped();
  options.open_mode |= platform::kFileFlagFirstPipeInstance;
  options.pipe_mode |= platform::kPipeRejectRemoteClients;
  PipeHandle pipe;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipe, options, nullptr, &pipe, &error_code)) << error_code;
  PipeHandle twin;
  EXPECT_FALSE(platform::CreatePipeInstance(kPipe, options, nullptr, &twin, &error_code)) << "the name is taken";
  const platform::StopEvent never = NeverSet();
  for (const char* request : {"first", "second", "third"}) {
    // A disconnected instance takes clients again once it waits for one.
    std::future<uint32_t> waited = std::async(std::launch::async, [&pipe, &never] {
      uint32_t code = 0;
      return platform::WaitForPipeClient(pipe, never, &code) ? 0u : code;
    });
    UniqueHandle client;
    for (int i = 0; i < 1000 && !client.valid(); ++i) {
      client = OpenClient();
      if (!client.valid()) Sleep(1);
    }
    ASSERT_TRUE(client.valid()) << request;
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(client.get(), request, static_cast<DWORD>(strlen(request)), &written, nullptr));
    const uint32_t wait_result = waited.get();
    EXPECT_TRUE(wait_result == 0 || wait_result == platform::kErrorPipeConnected) << wait_result;
    std::string data;
    ASSERT_TRUE(platform::ReadPipeMessage(pipe, 100, 5000, &data, &error_code)) << error_code;
    EXPECT_EQ(data, request);
    uint32_t client_process = 0;
    EXPECT_TRUE(platform::PipeClientProcessId(pipe, &client_process, &error_code)) << error_code;
    EXPECT_EQ(client_process, GetCurrentProcessId()) << "the client is this test";
    EXPECT_TRUE(platform::DisconnectPipe(pipe, &error_code)) << error_code;
  }
}

// A client that connected and wrote before the server's wait is still served,
// and a read cancelled on time-out leaves the instance fit for the next read.
TEST(Pipes, ClientThatCameFirst_IsServedAfterATimedOutRead) {
  PipeHandle pipe;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipe, Overlapped(), nullptr, &pipe, &error_code));
  UniqueHandle client = OpenClient();
  ASSERT_TRUE(client.valid());
  std::string data;
  EXPECT_FALSE(platform::ReadPipeMessage(pipe, 100, 100, &data, &error_code));
  EXPECT_EQ(error_code, platform::kErrorTimeout);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client.get(), "{\"op\":\"status\"}", 15, &written, nullptr));
  EXPECT_FALSE(platform::WaitForPipeClient(pipe, NeverSet(), &error_code));
  EXPECT_EQ(error_code, platform::kErrorPipeConnected);
  ASSERT_TRUE(platform::ReadPipeMessage(pipe, 100, 5000, &data, &error_code)) << error_code;
  EXPECT_EQ(data, "{\"op\":\"status\"}");
}

// The stop event ends a server's wait without anyone opening the pipe, and
// the instance waits for the next client as before.
TEST(Pipes, StopEvent_EndsAWaitAndTheInstanceServesOn) {
  PipeHandle pipe;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipe, Overlapped(), nullptr, &pipe, &error_code));
  platform::StopEvent stop;
  ASSERT_TRUE(platform::CreateStopEvent(&stop, &error_code)) << error_code;
  EXPECT_FALSE(platform::WaitForStopEvent(stop, 0));
  std::future<uint32_t> waited = std::async(std::launch::async, [&pipe, &stop] {
    uint32_t code = 0;
    return platform::WaitForPipeClient(pipe, stop, &code) ? 0u : code;
  });
  platform::SignalStopEvent(stop);
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(waited.get(), platform::kErrorOperationAborted);
  EXPECT_TRUE(platform::WaitForStopEvent(stop, 0)) << "it stays set";

  UniqueHandle client = OpenClient();
  ASSERT_TRUE(client.valid()) << "the instance still takes a client";
  EXPECT_FALSE(platform::WaitForPipeClient(pipe, NeverSet(), &error_code));
  EXPECT_EQ(error_code, platform::kErrorPipeConnected);
}

// Who calls, read from the token of a client that allows identification only,
// as the product's clients do; Wine runs every process as its one user.
TEST(Pipes, Caller_IsReadFromAnIdentificationLevelClient) {
  PipeHandle pipe;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::CreatePipeInstance(kPipe, Overlapped(), nullptr, &pipe, &error_code));
  UniqueHandle client(CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  ASSERT_TRUE(client.valid());
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client.get(), "x", 1, &written, nullptr));
  std::string data;
  ASSERT_TRUE(platform::ReadPipeMessage(pipe, 10, 5000, &data, &error_code));
  platform::PipeCaller caller;
  ASSERT_TRUE(platform::ReadPipeCaller(pipe, &caller, &error_code)) << error_code;
  std::wstring own;
  ASSERT_TRUE(platform::ProcessUserSid(&own, &error_code));
  EXPECT_EQ(caller.user_sid, own);
  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(caller.session_id, session);
  // Reverted: this thread is itself again, not its client.
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

// Wine does not enforce pipe access lists, so what is checked is the one built.
TEST(Pipes, Security_HoldsTheThreeEntriesUnprotected) {
  const std::vector<platform::AccessGrant> grants = {
      {L"S-1-5-18", platform::kGenericAll, 0},
      {L"S-1-5-32-544", platform::kGenericAll, 0},
      {L"S-1-5-21-1-2-3-1001", platform::kPipeUserAccess, 0},
  };
  platform::win32::BuiltDescriptor built;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::win32::MakeSecurityDescriptor(grants, false, &built, &error_code, L"S-1-5-18"));
  EXPECT_EQ(DaclText(&built, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            L"O:SYD:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12018b;;;S-1-5-21-1-2-3-1001)");

  // The owner reaches the pipe, where a client reads it back.
  platform::PipeSecurity security;
  ASSERT_TRUE(platform::BuildPipeSecurity(grants, L"S-1-5-32-544", &security, &error_code));
  PipeHandle pipe;
  EXPECT_TRUE(platform::CreatePipeInstance(kPipe, Overlapped(), &security, &pipe, &error_code)) << error_code;
  UniqueHandle client = OpenClient();
  ASSERT_TRUE(client.valid());
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(client.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                            nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
  LocalFree(descriptor);

  // A user who logs on later gets an entry on the kept instance.
  PipeHandle kept;
  platform::PipeInstanceOptions options = Overlapped();
  options.open_mode |= platform::kWriteDac;
  const std::wstring other = std::wstring(kPipe) + L"Kept";
  ASSERT_TRUE(platform::CreatePipeInstance(other, options, &security, &kept, &error_code)) << error_code;
  std::vector<platform::AccessGrant> more = grants;
  more.push_back({L"S-1-5-21-1-2-3-1002", platform::kPipeUserAccess, 0});
  platform::PipeSecurity updated;
  ASSERT_TRUE(platform::BuildPipeSecurity(more, L"S-1-5-32-544", &updated, &error_code));
  EXPECT_TRUE(platform::ApplyPipeSecurity(kept, updated, &error_code)) << error_code;
  // Wine hands out its one user's token for any session; Windows only to the system account.
  std::wstring user;
  if (platform::SessionUserSid(platform::ActiveConsoleSessionId(), &user, &error_code)) {
    EXPECT_EQ(user.rfind(L"S-1-5-", 0), 0u) << user;
  }
}

}  // namespace
