// What a person reads at a glance of a service reply: the phase and node,
// whether the tunnel runs, and for a refusal the error, message and the
// failure reason the reports give. Plain C++, tested natively.
#pragma once

#include <cstdint>
#include <string>

namespace quorvane_ctl {

// The string value of the first "key" in |json| (unescaped for quotes and
// backslashes); empty when absent or not a string.
std::string ReplyText(const std::string& json, const std::string& key);

// A few lines ending in a line feed.
std::string SummarizeReply(const std::string& reply);

// One line for a watch: "generation 7: connected node-1, tunnel running",
// with the service's message where it gave one.
std::string WatchLine(const std::string& reply, uint64_t generation);

// |text| as a JSON string literal, control bytes escaped.
std::string JsonLiteral(const std::string& text);

}  // namespace quorvane_ctl
