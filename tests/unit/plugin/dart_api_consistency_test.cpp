// The Dart API and the plugin's C++ side must name the same channels,
// methods, events and argument keys: a mismatch fails only at run time in an
// application, so it is caught here by reading both sides' sources.
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

// The part of |text| from |begin| to the next |end|; empty when absent.
std::string Between(const std::string& text, const std::string& begin, const std::string& end) {
  const size_t start = text.find(begin);
  if (start == std::string::npos) return "";
  const size_t stop = text.find(end, start + begin.size());
  return text.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
}

// Every first group of |pattern| in |text|.
std::set<std::string> Matches(const std::string& text, const std::string& pattern) {
  std::set<std::string> found;
  const std::regex expression(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), expression); it != std::sregex_iterator(); ++it) {
    found.insert((*it)[1].str());
  }
  return found;
}

struct Sources {
  std::string dart = ReadSource("plugin/lib/quorvane_windows_vpn.dart");
  std::string header = ReadSource("plugin/windows/quorvane_windows_vpn_plugin.h");
  std::string plugin = ReadSource("plugin/windows/quorvane_windows_vpn_plugin.cpp");
  std::string window = ReadSource("plugin/windows/window_channel.cpp");
  std::string texts = ReadSource("plugin/windows/client/request_texts.cpp");
  std::string maps = ReadSource("plugin/windows/ipc_messages.cpp");
  // Where the error codes the Dart constants name are made.
  std::string codes = ReadSource("service/control/pipe_protocol.h") + ReadSource("service/routes/route_guard.h") +
                      ReadSource("plugin/windows/client/pipe_client.h") + ReadSource("service/control/pipe_server.h");
};

// The differences between the two sides, one line each; empty when they agree.
std::string Mismatches(const Sources& s) {
  std::string found;
  const auto compare = [&found](const char* what, const std::set<std::string>& dart, const std::set<std::string>& cpp) {
    if (dart.empty() || dart != cpp) {
      found += std::string(what) + ": Dart {";
      for (const std::string& name : dart) found += name + " ";
      found += "} C++ {";
      for (const std::string& name : cpp) found += name + " ";
      found += "}\n";
    }
  };
  compare("IPC channel", Matches(s.dart, R"re(ipcChannelName = '([^']+)')re"),
          Matches(s.header, R"re(kIpcChannelName\[\] = "([^"]+)")re"));
  compare("window channel", Matches(s.dart, R"re(windowChannelName = '([^']+)')re"),
          Matches(s.header, R"re(kWindowChannelName\[\] = "([^"]+)")re"));
  compare("IPC methods", Matches(s.dart, R"re(_call\('([A-Za-z]+)')re"), Matches(s.plugin, R"re(method == "([A-Za-z]+)")re"));
  compare("window methods", Matches(s.dart, R"re(invokeMethod<[^(]*>\('([A-Za-z]+)')re"),
          Matches(s.window, R"re(method == "([A-Za-z]+)")re"));
  compare("window events", Matches(s.dart, R"re(case '([A-Za-z]+)':)re"), Matches(s.window, R"re(InvokeMethod\(\s*"([A-Za-z]+)")re"));
  std::set<std::string> cpp_arguments = Matches(s.plugin, R"re(Map(?:String|Count)\(\*arguments, "([a-z_]+)"\))re");
  const std::set<std::string> profile = Matches(s.plugin, R"re(EncodableValue\("(profile)"\))re");
  cpp_arguments.insert(profile.begin(), profile.end());
  compare("IPC argument keys", Matches(s.dart, R"re(<String, Object>\{'([a-z_]+)':)re"),
          [&] {
            std::set<std::string> all = cpp_arguments;
            for (const std::string& key : Matches(s.dart, R"re(, '([a-z_]+)': profile)re")) all.erase(key);
            return all;
          }());
  // The text fields the core writes, and what the Flutter layer reads besides.
  std::set<std::string> cpp_profile =
      Matches(Between(s.texts, "for (const char* key : {", "})"), R"re("([a-z_]+)")re");
  for (const std::string& key : Matches(s.maps, R"re((?:Find|ListOfTexts)\((?:map|profile), "([a-z_]+)"\))re")) {
    cpp_profile.insert(key);
  }
  compare("profile keys", Matches(Between(s.dart, "toMap() =>", "};"), R"re('([a-z_]+)':)re"), cpp_profile);
  std::set<std::string> cpp_codes = Matches(s.codes, R"re(ProtocolError k[A-Za-z]+\{"([a-z_]+)")re");
  for (const char* pattern : {R"re(constexpr char kError[A-Za-z]+\[\] = "([a-z_]+)")re", R"re(\\"error\\":\\"([a-z_]+)\\")re"}) {
    for (const std::string& code : Matches(s.codes, pattern)) cpp_codes.insert(code);
  }
  for (const std::string& code : Matches(s.plugin + s.window, R"re(Error\("([a-z_]+)")re")) cpp_codes.insert(code);
  compare("error codes", Matches(Between(s.dart, "class VpnErrorCodes {", "\n}"), R"re(static const String [A-Za-z]+ = '([a-z_]+)';)re"),
          cpp_codes);
  return found;
}

TEST(DartApiConsistency, DartAndCppNameTheSameChannelsMethodsEventsAndKeys) {
  const Sources sources;
  ASSERT_FALSE(sources.dart.empty());
  EXPECT_EQ(Mismatches(sources), "");
}

// The check itself: each kind of drift is found.
TEST(DartApiConsistency, EachDriftIsFound) {
  const struct {
    const char* label;
    const char* from;
    const char* to;
  } drifts[] = {
      {"a renamed method", "_call('status'", "_call('getStatus'"},
      {"a renamed event", "case 'onCloseRequested':", "case 'onClose':"},
      {"a renamed profile key", "'endpoint_port': endpointPort,", "'port': endpointPort,"},
      {"a renamed channel", "ipcChannelName = 'quorvane.windows_vpn/ipc'", "ipcChannelName = 'quorvane/ipc'"},
      {"a renamed window method", "invokeMethod<void>('completeClose')", "invokeMethod<void>('close')"},
      {"an error code without its constant", "static const String watchersBusy = 'watchers_busy';", ""},
  };
  for (const auto& drift : drifts) {
    Sources sources;
    const size_t at = sources.dart.find(drift.from);
    ASSERT_NE(at, std::string::npos) << drift.label;
    sources.dart.replace(at, std::string(drift.from).size(), drift.to);
    EXPECT_NE(Mismatches(sources), "") << drift.label;
  }
}

}  // namespace
