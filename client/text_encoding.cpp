#include "client/text_encoding.h"

#include <cstdint>
#include <cstdio>

namespace quillmap {
namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void append_hex_escape(std::string& out, const char* format, unsigned value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, format, value);
  out += buf;
}

}  // namespace

size_t utf8_sequence_length(std::string_view s) noexcept {
  const auto c0 = static_cast<unsigned char>(s[0]);
  if (c0 < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if (c0 >= 0xC2 && c0 <= 0xDF) {
    n = 2, cp = c0 & 0x1F;
  } else if (c0 >= 0xE0 && c0 <= 0xEF) {
    n = 3, cp = c0 & 0x0F;
  } else if (c0 >= 0xF0 && c0 <= 0xF4) {
    n = 4, cp = c0 & 0x07;
  } else {
    return 0;  // a continuation byte, an overlong two-byte lead (C0, C1), or beyond U+10FFFF
  }
  if (s.size() < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (!is_continuation(c)) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  // Overlong forms, surrogates and code points above U+10FFFF are not well-formed.
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return n;
}

bool is_valid_utf8(std::string_view s) noexcept {
  while (!s.empty()) {
    size_t n = utf8_sequence_length(s);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  out.reserve(s.size() + 2);
  while (!s.empty()) {
    const auto c = static_cast<unsigned char>(s[0]);
    size_t n = utf8_sequence_length(s);
    if (n == 0) {
      append_hex_escape(out, "\\udc%02x", c);
      n = 1;
    } else if (n > 1) {
      out.append(s.substr(0, n));
    } else {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (c < 0x20) append_hex_escape(out, "\\u%04x", c);
          else out.push_back(static_cast<char>(c));
      }
    }
    s.remove_prefix(n);
  }
  return out + "\"";
}

std::string text_escaped(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    const auto c = static_cast<unsigned char>(s[0]);
    size_t n = utf8_sequence_length(s);
    if (n == 0 || (n == 1 && (c < 0x20 || c == 0x7f || c == '\\'))) {
      append_hex_escape(out, "\\x%02x", c);
      n = 1;
    } else {
      out.append(s.substr(0, n));
    }
    s.remove_prefix(n);
  }
  return out;
}

}  // namespace quillmap
