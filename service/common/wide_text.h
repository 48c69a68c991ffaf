// Conversion between the wide text of Windows (UTF-16; UTF-32 in native builds,
// where wchar_t is 32 bits) and the UTF-8 byte text of JSON and the pipe.
#pragma once

#include <string>

namespace quorvane {

// Unpaired surrogates and invalid UTF-8 sequences become U+FFFD, as Windows'
// own converters do.
std::string WideToUtf8(const std::wstring& wide);
std::wstring Utf8ToWide(const std::string& utf8);

}  // namespace quorvane
