// Base fixture of the native tests: every test starts on an empty fake Windows.
#pragma once

#include <gtest/gtest.h>

#include "platform/fake/fake_windows.h"

class FakeWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::fake::Reset(); }
  void TearDown() override { platform::fake::Reset(); }
};
