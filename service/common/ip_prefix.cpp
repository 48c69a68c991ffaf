#include "common/ip_prefix.h"

#include <cstdio>

#include "platform/ip_routes.h"

namespace quorvane {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseIpv4(const std::string& text, uint8_t* bytes) {
  platform::Ipv4Address address = 0;
  if (!platform::ParseIpv4Address(text, &address)) return false;
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(address >> (8 * i));
  return true;
}

// Groups of one to four hex digits, at most one "::", an IPv4 tail allowed.
bool ParseIpv6(const std::string& text, std::array<uint8_t, 16>* bytes) {
  std::vector<uint16_t> head, tail;
  std::vector<uint16_t>* groups = &head;
  bool gap = false;
  size_t at = 0;
  if (text.rfind("::", 0) == 0) {
    gap = true;
    groups = &tail;
    at = 2;
    if (text.size() == 2) {
      bytes->fill(0);
      return true;
    }
  }
  while (at < text.size()) {
    const size_t end = text.find(':', at);
    const std::string group = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (group.find('.') != std::string::npos) {
      uint8_t v4[4];
      if (end != std::string::npos || !ParseIpv4(group, v4)) return false;
      groups->push_back(static_cast<uint16_t>(v4[0] << 8 | v4[1]));
      groups->push_back(static_cast<uint16_t>(v4[2] << 8 | v4[3]));
      break;
    }
    if (group.empty() || group.size() > 4) return false;
    uint16_t value = 0;
    for (char c : group) {
      const int digit = HexDigit(c);
      if (digit < 0) return false;
      value = static_cast<uint16_t>(value << 4 | digit);
    }
    groups->push_back(value);
    if (end == std::string::npos) break;
    at = end + 1;
    if (at < text.size() && text[at] == ':') {
      if (gap) return false;
      gap = true;
      groups = &tail;
      ++at;
    } else if (at == text.size()) {
      return false;  // a trailing single colon
    }
  }
  const size_t count = head.size() + tail.size();
  if (gap ? count > 7 : count != 8) return false;
  std::vector<uint16_t> all = head;
  all.resize(8 - tail.size(), 0);
  all.insert(all.end(), tail.begin(), tail.end());
  for (size_t i = 0; i < 8; ++i) {
    (*bytes)[2 * i] = static_cast<uint8_t>(all[i] >> 8);
    (*bytes)[2 * i + 1] = static_cast<uint8_t>(all[i]);
  }
  return true;
}

void Mask(IpPrefix* prefix) {
  const int bits = prefix->v6 ? 128 : 32;
  for (int bit = prefix->length; bit < bits; ++bit) prefix->bytes[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
}

bool Bit(const IpPrefix& prefix, int bit) { return (prefix.bytes[bit / 8] & (0x80 >> (bit % 8))) != 0; }

// |target| is covered when one prefix holds it, or when both its halves are;
// only halves that some longer prefix reaches into can be.
bool Covered(const std::vector<IpPrefix>& prefixes, const IpPrefix& target) {
  bool reached = false;
  for (const IpPrefix& prefix : prefixes) {
    if (PrefixContains(prefix, target)) return true;
    reached = reached || PrefixContains(target, prefix);
  }
  if (!reached || target.length == (target.v6 ? 128 : 32)) return false;
  IpPrefix low = target;
  low.length = target.length + 1;
  IpPrefix high = low;
  high.bytes[target.length / 8] |= static_cast<uint8_t>(0x80 >> (target.length % 8));
  return Covered(prefixes, low) && Covered(prefixes, high);
}

}  // namespace

bool PrefixContains(const IpPrefix& outer, const IpPrefix& inner) {
  if (outer.v6 != inner.v6 || outer.length > inner.length) return false;
  for (int bit = 0; bit < outer.length; ++bit) {
    if (Bit(outer, bit) != Bit(inner, bit)) return false;
  }
  return true;
}

bool ParseIpPrefix(const std::string& text, IpPrefix* prefix) {
  *prefix = IpPrefix();
  const size_t slash = text.find('/');
  const std::string address = text.substr(0, slash);
  prefix->v6 = address.find(':') != std::string::npos;
  if (prefix->v6 ? !ParseIpv6(address, &prefix->bytes) : !ParseIpv4(address, prefix->bytes.data())) return false;
  const int bits = prefix->v6 ? 128 : 32;
  prefix->length = bits;
  if (slash != std::string::npos) {
    const std::string length = text.substr(slash + 1);
    if (length.empty() || length.size() > 3) return false;
    int value = 0;
    for (char c : length) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > bits) return false;
    prefix->length = value;
  }
  Mask(prefix);
  return true;
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> entries;
  size_t at = 0;
  for (;;) {
    const size_t comma = list.find(',', at);
    std::string entry = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    const size_t first = entry.find_first_not_of(" \t");
    const size_t last = entry.find_last_not_of(" \t");
    entries.push_back(first == std::string::npos ? std::string() : entry.substr(first, last - first + 1));
    if (comma == std::string::npos) return entries;
    at = comma + 1;
  }
}

