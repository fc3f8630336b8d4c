// UTF-8 validation of keys and values before they enter the dictionary: the data file is UTF-8 text,
// so an entry whose bytes are not well-formed UTF-8 could be stored but never written back.
#pragma once

#include <cstdint>

namespace quillmap {

// True when the n bytes at s are well-formed UTF-8: every sequence is the shortest encoding of its
// code point (no overlong forms), encodes no UTF-16 surrogate (U+D800..U+DFFF) and no code point
// above U+10FFFF, and no sequence is cut off by the end of the text. n = 0 is valid (s may be null).
bool is_valid_utf8(const char* s, uint64_t n) noexcept;

}  // namespace quillmap
