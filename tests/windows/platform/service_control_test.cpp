#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/process.h"

namespace {

using platform::ScHandle;

constexpr wchar_t kName[] = L"QuorvaneSeamTest";

// A registration of a program that is never started: what is tested is the
// manager's bookkeeping.
TEST(ServiceControl, CreateQueryRepointAndDelete_ReportTheManagersErrors) {
  ScHandle manager;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ScmOpenManager(platform::kScManagerAllAccess, &manager, &error_code)) << error_code;
  ScHandle service;
  EXPECT_FALSE(platform::ScmOpenService(manager, kName, platform::kServiceAllAccess, &service, &error_code));
  EXPECT_EQ(error_code, platform::kErrorServiceDoesNotExist);

  platform::ServiceRegistration registration;
  registration.name = kName;
  registration.display_name = kName;
  registration.binary_path = L"\"C:\\nowhere\\quorvane seam.exe\" --run-as-service";
  registration.dependencies = {L"Nsi", L"TcpIp"};
  ASSERT_TRUE(platform::ScmCreateService(manager, registration, platform::kServiceAllAccess, &service, &error_code))
      << error_code;
  ScHandle duplicate;
  EXPECT_FALSE(
      platform::ScmCreateService(manager, registration, platform::kServiceAllAccess, &duplicate, &error_code));
  EXPECT_EQ(error_code, platform::kErrorServiceExists);

  platform::ServiceStatus status;
  ASSERT_TRUE(platform::ScmQueryStatus(service, &status, &error_code));
  EXPECT_EQ(status.state, platform::kServiceStopped);
  EXPECT_FALSE(platform::ScmControlStop(service, &status, &error_code));
  EXPECT_EQ(error_code, platform::kErrorServiceNotActive);
  EXPECT_TRUE(platform::ScmChangeBinaryPath(service, L"\"C:\\elsewhere.exe\"", &error_code)) << error_code;
  ASSERT_TRUE(platform::ScmChangeStartType(service, platform::kServiceAutoStart, &error_code)) << error_code;
  DWORD start = 0, size = sizeof(start);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, (std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + kName).c_str(),
                         L"Start", RRF_RT_REG_DWORD, nullptr, &start, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(start, platform::kServiceAutoStart);
  platform::ScmSetServiceSidType(service, platform::kServiceSidTypeUnrestricted, &error_code);  // Wine: 124
  EXPECT_FALSE(platform::ScmStartService(service, &error_code)) << "the program does not exist";

  ASSERT_TRUE(platform::ScmDeleteService(service, &error_code)) << error_code;
  EXPECT_FALSE(platform::ScmDeleteService(service, &error_code));
  EXPECT_EQ(error_code, platform::kErrorServiceMarkedForDelete);
  // Windows refuses to start a service marked for deletion (1072); Wine tries
  // to run it (here 2: its program does not exist).
  EXPECT_FALSE(platform::ScmStartService(service, &error_code));
  EXPECT_EQ(error_code, 2u);
  service.Reset();
  EXPECT_FALSE(platform::ScmOpenService(manager, kName, platform::kServiceQueryStatus, &service, &error_code));
  EXPECT_EQ(error_code, platform::kErrorServiceDoesNotExist);
}

TEST(ServiceControl, ConnectOnlyManager_CannotCreate) {
  ScHandle manager;
  uint32_t error_code = 0;
  ASSERT_TRUE(platform::ScmOpenManager(platform::kScManagerConnect, &manager, &error_code));
  platform::ServiceRegistration registration;
  registration.name = kName;
  registration.binary_path = L"C:\\x.exe";
  ScHandle service;
  EXPECT_FALSE(platform::ScmCreateService(manager, registration, platform::kServiceAllAccess, &service, &error_code));
  EXPECT_EQ(error_code, 5u);
}

}  // namespace
