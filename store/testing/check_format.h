// Test support: printf-style formatting into a std::string for invariant-checker messages.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace quillmap::testing {

__attribute__((format(printf, 1, 2))) inline std::string check_format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

}  // namespace quillmap::testing
