#include "util/utf8.h"

namespace quillmap {

namespace {

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(const char* s, uint64_t n) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  uint64_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    // Lead byte: sequence length and the range the second byte must fall in. Narrowing the second
    // byte's range is what rejects overlong forms (E0, F0), surrogates (ED) and > U+10FFFF (F4).
    uint64_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;  // a stray continuation byte, an overlong two-byte lead (C0, C1), or F5..FF
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (uint64_t k = 2; k < len; ++k) {
      if (!is_continuation(p[i + k])) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace quillmap
