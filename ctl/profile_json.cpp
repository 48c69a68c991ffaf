#include "profile_json.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quorvane_ctl {
namespace {

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

  bool Number(flutter::EncodableValue* value) {
    const size_t start = at;
    if (at < text.size() && text[at] == '-') ++at;
    while (at < text.size() && std::strchr("0123456789.eE+-", text[at]) != nullptr && text[at] != '\0') ++at;
    const std::string number = text.substr(start, at - start);
    if (number.empty() || number == "-") return Fail("expected a value");
    char* end = nullptr;
    errno = 0;
    const long long whole = std::strtoll(number.c_str(), &end, 10);
    if (*end == '\0' && errno == 0) {
      if (whole >= INT32_MIN && whole <= INT32_MAX) {
        *value = flutter::EncodableValue(static_cast<int32_t>(whole));
      } else {
        *value = flutter::EncodableValue(static_cast<int64_t>(whole));
      }
      return true;
    }
    *value = flutter::EncodableValue(std::strtod(number.c_str(), nullptr));
    return true;
  }

  bool Value(flutter::EncodableValue* value, int depth) {
    if (depth > 32) return Fail("nested too deeply");
    SkipSpace();
    if (at >= text.size()) return Fail("expected a value");
    const char c = text[at];
    if (c == '"') {
      std::string string;
      if (!String(&string)) return false;
      *value = flutter::EncodableValue(string);
      return true;
    }
    if (c == '[') {
      flutter::EncodableList list;
      ++at;
      SkipSpace();
      if (at < text.size() && text[at] == ']') {
        ++at;
      } else {
        do {
          list.emplace_back();
          if (!Value(&list.back(), depth + 1)) return false;
          SkipSpace();
        } while (at < text.size() && text[at] == ',' && ++at);
        if (!Expect(']')) return false;
      }
      *value = flutter::EncodableValue(list);
      return true;
    }
    if (c == '{') {
      flutter::EncodableMap object;
      if (!Object(&object, depth + 1)) return false;
      *value = flutter::EncodableValue(object);
      return true;
    }
    const struct {
      const char* word;
      flutter::EncodableValue value;
    } words[] = {{"true", flutter::EncodableValue(true)},
                 {"false", flutter::EncodableValue(false)},
                 {"null", flutter::EncodableValue()}};
    for (const auto& word : words) {
      const size_t length = std::strlen(word.word);
      if (text.compare(at, length, word.word) == 0) {
        at += length;
        *value = word.value;
        return true;
      }
    }
    return Number(value);
  }

  bool Object(flutter::EncodableMap* object, int depth) {
    if (!Expect('{')) return false;
    SkipSpace();
    if (at < text.size() && text[at] == '}') return ++at, true;
    do {
      std::string key;
      SkipSpace();
      if (!String(&key) || !Expect(':')) return false;
      flutter::EncodableValue value;
      if (!Value(&value, depth)) return false;
      (*object)[flutter::EncodableValue(key)] = value;
      SkipSpace();
    } while (at < text.size() && text[at] == ',' && ++at);
    return Expect('}');
  }
};

}  // namespace

bool ParseProfileJson(const std::string& text, flutter::EncodableMap* profile, std::string* error) {
  Reader reader{text, 0, std::string()};
  profile->clear();
  if (!reader.Object(profile, 0)) {
    *error = reader.error;
    return false;
  }
  reader.SkipSpace();
  if (reader.at != text.size()) {
    *error = "text after the object at byte " + std::to_string(reader.at);
    return false;
  }
  return true;
}

}  // namespace quorvane_ctl
