// The request scanner, the port reader and the forbidden-key check on
// arbitrary bytes: no crash, values within the request, ports only in range,
// and every scanned value escapes to a valid JSON string.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "control/pipe_protocol.h"
#include "json_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string request = quorvane::RequestTextFromBytes(reinterpret_cast<const char*>(data), size);
  if (request.size() > quorvane::kMaxRequestBytes || request.find('\0') != std::string::npos) std::abort();
  quorvane::ContainsForbiddenKey(request);
  for (const char* key : {"op", "session_nonce", "node_id", "client_private_key", "endpoint_port", "dns_csv"}) {
    const std::string value = quorvane::ReadJsonString(request, key);
    if (value.size() > request.size()) std::abort();
    if (!fuzzcheck::IsJson("\"" + quorvane::JsonEscape(value) + "\"")) std::abort();
  }
  int32_t port = 0;
  if (quorvane::ReadEndpointPort(request, &port) && (port < 1 || port > 65535)) std::abort();
  return 0;
}
