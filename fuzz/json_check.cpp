#include "json_check.h"

#include <nlohmann/json.hpp>

namespace fuzzcheck {

bool IsOneJsonObject(const std::string& text) {
  // A valid JSON text that begins with a brace is one object.
  return !text.empty() && text.front() == '{' && nlohmann::json::accept(text);
}

bool IsJson(const std::string& text) { return nlohmann::json::accept(text); }

}  // namespace fuzzcheck
