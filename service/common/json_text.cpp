#include "common/json_text.h"

#include <algorithm>

namespace quorvane {
namespace {

bool IsJsonSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string Unescape(const std::string& raw) {
  std::string value;
  value.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      value.push_back(raw[i]);
      continue;
    }
    const char next = raw[i + 1];
    switch (next) {
      case 'n': value.push_back('\n'); break;
      case 'r': value.push_back('\r'); break;
      case 't': value.push_back('\t'); break;
      case '"': value.push_back('"'); break;
      case '/': value.push_back('/'); break;
      case '\\': value.push_back('\\'); break;
      default:
        // Unknown sequences (\u included) stay as they were sent.
        value.push_back('\\');
        value.push_back(next);
        break;
    }
    ++i;
  }
  return value;
}

// The node id comes from the request and may hold quotes or backslashes; it is
// escaped so that the reply stays one well-formed object.
}  // namespace

std::string ReadJsonString(const std::string& request, const std::string& key) {
  const size_t key_at = request.find("\"" + key + "\"");
  if (key_at == std::string::npos) return std::string();
  size_t i = request.find(':', key_at);
  if (i == std::string::npos) return std::string();
  ++i;
  while (i < request.size() && IsJsonSpace(request[i])) ++i;
  if (i >= request.size() || request[i] != '"') return std::string();
  const size_t begin = ++i;
  while (i < request.size()) {
    if (request[i] == '\\') {
      i += 2;
      continue;
    }
    if (request[i] == '"') return Unescape(request.substr(begin, i - begin));
    ++i;
  }
  return std::string();  // Unterminated.
}

// The length of the well-formed UTF-8 sequence at |at|, or 0 when the bytes
// there are not one (stray continuation, overlong, surrogate, beyond U+10FFFF,
// cut short).
size_t Utf8SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
  else return 0;
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  }
  return length;
}

void AppendJsonEscaped(std::string* out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string& escaped = *out;
  escaped.reserve(escaped.size() + text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': escaped += "\\\""; break;
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\t': escaped += "\\t"; break;
      case '\b': escaped += "\\b"; break;
      case '\f': escaped += "\\f"; break;
      default:
        if (byte < 0x20) {
          escaped += "\\u00";
          escaped.push_back(kHex[byte >> 4]);
          escaped.push_back(kHex[byte & 0xF]);
        } else if (byte < 0x80) {
          escaped.push_back(c);
        } else if (const size_t length = Utf8SequenceLength(text, i)) {
          escaped.append(text, i, length);
          i += length - 1;
        } else {
          escaped += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
        }
    }
  }
}

std::string JsonEscape(const std::string& text) {
  std::string escaped;
  AppendJsonEscaped(&escaped, text);
  return escaped;
}

namespace {

void AppendKey(std::string* json, const char* key) {
  if (!json->empty() && json->back() != '{') json->push_back(',');
  json->push_back('"');
  json->append(key);
  json->append("\":");
}

}  // namespace

void AppendJsonFlag(std::string* json, const char* key, bool value) {
  AppendKey(json, key);
  json->append(value ? "true" : "false");
}

void AppendJsonNumber(std::string* json, const char* key, int64_t value) {
  AppendKey(json, key);
  json->append(std::to_string(value));
}

void AppendJsonText(std::string* json, const char* key, const std::string& value) {
  AppendKey(json, key);
  json->push_back('"');
  AppendJsonEscaped(json, value);
  json->push_back('"');
}

void AppendJsonRaw(std::string* json, const char* key, const std::string& value) {
  AppendKey(json, key);
  json->append(value);
}

void AppendJsonEchoed(std::string* json, const char* key, const std::string& value) {
  std::string escaped = JsonEscape(value);
  if (escaped.size() > kMaxEchoedBytes) {
    const std::string marker = "...(cut: " + std::to_string(value.size()) + " bytes in all)";
    // The longest start of the text whose escaped form leaves room for the mark.
    size_t keep = std::min(value.size(), kMaxEchoedBytes - marker.size());
    do {
      escaped = JsonEscape(value.substr(0, keep));
      keep = keep * 3 / 4;
    } while (escaped.size() + marker.size() > kMaxEchoedBytes);
    escaped += marker;
  }
  AppendKey(json, key);
  json->push_back('"');
  json->append(escaped);
  json->push_back('"');
}

namespace {

// The elements of a JSON array as this service writes them (texts and flat
// objects), each as it stands.
std::vector<std::string> ArrayElements(const std::string& array) {
  std::vector<std::string> elements;
  int depth = 0;
  bool in_text = false;
  size_t start = 1;
  for (size_t at = 1; at + 1 < array.size(); ++at) {
    const char c = array[at];
    if (in_text) {
      if (c == '\\') ++at;
      else if (c == '"') in_text = false;
    } else if (c == '"') {
      in_text = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == ',' && depth == 0) {
      elements.push_back(array.substr(start, at - start));
      start = at + 1;
    }
  }
  if (array.size() > 2) elements.push_back(array.substr(start, array.size() - 1 - start));
  return elements;
}

}  // namespace

void AppendJsonEchoedArray(std::string* json, const char* key, const std::string& array) {
  if (array.size() <= kMaxEchoedBytes) return AppendJsonRaw(json, key, array);
  const std::vector<std::string> elements = ArrayElements(array);
  std::string cut = "[";
  size_t shown = 0;
  const auto mark = [&elements](size_t count) {
    return "\"...(cut: " + std::to_string(count) + " of " + std::to_string(elements.size()) + " entries shown)\"";
  };
  while (shown < elements.size() &&
         cut.size() + elements[shown].size() + 1 + mark(shown + 1).size() + 2 <= kMaxEchoedBytes) {
    cut += elements[shown++] + ",";
  }
  AppendJsonRaw(json, key, cut + mark(shown) + "]");
}

std::string JsonTextArray(const std::vector<std::string>& texts) {
  std::string json = "[";
  for (size_t i = 0; i < texts.size(); ++i) {
    json += i > 0 ? ",\"" : "\"";
    AppendJsonEscaped(&json, texts[i]);
    json += "\"";
  }
  return json + "]";
}

}  // namespace quorvane