bool CoversWholeFamily(const std::vector<IpPrefix>& prefixes, bool v6) {
  IpPrefix everything;
  everything.v6 = v6;
  return Covered(prefixes, everything);
}

bool IsCatchAllList(const std::string& list) {
  std::vector<IpPrefix> prefixes;
  for (const std::string& entry : SplitList(list)) {
    IpPrefix prefix;
    if (ParseIpPrefix(entry, &prefix)) prefixes.push_back(prefix);
  }
  return CoversWholeFamily(prefixes, false) || CoversWholeFamily(prefixes, true);
}

std::string Ipv6Text(const std::array<uint8_t, 16>& bytes) {
  uint16_t groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  // The longest run of two or more zero groups is written "::", the first of
  // equal runs.
  int best_at = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    int end = i;
    while (end < 8 && groups[end] == 0) ++end;
    if (end - i > best_length) {
      best_at = i;
      best_length = end - i;
    }
    i = end == i ? i + 1 : end;
  }
  std::string text;
  char group[8];
  for (int i = 0; i < 8; ++i) {
    if (i == best_at) {
      text += "::";
      i += best_length - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    std::snprintf(group, sizeof(group), "%x", unsigned{groups[i]});
    text += group;
  }
  return text;
}

std::string IpPrefixText(const IpPrefix& prefix) {
  std::string address;
  if (prefix.v6) {
    address = Ipv6Text(prefix.bytes);
  } else {
    for (int i = 0; i < 4; ++i) address += (i == 0 ? "" : ".") + std::to_string(prefix.bytes[i]);
  }
  return address + "/" + std::to_string(prefix.length);
}

namespace {

// The prefixes of |range| less |hosts|: a half without a host stays whole, one
// with a host is split again, down to the host itself, left out.
void Carve(const IpPrefix& range, const std::vector<IpPrefix>& hosts, std::vector<std::string>* out) {
  bool holds = false;
  for (const IpPrefix& host : hosts) holds = holds || PrefixContains(range, host);
  if (!holds) {
    out->push_back(IpPrefixText(range));
    return;
  }
  if (range.length == (range.v6 ? 128 : 32)) return;
  IpPrefix low = range;
  low.length = range.length + 1;
  IpPrefix high = low;
  high.bytes[range.length / 8] |= static_cast<uint8_t>(0x80 >> (range.length % 8));
  Carve(low, hosts, out);
  Carve(high, hosts, out);
}

}  // namespace

std::string CarveHostsOut(const std::string& list, const std::vector<std::string>& hosts,
                          std::vector<std::string>* carved) {
  std::vector<IpPrefix> addresses;
  for (const std::string& host : hosts) {
    IpPrefix parsed;
    if (ParseIpPrefix(host, &parsed) && parsed.length == (parsed.v6 ? 128 : 32)) addresses.push_back(parsed);
  }
  std::string rewritten;
  for (const std::string& entry : SplitList(list)) {
    IpPrefix prefix;
    std::vector<std::string> parts;
    if (ParseIpPrefix(entry, &prefix)) {
      std::vector<IpPrefix> inside;
      for (const IpPrefix& host : addresses) {
        if (!PrefixContains(prefix, host)) continue;
        inside.push_back(host);
        carved->push_back(IpPrefixText(host) + " from " + entry);
      }
      Carve(prefix, inside, &parts);
    } else {
      parts.push_back(entry);
    }
    for (const std::string& part : parts) rewritten += (rewritten.empty() ? "" : ", ") + part;
  }
  return rewritten;
}

}  // namespace quorvane
