#include "profile_json.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

namespace quorvane_ctl {
namespace {

// A JSON value as far as a profile needs it: the kinds Dart would hand over,
// the text of a string, the value of an integer, the elements of a list.
// Objects inside are read and checked, their members dropped.
struct JsonValue {
  enum class Kind { kNull, kBool, kInt32, kInt64, kDouble, kString, kList, kObject };
  Kind kind = Kind::kNull;
  std::string text;
  int64_t integer = 0;
  std::vector<JsonValue> list;
};
using JsonObject = std::map<std::string, JsonValue>;

struct Reader {
  const std::string& text;
  size_t at = 0;
  std::string error;

  void SkipSpace() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) ++at;
  }
  bool Fail(const std::string& what) {
    if (error.empty()) error = what + " at byte " + std::to_string(at);
    return false;
  }
  bool Expect(char c) {
    SkipSpace();
    if (at >= text.size() || text[at] != c) return Fail(std::string("expected '") + c + "'");
    ++at;
    return true;
  }

  static void AppendUtf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  bool String(std::string* out) {
    if (!Expect('"')) return false;
    while (at < text.size() && text[at] != '"') {
      char c = text[at++];
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (at >= text.size()) break;
      c = text[at++];
      switch (c) {
        case 'n': out->push_back('\n'); break;
        case 't': out->push_back('\t'); break;
        case 'r': out->push_back('\r'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'u': {
          if (at + 4 > text.size()) return Fail("short \\u escape");
          AppendUtf8(static_cast<uint32_t>(std::strtoul(text.substr(at, 4).c_str(), nullptr, 16)), out);
          at += 4;
          break;
        }
        default: out->push_back(c); break;  // \" \\ \/
      }
    }
    if (at >= text.size()) return Fail("unterminated string");
    ++at;
    return true;
  }

  bool Number(JsonValue* value) {
    const size_t start = at;
    if (at < text.size() && text[at] == '-') ++at;
    while (at < text.size() && std::strchr("0123456789.eE+-", text[at]) != nullptr && text[at] != '\0') ++at;
    const std::string number = text.substr(start, at - start);
    if (number.empty() || number == "-") return Fail("expected a value");
    char* end = nullptr;
    errno = 0;
    const long long whole = std::strtoll(number.c_str(), &end, 10);
    if (*end == '\0' && errno == 0) {
      value->kind = whole >= INT32_MIN && whole <= INT32_MAX ? JsonValue::Kind::kInt32 : JsonValue::Kind::kInt64;
      value->integer = whole;
      return true;
    }
    value->kind = JsonValue::Kind::kDouble;
    return true;
  }

  bool Value(JsonValue* value, int depth) {
    if (depth > 32) return Fail("nested too deeply");
    SkipSpace();
    if (at >= text.size()) return Fail("expected a value");
    const char c = text[at];
    if (c == '"') {
      value->kind = JsonValue::Kind::kString;
      return String(&value->text);
    }
    if (c == '[') {
      value->kind = JsonValue::Kind::kList;
      ++at;
      SkipSpace();
      if (at < text.size() && text[at] == ']') {
        ++at;
        return true;
      }
      do {
        value->list.emplace_back();
        if (!Value(&value->list.back(), depth + 1)) return false;
        SkipSpace();
      } while (at < text.size() && text[at] == ',' && ++at);
      return Expect(']');
    }
    if (c == '{') {
      value->kind = JsonValue::Kind::kObject;
      JsonObject dropped;
      return Object(&dropped, depth + 1);
    }
    const struct {
      const char* word;
      JsonValue::Kind kind;
    } words[] = {{"true", JsonValue::Kind::kBool}, {"false", JsonValue::Kind::kBool}, {"null", JsonValue::Kind::kNull}};
    for (const auto& word : words) {
      const size_t length = std::strlen(word.word);
      if (text.compare(at, length, word.word) == 0) {
        at += length;
        value->kind = word.kind;
        return true;
      }
    }
    return Number(value);
  }

  bool Object(JsonObject* object, int depth) {
    if (!Expect('{')) return false;
    SkipSpace();
    if (at < text.size() && text[at] == '}') return ++at, true;
    do {
      std::string key;
      SkipSpace();
      if (!String(&key) || !Expect(':')) return false;
      JsonValue value;
      if (!Value(&value, depth)) return false;
      (*object)[key] = value;  // a key given twice: the last value, as in a Dart map
      SkipSpace();
    } while (at < text.size() && text[at] == ',' && ++at);
    return Expect('}');
  }
};

std::vector<std::optional<std::string>> ListOfTexts(const JsonObject& object, const char* key) {
  std::vector<std::optional<std::string>> texts;
  const auto found = object.find(key);
  if (found == object.end() || found->second.kind != JsonValue::Kind::kList) return texts;
  for (const JsonValue& element : found->second.list) {
    texts.push_back(element.kind == JsonValue::Kind::kString ? std::optional<std::string>(element.text)
                                                               : std::nullopt);
  }
  return texts;
}

}  // namespace

bool ParseProfileJson(const std::string& text, quorvane_windows_vpn::ConnectProfile* profile, std::string* error) {
  Reader reader{text, 0, std::string()};
  *profile = quorvane_windows_vpn::ConnectProfile();
  JsonObject object;
  if (!reader.Object(&object, 0)) {
    *error = reader.error;
    return false;
  }
  reader.SkipSpace();
  if (reader.at != text.size()) {
    *error = "text after the object at byte " + std::to_string(reader.at);
    return false;
  }
  // As Dart would hand the plugin these values: strings as texts, an int that
  // fits 32 bits as the port, the two lists element by element.
  for (const auto& [key, value] : object) {
    if (value.kind == JsonValue::Kind::kString) profile->texts[key] = value.text;
  }
  const auto port = object.find("endpoint_port");
  if (port != object.end() && port->second.kind == JsonValue::Kind::kInt32) {
    profile->endpoint_port = static_cast<int32_t>(port->second.integer);
  }
  profile->dns = ListOfTexts(object, "dns");
  profile->allowed_ips = ListOfTexts(object, "allowed_ips");
  return true;
}

}  // namespace quorvane_ctl
