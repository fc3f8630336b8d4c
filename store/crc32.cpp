#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "store/rbtree.h"

namespace quillmap {
namespace {

// Slicing by eight: table[0] is the CRC-32 of every byte value under the reflected polynomial
// 0xEDB88320; table[k][b] is the CRC of byte b followed by k zero bytes, so that eight bytes are
// folded in with eight independent lookups. Built at compile time.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? 0xedb88320u : 0u);
    t[0][b] = crc;
  }
  for (uint32_t b = 0; b < 256; ++b) {
    for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xff];
  }
  return t;
}

constexpr Tables kCrc32Tables = make_tables();
static_assert(std::endian::native == std::endian::little, "the words are folded in as little-endian");
static_assert(kCrc32Tables[0][1] == 0x77073096u && kCrc32Tables[0][255] == 0x2d02ef8du);

}  // namespace

uint32_t crc32_short(const void* data, uint64_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const auto& t = kCrc32Tables;
  uint32_t crc = 0xffffffffu;
  for (; len >= 8; len -= 8, p += 8) {
    uint32_t lo, hi;  // little-endian words: the first byte is the lowest
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    lo ^= crc;
    crc = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
          t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
  }
  for (; len > 0; --len, ++p) crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xff];
  return crc ^ 0xffffffffu;
}

}  // namespace quillmap
