// Small text helpers shared by start-up, the dispatcher and the key-tree digest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillmap {

// A (pointer, length) view of a text; the text need not end in a NUL.
struct StrRef {
  const char* ptr;
  uint64_t len;
};

// (s, strlen(s)), or (nullptr, 0) for nullptr.
StrRef mkstr(const char* s);

// 0 when text s (length ls) ends with suffix t (length lt), 1 when it does not, -1 when s is shorter.
// A length whose last counted byte is NUL is replaced by the string's strlen.
int ends_with(const char* s, size_t ls, const char* t, size_t lt);

// Writes two lowercase hex digits per source byte (no terminator); returns dst + 2n.
char* shm_hex_dump(char* dst, const void* src, size_t n);

// Bytes before the first NUL, at most `max`.
size_t strllen(const char* s, size_t max);

// Cuts s at its first newline among the first `len` bytes; returns s.
char* chompl(char* s, size_t len);

// Copies at most n - 1 characters of src to dst, always NUL-terminates (for n > 0) and returns the
// address of that NUL so that a further copy can append there. n = 0 writes nothing and returns dst.
char* shm_cpystrn(char* dst, const char* src, size_t n);

}  // namespace quillmap
