// IPv4 and IPv6 address ranges as the WireGuard library reads them: an
// address with an optional "/length", host bits masked away (so 1.2.3.4/0 is
// the whole IPv4 space), and whether a list of them covers a whole family,
// whatever its spelling ("::0/0", "0.0.0.0/1, 128.0.0.0/1").
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {

struct IpPrefix {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};  // IPv4 in the first four
  int length = 0;                   // bits
};

// "a.b.c.d" or an IPv6 text, each with an optional "/length"; false for
// anything else (spaces, zones, a length beyond the family's).
bool ParseIpPrefix(const std::string& text, IpPrefix* prefix);

// Whether |outer| holds every address of |inner| (both of one family).
bool PrefixContains(const IpPrefix& outer, const IpPrefix& inner);

// The entries of a comma-separated list, with the spaces around each taken
// away; empty entries are kept as empty texts.
std::vector<std::string> SplitList(const std::string& list);

// Whether |prefixes| together hold every address of the family.
bool CoversWholeFamily(const std::vector<IpPrefix>& prefixes, bool v6);

// Whether the list's entries that parse cover all of IPv4 or all of IPv6.
bool IsCatchAllList(const std::string& list);

// An IPv6 address as RFC 5952 writes it: lowercase, no leading zeros, the
// longest run of zero groups (the first of equal ones, two at least) as "::".
std::string Ipv6Text(const std::array<uint8_t, 16>& bytes);

// "address/length", IPv6 as above.
std::string IpPrefixText(const IpPrefix& prefix);

// |list| with every entry that holds one of |hosts| (IPv4 or IPv6 texts) split
// so that each such host stays outside: the entry becomes the fewest prefixes
// of its family that cover it less those single addresses. Entries that do
// not parse stay as they are. For each host carved out, |carved| gets
// "<host>/32 from <entry>" ("/128" for IPv6). Entries are joined with ", ".
std::string CarveHostsOut(const std::string& list, const std::vector<std::string>& hosts,
                          std::vector<std::string>* carved);

}  // namespace quorvane
