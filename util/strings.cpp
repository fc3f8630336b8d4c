#include "util/strings.h"

#include <cstring>

namespace quillmap {

StrRef mkstr(const char* s) {
  if (s == nullptr) return {nullptr, 0};
  return {s, strlen(s)};
}

int ends_with(const char* s, size_t ls, const char* t, size_t lt) {
  if (ls > 0 && s[ls - 1] == '\0') ls = strlen(s);
  if (lt > 0 && t[lt - 1] == '\0') lt = strlen(t);
  if (ls < lt) return -1;
  return strncmp(s + (ls - lt), t, lt) == 0 ? 0 : 1;
}

char* shm_hex_dump(char* dst, const void* src, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(src);
  for (size_t i = 0; i < n; ++i) {
    *dst++ = kDigits[bytes[i] >> 4];
    *dst++ = kDigits[bytes[i] & 15];
  }
  return dst;
}

size_t strllen(const char* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n] != '\0') ++n;
  return n;
}

char* chompl(char* s, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (s[i] == '\n') {
      s[i] = '\0';
      break;
    }
  }
  return s;
}

char* shm_cpystrn(char* dst, const char* src, size_t n) {
  if (n == 0) return dst;
  for (--n; n > 0; --n) {
    if ((*dst = *src++) == '\0') return dst;
    ++dst;
  }
  *dst = '\0';
  return dst;
}

}  // namespace quillmap
