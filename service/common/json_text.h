// JSON as this service writes and reads it, with no JSON library: texts
// escaped into replies and reports, members appended to an object under
// construction, and the flat scanner that finds a string value by its key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {

// The string value of the first occurrence of "key" anywhere in |request|,
// unescaped. Empty when the key is absent, its value is not a string (numbers,
// true/false/null, objects, arrays) or the string is not terminated.
std::string ReadJsonString(const std::string& request, const std::string& key);

// Backslash before each double quote and each backslash; bytes below 0x20 as
// \n, \r, \t, \b, \f or \u00XX; a byte that is not part of well-formed
// UTF-8 as U+FFFD. So any text makes valid JSON; well-formed text without
// control bytes comes out unchanged.
std::string JsonEscape(const std::string& text);
void AppendJsonEscaped(std::string* out, const std::string& text);

// Members appended to an object under construction (|json| ends in "{" or in
// a member), each preceded by a comma unless it is the first.
void AppendJsonFlag(std::string* json, const char* key, bool value);
void AppendJsonNumber(std::string* json, const char* key, int64_t value);
void AppendJsonText(std::string* json, const char* key, const std::string& value);
// |value| is JSON already (an array or object).
void AppendJsonRaw(std::string* json, const char* key, const std::string& value);
// Reports echo texts that a request or the route table decides (AllowedIPs,
// route summaries, addresses): each is cut to this many bytes of JSON, marked,
// so that a whole reply stays within the pipe's 65,535 bytes whatever came in.
// A real profile's echo is a few hundred bytes.
constexpr size_t kMaxEchoedBytes = 2048;
// AppendJsonText, cut to kMaxEchoedBytes escaped with "...(cut: N bytes in all)" at its end.
void AppendJsonEchoed(std::string* json, const char* key, const std::string& value);
// AppendJsonRaw of an array, its elements cut to fit kMaxEchoedBytes with a
// last text element "...(cut: K of N entries shown)".
void AppendJsonEchoedArray(std::string* json, const char* key, const std::string& array);
// A JSON array of the texts, each escaped.
std::string JsonTextArray(const std::vector<std::string>& texts);

}  // namespace quorvane
