// docs/errors.md lists every error code the service, the pipe client and the
// plugin's channels answer with: a code added to the code and not to the
// page (or left on the page when gone) fails here, read from both sides.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

namespace {

std::string ReadSource(const std::string& relative) {
  std::ifstream file(std::string(QUORVANE_SOURCE_DIR) + "/" + relative, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void Collect(const std::string& text, const std::string& pattern, std::set<std::string>* found) {
  const std::regex expression(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), expression); it != std::sregex_iterator(); ++it) {
    found->insert((*it)[1].str());
  }
}

TEST(ErrorCodeReference, EveryCodeInTheCodeIsOnThePageAndNoOther) {
  std::set<std::string> code;
  Collect(ReadSource("service/control/pipe_protocol.h"), R"re(ProtocolError k[A-Za-z]+\{"([a-z_]+)")re", &code);
  Collect(ReadSource("service/control/pipe_protocol.h"), R"re(constexpr char kError[A-Za-z]+\[\] = "([a-z_]+)")re",
          &code);
  Collect(ReadSource("service/routes/route_guard.h"), R"re(constexpr char kError[A-Za-z]+\[\] = "([a-z_]+)")re",
          &code);
  for (const char* file : {"plugin/windows/client/pipe_client.h", "service/control/pipe_server.h"}) {
    Collect(ReadSource(file), R"re(\\"error\\":\\"([a-z_]+)\\")re", &code);
  }
  for (const char* file : {"plugin/windows/quorvane_windows_vpn_plugin.cpp", "plugin/windows/window_channel.cpp"}) {
    Collect(ReadSource(file), R"re(Error\("([a-z_]+)")re", &code);
  }
  std::set<std::string> page;
  Collect(ReadSource("docs/errors.md"), R"re(\n\| `([a-z_]+)` \|)re", &page);
  EXPECT_GE(code.size(), 25u) << "the sources were read";
  EXPECT_EQ(page, code);
}

}  // namespace
