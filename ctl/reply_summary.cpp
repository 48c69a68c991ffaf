#include "reply_summary.h"

#include <algorithm>
#include <cstdio>

#include "request_texts.h"

namespace quorvane_ctl {

std::string ReplyText(const std::string& json, const std::string& key) {
  const std::string marker = "\"" + key + "\":\"";
  const size_t start = json.find(marker);
  if (start == std::string::npos) return "";
  std::string value;
  for (size_t at = start + marker.size(); at < json.size(); ++at) {
    if (json[at] == '"') return value;
    if (json[at] == '\\' && at + 1 < json.size()) ++at;
    value.push_back(json[at]);
  }
  return "";
}

namespace {

// The raw value of the first "key" (a number, true or false), or "".
std::string ReplyRaw(const std::string& json, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  const size_t start = json.find(marker);
  if (start == std::string::npos) return "";
  const size_t from = start + marker.size();
  return json.substr(from, json.find_first_of(",}", from) - from);
}

// A status as a person reads it: one labelled line a fact.
std::string StatusLines(const std::string& reply, const std::string& phase) {
  // The reply's own members stand before the reports, which have theirs.
  const std::string top = reply.substr(0, reply.find("\"admin_bypass\":"));
  const size_t bypass_at = reply.find("\"admin_bypass\":");
  const std::string bypass = bypass_at == std::string::npos ? "" : reply.substr(bypass_at);
  const auto or_none = [](const std::string& value) { return value.empty() ? std::string("-") : value; };
  std::string text = "phase:             " + phase + "\n";
  text += "node:              " + or_none(ReplyText(top, "node_id")) + "\n";
  text += "tunnel running:    " + std::string(ReplyRaw(top, "tunnel_running") == "true" ? "yes" : "no") + "\n";
  text += "endpoint:          " + or_none(ReplyText(top, "endpoint")) + "\n";
  text += "tunnel address:    " + or_none(ReplyText(top, "tunnel_address")) + "\n";
  text += "connected since:   " + or_none(ReplyText(top, "connected_since_utc")) + "\n";
  const std::string safe = ReplyRaw(top, "safe_mode");
  text += "safe mode:         " + std::string(safe.empty() ? "-" : safe == "true" ? "on" : "off") + "\n";
  text += "automatic stop:    " + or_none(ReplyText(top, "auto_stop_deadline_utc")) + "\n";
  const std::string applied = ReplyRaw(bypass, "applied");
  const std::string routes = ReplyText(bypass, "route_add_results");
  const size_t count = static_cast<size_t>(std::count(routes.begin(), routes.end(), ';'));
  text += "bypass applied:    " + std::string(applied == "true" ? "yes" : "no");
  if (applied == "true" && count > 0) text += " (" + std::to_string(count) + (count == 1 ? " route)" : " routes)");
  text += "\n";
  const std::string message = ReplyText(top, "message");
  if (!message.empty()) text += "message:           " + message + "\n";
  return text;
}

}  // namespace

std::string SummarizeReply(const std::string& reply) {
  const quorvane_windows_vpn::ServiceReply parsed = quorvane_windows_vpn::ParseServiceReply(reply);
  std::string text;
  if (parsed.ok && parsed.generation) return StatusLines(reply, parsed.phase.value_or("-"));
  if (!parsed.ok && ReplyText(reply, "error") == "pipe_unavailable") {
    return "the service is not reachable: nobody serves \\\\.\\pipe\\QuorvaneVpn. Is it running? "
           "sc query QuorvaneVpnTunnel\n";
  }
  if (parsed.ok) {
    text = "ok: " + parsed.phase.value_or("(no phase)");
    const std::string node = ReplyText(reply, "node_id");
    if (!node.empty()) text += "  node: " + node;
    if (reply.find("\"tunnel_running\":") != std::string::npos) {
      text += std::string("  tunnel running: ") + (reply.find("\"tunnel_running\":true") != std::string::npos ? "yes" : "no");
    }
    return text + "\n";
  }
  const std::string error = ReplyText(reply, "error");
  text = "refused: " + (error.empty() ? std::string("(no error code)") : error) + "\n";
  const std::string message = ReplyText(reply, "message");
  if (!message.empty()) text += "message: " + message + "\n";
  // The reports' own reasons, in the order a person would look.
  for (const char* member : {"\"poc_route_guard\":{", "\"admin_bypass\":{"}) {
    const size_t at = reply.find(member);
    if (at == std::string::npos) continue;
    const std::string reason = ReplyText(reply.substr(at), "failure_reason");
    if (!reason.empty()) {
      text += "failure reason: " + reason + "\n";
      break;
    }
  }
  return text;
}

std::string WatchLine(const std::string& reply, uint64_t generation) {
  const quorvane_windows_vpn::ServiceReply parsed = quorvane_windows_vpn::ParseServiceReply(reply);
  std::string line = "generation " + std::to_string(generation) + ": " + parsed.phase.value_or("(no phase)");
  const std::string node = ReplyText(reply, "node_id");
  if (!node.empty()) line += " " + node;
  line += reply.find("\"tunnel_running\":true") != std::string::npos ? ", tunnel running" : ", no tunnel running";
  // The reply's own message stands before the reports, which have theirs.
  const std::string top = reply.substr(0, reply.find("\"admin_bypass\":"));
  const std::string message = ReplyText(top, "message");
  if (!message.empty()) line += " (" + message + ")";
  return line + "\n";
}

std::string JsonLiteral(const std::string& text) {
  std::string literal = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      literal.push_back('\\');
      literal.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      literal += escaped;
    } else {
      literal.push_back(static_cast<char>(c));
    }
  }
  return literal + "\"";
}

}  // namespace quorvane_ctl
