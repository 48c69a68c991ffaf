// QuorvaneVpnCtl: the command-line client of the Quorvane VPN service, for
// administrators and tests. It sends the plugin's requests (built by the
// plugin's own code) over the service's pipe, prints the reply, and exits 0
// exactly when the plugin would report "ok" true.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "pipe_client.h"
#include "service_pipe.h"
#include "profile_json.h"
#include "reply_summary.h"
#include "request_texts.h"
#include "support_report.h"

namespace {

constexpr char kUsage[] =
    "QuorvaneVpnCtl [--json] <command>\n"
    "  status\n"
    "  register <nonce>\n"
    "  connect <profile.json> [nonce]\n"
    "  disconnect [reason]\n"
    "  watch [count]           (a line at each change of the status; count: stop after that many)\n"
    "  send <raw-json>\n"
    "  report                  (one JSON document for support)\n"
    "  --help | -h | help      (this text)\n"
    "  --version\n"
    "A short summary is printed; --json (anywhere) prints the service's reply as it came.\n"
    "Exit codes: 0 ok, 1 refused or the service not reachable, 2 a usage error.\n";

using quorvane_ctl::Utf8;
using quorvane_ctl::SendAsThisUser;

constexpr DWORD kWatchBusyRetryMs = 2000;

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// The request for the command line; false (after saying why) when there is none.
bool BuildRequest(int argc, wchar_t** argv, std::string* request) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  const std::string second = argc > 2 ? Utf8(argv[2]) : "";
  if (command == L"status" && argc == 2) {
    *request = quorvane_windows_vpn::StatusRequest();
  } else if (command == L"register" && argc == 3) {
    *request = quorvane_windows_vpn::RegisterSessionRequest(second);
  } else if (command == L"disconnect" && argc <= 3) {
    *request = quorvane_windows_vpn::DisconnectRequest(argc == 3 ? second : "user_action");
  } else if (command == L"send" && argc == 3) {
    *request = second;
  } else if (command == L"connect" && (argc == 3 || argc == 4)) {
    std::ifstream file(argv[2], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read profile %s\n", second.c_str());
      return false;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    quorvane_windows_vpn::ConnectProfile profile;
    std::string error;
    if (!quorvane_ctl::ParseProfileJson(text, &profile, &error)) {
      std::fprintf(stderr, "profile %s is not a JSON object: %s\n", second.c_str(), error.c_str());
      return false;
    }
    *request = quorvane_windows_vpn::ConnectRequest(argc == 4 ? Utf8(argv[3]) : "", profile);
  } else {
    Usage();
    return false;
  }
  return true;
}

// A line at the first status and at each change after it, until |count|
// lines were printed (none: for ever). A refusal ends it, except the service's
// word that others watch already, which is tried again a little later.
int Watch(bool raw, long count) {
  std::optional<uint64_t> since;
  for (long printed = 0; count <= 0 || printed < count;) {
    const std::string reply = SendAsThisUser(quorvane_windows_vpn::WatchRequest(since));
    const quorvane_windows_vpn::ServiceReply parsed = quorvane_windows_vpn::ParseServiceReply(reply);
    if (!parsed.ok && quorvane_ctl::ReplyText(reply, "error") == "watchers_busy") {
      Sleep(kWatchBusyRetryMs);
      continue;
    }
    if (!parsed.ok || !parsed.generation) {
      const std::string shown = raw ? reply + "\n" : quorvane_ctl::SummarizeReply(reply);
      std::fwrite(shown.data(), 1, shown.size(), stdout);
      return 1;
    }
    if (parsed.generation != since) {
      const std::string line = raw ? reply + "\n" : quorvane_ctl::WatchLine(reply, *parsed.generation);
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
      ++printed;
    }
    since = parsed.generation;
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Before anything loads a library: System32 only, never this program's own
  // folder (a copy run from Downloads) or the working folder.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // "--json" may stand anywhere; the rest is the command.
  bool raw = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::wstring(argv[i]) == L"--json") {
      raw = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  const std::wstring first = argc > 1 ? argv[1] : L"";
  if (argc == 2 && (first == L"--help" || first == L"-h" || first == L"help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && first == L"--version") {
    std::printf("QuorvaneVpnCtl %s\n", QUORVANE_VERSION);
    return 0;
  }
  if (argc == 2 && std::wstring(argv[1]) == L"report") {
    const std::string report = quorvane_ctl::SupportReport();
    std::fwrite(report.data(), 1, report.size(), stdout);
    std::fputc('\n', stdout);
    return 0;
  }
  if (argc >= 2 && argc <= 3 && std::wstring(argv[1]) == L"watch") {
    wchar_t* end = nullptr;
    const long count = argc == 3 ? std::wcstol(argv[2], &end, 10) : 0;
    if (argc == 3 && (end == argv[2] || *end != L'\0' || count <= 0)) return Usage();
    return Watch(raw, count);
  }
  std::string request;
  if (!BuildRequest(argc, argv, &request)) return 2;
  const std::string reply = SendAsThisUser(request);
  const std::string shown = raw ? reply + "\n" : quorvane_ctl::SummarizeReply(reply);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  return quorvane_windows_vpn::ParseServiceReply(reply).ok ? 0 : 1;
}
