// Address keys as text, and the small converters on their way into the tries.
//
// An address key is an IPv4 dotted quad or an IPv6 address, optionally followed by "/" and a decimal
// prefix length. str_to_cidr turns it into a Cidr (family, address, netmask) with every address bit
// below the prefix cleared. Parsing depends on nothing but the text: the same text always gives the
// same record. Nothing here allocates, logs or keeps state; texts need not be NUL-terminated and no
// byte past the given length is read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillmap {

inline constexpr uint64_t kFamilyInet = 2;    // AF_INET
inline constexpr uint64_t kFamilyInet6 = 10;  // AF_INET6

// A parsed address key; lives in the caller's frame. `family` says which form is valid. Addresses and
// masks are in network order (first octet in the lowest-addressed byte). A prefix length L gives a
// mask whose first L bits, from the most significant bit of byte 0, are ones.
struct Cidr {
  uint64_t family;
  union {
    struct {
      uint32_t addr4;
      uint32_t mask4;
    };
    struct {
      uint8_t addr6[16];
      uint8_t mask6[16];
    };
  };
};

static_assert(offsetof(Cidr, addr4) == 8 && offsetof(Cidr, mask4) == 12);
static_assert(offsetof(Cidr, addr6) == 8 && offsetof(Cidr, mask6) == 24);
static_assert(sizeof(Cidr) == 40);

// Parses an address key. Results:
//   0   valid, and the address had no bits set below the prefix;
//   -4  valid, but bits below the prefix were set and have been cleared in `out` (10.1.2.3/8 is
//       stored as 10.0.0.0/8);
//   -1  not an address key; `out` may be partly written.
// A text without "/" gives an all-ones mask. 255.255.255.255 is a valid IPv4 address.
int64_t str_to_cidr(const char* text, uint64_t n, Cidr* out);

// Parses a dotted quad into `out` (network order); false when the text is not one. Rules: exactly three
// dots; each octet is decimal digits (leading zeros allowed, "010" is ten), an empty octet counts as 0,
// and an octet above 255 fails; any other byte fails.
bool shm_inet_addr_parse(const char* text, uint64_t n, uint32_t* out);

// The same, with failure reported as 0xFFFFFFFF (which is also the value of 255.255.255.255; callers
// that must tell the two apart use shm_inet_addr_parse).
uint32_t shm_inet_addr(const char* text, uint64_t n);

// Decimal digits only, 0 .. 9223372036854775807; -1 for an empty text, any other byte, or overflow.
int64_t shm_atoi(const char* text, uint64_t n);

// Reads 16 bytes as one big-endian number (byte 0 most significant).
unsigned __int128 s6addr_to_uint128(const uint8_t* s6);

// Writes the 128-bit value given as (low half, high half) as 16 big-endian bytes: the inverse of
// s6addr_to_uint128.
void uint128_to_s6addr(uint64_t lo, uint64_t hi, uint8_t* s6);

}  // namespace quillmap
