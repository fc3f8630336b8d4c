#include <cstdint>

#include "store/rbtree.h"

namespace quillmap {
namespace {

// CRC-32 of the nibbles 0..15 under the reflected polynomial 0xEDB88320.
constexpr uint32_t kCrc32Nibble[16] = {
    0x00000000, 0x1db71064, 0x3b6e20c8, 0x26d930ac, 0x76dc4190, 0x6b6b51f4, 0x4db26158, 0x5005713c,
    0xedb88320, 0xf00f9344, 0xd6d6a3e8, 0xcb61b38c, 0x9b64c2b0, 0x86d3d2d4, 0xa00ae278, 0xbdbdf21c,
};

}  // namespace

uint32_t crc32_short(const void* data, uint64_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xffffffffu;
  for (uint64_t i = 0; i < len; ++i) {
    const uint8_t b = p[i];
    crc = (crc >> 4) ^ kCrc32Nibble[(crc ^ b) & 15];
    crc = (crc >> 4) ^ kCrc32Nibble[(crc ^ (b >> 4)) & 15];
  }
  return crc ^ 0xffffffffu;
}

}  // namespace quillmap
