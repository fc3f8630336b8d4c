#include <array>
#include <cstdint>

#include "store/rbtree.h"

namespace quillmap {
namespace {

// CRC-32 of every byte value under the reflected polynomial 0xEDB88320, built at compile time.
constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? 0xedb88320u : 0u);
    table[b] = crc;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrc32Table = make_table();
static_assert(kCrc32Table[1] == 0x77073096u && kCrc32Table[255] == 0x2d02ef8du);

}  // namespace

uint32_t crc32_short(const void* data, uint64_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xffffffffu;
  for (uint64_t i = 0; i < len; ++i) crc = (crc >> 8) ^ kCrc32Table[(crc ^ p[i]) & 0xff];
  return crc ^ 0xffffffffu;
}

}  // namespace quillmap
