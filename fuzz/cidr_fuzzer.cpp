// The address key parser (lpctrie/cidr.h, and parse_address_key of entry/ipaddr_ops.h) against the C
// library's inet_pton. The input is the key text. The parser's own rules differ from inet_pton's in a
// few stated ways, so the text is first rewritten into what inet_pton reads the same way:
//   - a dotted quad (alone or as an IPv6 tail) may have leading zeros and empty octets: each octet is
//     written as its decimal value;
//   - a single ":" opening an IPv6 text before a group is ignored;
//   - a "::" must stand for at least one group besides the last one written, so seven groups and a
//     closing "::" are refused although inet_pton takes them.
// Then: the parser accepts exactly when inet_pton accepts the rewritten address part (bar the last
// rule) and the prefix part is decimal digits of a value up to 32 or 128; the record holds inet_pton's
// address with the host bits cleared and the mask of that length; -4 exactly when bits were cleared.
// shm_atoi is checked against plain arithmetic on the same bytes.

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "entry/ipaddr_ops.h"
#include "lpctrie/cidr.h"

namespace {

using quillmap::Cidr;

void check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "cidr check failed: %s\n", what);
    abort();
  }
}

bool all_digits(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The decimal value of a run of digits, or nothing when it is not one or exceeds `limit`.
std::optional<uint64_t> decimal(const std::string& s, uint64_t limit) {
  if (s.empty() || !all_digits(s)) return std::nullopt;
  unsigned __int128 v = 0;
  for (char c : s) {
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > limit) return std::nullopt;
  }
  return static_cast<uint64_t>(v);
}

// A dotted quad in the parser's rules written as inet_pton reads it; unchanged when it is not one.
std::string plain_quad(const std::string& s) {
  std::string out;
  size_t start = 0;
  int dots = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] != '.') continue;
    std::string octet = s.substr(start, i - start);
    std::optional<uint64_t> v = octet.empty() ? std::optional<uint64_t>(0) : decimal(octet, 255);
    if (!v) return s;
    out += std::to_string(*v);
    if (i < s.size()) {
      out += '.';
      ++dots;
    }
    start = i + 1;
  }
  return dots == 3 ? out : s;
}

std::string plain_ipv6(std::string s) {
  if (s.size() >= 2 && s[0] == ':' && s[1] != ':') s.erase(0, 1);
  const size_t colon = s.rfind(':');
  if (colon == std::string::npos) return s;
  // The tail's first octet is read as up to four group digits before its first dot.
  const std::string tail = s.substr(colon + 1);
  const size_t dot = tail.find('.');
  if (dot == std::string::npos || dot == 0 || dot > 4) return s;
  return s.substr(0, colon + 1) + plain_quad(tail);
}

// Seven groups and a closing "::" (the "::" would stand for the last group only).
bool seven_groups_then_gap(const std::string& s) {
  if (s.size() < 2 || s.compare(s.size() - 2, 2, "::") != 0) return false;
  size_t colons = 0;
  for (char c : s) colons += c == ':';
  return colons == 8 && s.find("::") == s.size() - 2;
}

void check_atoi(const char* text, size_t n) {
  const std::optional<uint64_t> want = decimal(std::string(text, n), INT64_MAX);
  check(quillmap::shm_atoi(text, n) == (want ? static_cast<int64_t>(*want) : -1), "shm_atoi");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  check_atoi(text, size);

  Cidr got;
  std::memset(&got, 0xA5, sizeof got);
  const int64_t result = quillmap::str_to_cidr(text, size, &got);
  check(result == 0 || result == -1 || result == -4, "result code");

  const std::string all(text, size);
  const size_t slash = all.find('/');
  const std::string addr = all.substr(0, slash);
  const bool v6 = addr.find(':') != std::string::npos;
  const std::string plain = v6 ? plain_ipv6(addr) : plain_quad(addr);
  uint8_t want_addr[16] = {};
  bool want_ok = plain.find('\0') == std::string::npos &&
                 inet_pton(v6 ? AF_INET6 : AF_INET, plain.c_str(), want_addr) == 1;
  if (v6 && seven_groups_then_gap(plain)) want_ok = false;
  const unsigned width = v6 ? 128 : 32;
  std::optional<uint64_t> len = width;
  if (slash != std::string::npos) len = decimal(all.substr(slash + 1), width);
  want_ok = want_ok && len.has_value();

  if (!want_ok) {
    check(result == -1, "accepted a text that is not an address key");
    return 0;
  }
  check(result != -1, "refused an address key");
  check(got.family == (v6 ? quillmap::kFamilyInet6 : quillmap::kFamilyInet), "family");
  uint8_t want_mask[16] = {};
  bool cleared = false;
  for (unsigned i = 0; i < width / 8; ++i) {
    const unsigned bits = *len >= 8 * (i + 1) ? 8 : *len > 8 * i ? static_cast<unsigned>(*len - 8 * i) : 0;
    want_mask[i] = static_cast<uint8_t>(0xFF00 >> bits);
    cleared = cleared || (want_addr[i] & ~want_mask[i]) != 0;
    want_addr[i] &= want_mask[i];
  }
  check(result == (cleared ? -4 : 0), "-4 exactly when host bits were cleared");
  const uint8_t* got_addr = v6 ? got.addr6 : reinterpret_cast<const uint8_t*>(&got.addr4);
  const uint8_t* got_mask = v6 ? got.mask6 : reinterpret_cast<const uint8_t*>(&got.mask4);
  check(std::memcmp(got_addr, want_addr, width / 8) == 0, "address");
  check(std::memcmp(got_mask, want_mask, width / 8) == 0, "mask");

  // The entry layer's form: the same record, an IPv4 one in host order.
  Cidr host;
  check(quillmap::parse_address_key(text, size, &host) == 0, "parse_address_key refused");
  if (v6) {
    check(std::memcmp(host.addr6, got.addr6, 32) == 0, "parse_address_key IPv6 record");
    const unsigned __int128 a = quillmap::s6addr_to_uint128(got.addr6);
    uint8_t back[16];
    quillmap::uint128_to_s6addr(static_cast<uint64_t>(a), static_cast<uint64_t>(a >> 64), back);
    check(std::memcmp(back, got.addr6, 16) == 0, "uint128_to_s6addr inverts s6addr_to_uint128");
  } else {
    check(host.addr4 == ntohl(got.addr4) && host.mask4 == ntohl(got.mask4), "parse_address_key IPv4 record");
  }
  return 0;
}
