// How quillmap-cli shows an answer: readable lines, or one JSON object.
#pragma once

#include <string>
#include <string_view>

#include "client/wire_codec.h"

namespace quillmap {

// The message, then one "name value" line per info figure, then "hashsum VALUE" (or
// "hashsum (not computed)" when the daemon could not compute it); each present part only. Every
// line ends in a newline.
std::string format_answer_text(const Answer& answer);

// {"success":...,"message":...,"affected":N,"info":{...},"hashsum":...} on one line with a
// newline; absent fields are left out, "cut_short":true is added when the client saw it.
std::string format_answer_json(const Answer& answer);

// `s` as a JSON string literal, quotes included.
std::string json_string(std::string_view s);

}  // namespace quillmap
