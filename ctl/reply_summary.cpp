#include "reply_summary.h"

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

std::string SummarizeReply(const std::string& reply) {
  const quorvane_windows_vpn::ServiceReply parsed = quorvane_windows_vpn::ParseServiceReply(reply);
  std::string text;
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
