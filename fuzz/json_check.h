// The strict JSON check the fuzz targets hold replies to. It is built without
// coverage or sanitizer instrumentation: the parser is not what is fuzzed, and
// its branches would only crowd the fuzzer's picture of the service's own.
#pragma once

#include <string>

namespace fuzzcheck {

// True when |text| is one JSON text and that text is an object.
bool IsOneJsonObject(const std::string& text);

// True when |text| is one JSON text of any kind.
bool IsJson(const std::string& text);

}  // namespace fuzzcheck
