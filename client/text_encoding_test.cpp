#include "client/text_encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

#include "util/testing/seed.h"
#include "util/utf8.h"

namespace quillmap {
namespace {

// A JSON string reader for what the encoder may write: the short escapes, \u00XX below 0x20 and the
// lone surrogates \uDC80..\uDCFF, read back as the byte they stand for (what a surrogate-escape
// reader does). nullopt for anything else.
std::optional<std::string> read_json_string(std::string_view j) {
  if (j.size() < 2 || j.front() != '"' || j.back() != '"') return std::nullopt;
  j = j.substr(1, j.size() - 2);
  std::string out;
  for (size_t i = 0; i < j.size(); ++i) {
    const auto c = static_cast<unsigned char>(j[i]);
    if (c < 0x20 || c == '"') return std::nullopt;  // must have been escaped
    const size_t short_escape = c != '\\' || ++i == j.size() ? 0 : std::string_view("\"\\bfnrt").find(j[i]) + 1;
    const uint32_t cp = c == '\\' && i + 4 < j.size() && j[i] == 'u' ? std::stoul(std::string(j.substr(i + 1, 4)), nullptr, 16) : 0x20;
    if (c != '\\') out.push_back(static_cast<char>(c));
    else if (short_escape > 0) out.push_back("\"\\\b\f\n\r\t"[short_escape - 1]);
    else if (cp < 0x20 || (cp >= 0xDC80 && cp <= 0xDCFF)) out.push_back(static_cast<char>(cp < 0x20 ? cp : cp - 0xDC00)), i += 4;
    else return std::nullopt;
  }
  return out;
}

// The exact forms of each kind of escape.
TEST(TextEncoding, Table) {
  struct Case { std::string bytes, json, text; };
  const Case cases[] = {
      {"caf\xE9", "\"caf\\udce9\"", "caf\\xe9"},                     // Latin-1, not UTF-8
      {"a\"b\\c\n\t\x01\x7f", "\"a\\\"b\\\\c\\n\\t\\u0001\x7f\"", "a\"b\\x5cc\\x0a\\x09\\x01\\x7f"},
      {std::string("\0x", 2), "\"\\u0000x\"", "\\x00x"},
  };
  for (const Case& c : cases) EXPECT_TRUE(json_string(c.bytes) == c.json && text_escaped(c.bytes) == c.text) << c.text;
}

// Random byte strings, biased towards UTF-8 lead and continuation bytes: well-formed exactly when the
// store's validator (util/utf8.h) says so; the JSON form is valid UTF-8 by that validator, reads back
// to the same bytes, and leaves well-formed text without characters to escape untouched.
TEST(TextEncoding, JsonRoundTripModel) {
  const uint32_t seed = testing::test_seed(15);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  const unsigned char kPalette[] = {'a', '"', '\\', '\n', 0x01, 0x7f, 0x80, 0xBF, 0xC2, 0xC3, 0xA9, 0xE0, 0xA0,
                                    0xE2, 0x82, 0xAC, 0xED, 0xF0, 0x9F, 0x8F, 0xF4, 0x90, 0xFF, 0xC0};
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(rng() % 12, '\0');
    for (char& b : bytes) b = static_cast<char>(rng() % 3 ? kPalette[rng() % sizeof kPalette] : rng() % 256);
    const bool valid = is_valid_utf8(bytes);
    ASSERT_EQ(valid, is_valid_utf8(bytes.data(), bytes.size())) << ::testing::PrintToString(bytes);
    const std::string j = json_string(bytes);
    ASSERT_TRUE(is_valid_utf8(j.data(), j.size())) << ::testing::PrintToString(bytes);
    ASSERT_EQ(read_json_string(j), bytes) << j;
    const bool plain = std::none_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b < 0x20 || b == '"' || b == '\\'; });
    ASSERT_TRUE(!plain || !valid || j == "\"" + bytes + "\"") << j;
  }
}

}  // namespace
}  // namespace quillmap
