// How keys and values are shown to people and programs: as JSON string literals and as plain text.
//
// Keys and values are byte strings. Well-formed UTF-8 is written as it stands in both forms; what
// must be escaped is escaped per byte:
//   - JSON: '"' and '\' with a backslash, \b \f \n \r \t, other control characters below 0x20 as
//     \u00XX; a byte that is not part of a well-formed UTF-8 sequence (a stray continuation byte, a
//     truncated or overlong sequence, an encoded surrogate, a code point above U+10FFFF) as the lone
//     surrogate \uDCXX, XX being the byte. That is the surrogate-escape convention: a JSON reader
//     that keeps lone surrogates gets the bytes back (Python: json.loads(text).encode("utf-8",
//     "surrogateescape")), and no valid text can produce such an escape.
//   - text: control characters (below 0x20, and 0x7f), '\' and bytes outside well-formed UTF-8 as
//     \xNN, so that a tab-separated line stays one line of fields.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmap {

// Length of the well-formed UTF-8 sequence that starts `s` (1 to 4), or 0 when its first byte does
// not begin one. `s` must not be empty.
size_t utf8_sequence_length(std::string_view s) noexcept;

// Whether all of `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s) noexcept;

// `s` as a JSON string literal, quotes included.
std::string json_string(std::string_view s);

// `s` for a line of text output.
std::string text_escaped(std::string_view s);

}  // namespace quillmap
