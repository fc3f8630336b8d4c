#include "lpctrie/cidr.h"

#include <cstring>

#include "store/layout.h"

namespace quillmap {
namespace {

constexpr uint64_t kIPv6Groups = 8;
constexpr int64_t kMaxPrefix4 = 32;
constexpr int64_t kMaxPrefix6 = 128;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses the address part of an IPv6 key (no prefix) into addr6. False when it is not an address.
// A leading ":" is dropped so that "::" can open the text; "::" stands for one or more zero groups;
// a dotted quad may stand for the last two groups.
bool parse_ipv6(const char* text, uint64_t m, uint8_t* addr6) {
  if (m == 0) return false;
  if (text[0] == ':') {
    ++text;
    --m;
    if (m == 0) return false;
  }
  uint64_t p = 0;  // byte offset in addr6 of the next group to write
  uint64_t groups_left = kIPv6Groups;
  uint32_t value = 0;
  uint64_t digits = 0;
  bool have_gap = false;
  uint64_t gap = 0;       // byte offset where "::" stands
  uint64_t gap_end = 0;   // index of the first byte after "::"
  bool have_tail = false;
  uint64_t tail = 0;      // index of the first byte after the last colon

  for (uint64_t i = 0; i < m; ++i) {
    char c = text[i];
    if (c == ':' && digits == 0) {
      if (have_gap) return false;
      have_gap = true;
      gap = p;
      gap_end = i + 1;
      have_tail = true;
      tail = i + 1;
    } else if (c == ':') {
      addr6[p] = static_cast<uint8_t>(value >> 8);
      addr6[p + 1] = static_cast<uint8_t>(value);
      p += 2;
      if (--groups_left == 0) return false;
      value = 0;
      digits = 0;
      have_tail = true;
      tail = i + 1;
    } else if (c == '.' && digits > 0) {
      // Embedded IPv4 tail: the last two groups.
      if (!have_tail || groups_left < 2) return false;
      uint32_t v4;
      if (!shm_inet_addr_parse(text + tail, m - tail, &v4)) return false;
      uint8_t octets[4];
      std::memcpy(octets, &v4, 4);
      addr6[p] = octets[0];
      addr6[p + 1] = octets[1];
      p += 2;
      --groups_left;
      value = static_cast<uint32_t>(octets[2]) << 8 | octets[3];
      break;
    } else {
      if (++digits > 4) return false;
      int d = hex_digit(c);
      if (d < 0) return false;
      value = value * 16 + static_cast<uint32_t>(d);
    }
  }

  // Only a closing "::" may leave the last group empty ("1::2:" is not an address).
  if (digits == 0 && !(have_gap && gap_end == m)) return false;
  addr6[p] = static_cast<uint8_t>(value >> 8);
  addr6[p + 1] = static_cast<uint8_t>(value);
  --groups_left;
  if (groups_left == 0) return !have_gap;  // "::" must stand for at least one group
  if (!have_gap) return false;              // too few groups
  // Move the groups written after the gap to the end and zero the gap.
  uint64_t written_end = p + 2;
  uint64_t moved = written_end - gap;
  std::memmove(addr6 + 16 - moved, addr6 + gap, moved);
  std::memset(addr6 + gap, 0, 2 * groups_left);
  return true;
}

}  // namespace

bool shm_inet_addr_parse(const char* text, uint64_t n, uint32_t* out) {
  if (n == 0) return false;
  uint8_t octets[4] = {0, 0, 0, 0};
  uint32_t octet = 0;
  uint64_t dots = 0;
  for (uint64_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      octet = octet * 10 + static_cast<uint32_t>(c - '0');
      if (octet > 255) return false;
    } else if (c == '.') {
      if (dots == 3) return false;
      octets[dots++] = static_cast<uint8_t>(octet);
      octet = 0;
    } else {
      return false;
    }
  }
  if (dots != 3) return false;
  octets[3] = static_cast<uint8_t>(octet);
  std::memcpy(out, octets, 4);
  return true;
}

uint32_t shm_inet_addr(const char* text, uint64_t n) {
  uint32_t addr;
  return shm_inet_addr_parse(text, n, &addr) ? addr : 0xFFFFFFFFu;
}

int64_t shm_atoi(const char* text, uint64_t n) {
  constexpr int64_t kLimit = 922337203685477580;  // INT64_MAX / 10
  if (n == 0) return -1;
  int64_t value = 0;
  for (uint64_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return -1;
    int64_t d = c - '0';
    if (value > kLimit || (value == kLimit && d > 7)) return -1;
    value = value * 10 + d;
  }
  return value;
}

unsigned __int128 s6addr_to_uint128(const uint8_t* s6) {
  unsigned __int128 v = 0;
  for (int i = 0; i < 16; ++i) v = v << 8 | s6[i];
  return v;
}

void uint128_to_s6addr(uint64_t lo, uint64_t hi, uint8_t* s6) {
  for (int i = 0; i < 8; ++i) {
    s6[i] = static_cast<uint8_t>(hi >> (56 - 8 * i));
    s6[8 + i] = static_cast<uint8_t>(lo >> (56 - 8 * i));
  }
}

int64_t str_to_cidr(const char* text, uint64_t n, Cidr* out) {
  if (n == 0) return kFailed;
  uint64_t addr_len = n;
  const void* slash = std::memchr(text, '/', n);
  if (slash != nullptr) addr_len = static_cast<uint64_t>(static_cast<const char*>(slash) - text);

  uint32_t v4;
  if (shm_inet_addr_parse(text, addr_len, &v4)) {
    out->family = kFamilyInet;
    out->addr4 = v4;
  } else {
    std::memset(out->addr6, 0, sizeof out->addr6);
    if (!parse_ipv6(text, addr_len, out->addr6)) return kFailed;
    out->family = kFamilyInet6;
  }
  bool is_v4 = out->family == kFamilyInet;

  if (slash == nullptr) {
    if (is_v4) {
      out->mask4 = 0xFFFFFFFFu;
    } else {
      std::memset(out->mask6, 0xFF, sizeof out->mask6);
    }
    return kDone;
  }

  int64_t len = shm_atoi(text + addr_len + 1, n - addr_len - 1);
  if (len < 0) return kFailed;
  int64_t result = kDone;
  if (is_v4) {
    if (len > kMaxPrefix4) return kFailed;
    uint32_t host_mask = len == 0 ? 0 : ~uint32_t{0} << (32 - len);
    uint8_t bytes[4] = {static_cast<uint8_t>(host_mask >> 24), static_cast<uint8_t>(host_mask >> 16),
                        static_cast<uint8_t>(host_mask >> 8), static_cast<uint8_t>(host_mask)};
    std::memcpy(&out->mask4, bytes, 4);
    if ((out->addr4 & ~out->mask4) != 0) {
      out->addr4 &= out->mask4;
      result = kNothingToDo;
    }
    return result;
  }
  if (len > kMaxPrefix6) return kFailed;
  int64_t bits_left = len;
  for (int i = 0; i < 16; ++i) {
    int64_t k = bits_left < 8 ? bits_left : 8;
    bits_left -= k;
    out->mask6[i] = static_cast<uint8_t>(0xFF << (8 - k));
    if ((out->addr6[i] & ~out->mask6[i] & 0xFF) != 0) {
      out->addr6[i] &= out->mask6[i];
      result = kNothingToDo;
    }
  }
  return result;
}

}  // namespace quillmap
