#include "tools/cli_output.h"

#include <cstdio>

namespace quillmap {
namespace {

struct Figure {
  const char* name;
  int64_t InfoFigures::*field;
};

constexpr Figure kFigures[] = {
    {"pages_total", &InfoFigures::pages_total}, {"pages_free", &InfoFigures::pages_free},
    {"bytes_total", &InfoFigures::bytes_total}, {"bytes_alloc", &InfoFigures::bytes_alloc},
    {"bytes_used", &InfoFigures::bytes_used},
};

}  // namespace

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(ch);
        }
    }
  }
  return out + "\"";
}

std::string format_answer_text(const Answer& answer) {
  std::string out;
  if (answer.message) out += *answer.message + "\n";
  if (answer.info) {
    for (const Figure& f : kFigures) {
      out += std::string(f.name) + " " + std::to_string((*answer.info).*f.field) + "\n";
    }
  }
  if (answer.hashsum) out += "hashsum " + (answer.hashsum->empty() ? "(not computed)" : *answer.hashsum) + "\n";
  return out;
}

std::string format_answer_json(const Answer& answer) {
  std::string out = std::string("{\"success\":") + (answer.success ? "true" : "false");
  if (answer.message) out += ",\"message\":" + json_string(*answer.message);
  if (auto n = answer.affected()) out += ",\"affected\":" + std::to_string(*n);
  if (answer.info) {
    out += ",\"info\":{";
    const char* sep = "";
    for (const Figure& f : kFigures) {
      out += sep + json_string(f.name) + ":" + std::to_string((*answer.info).*f.field);
      sep = ",";
    }
    out += "}";
  }
  if (answer.hashsum) out += ",\"hashsum\":" + json_string(*answer.hashsum);
  if (answer.cut_short) out += ",\"cut_short\":true";
  return out + "}\n";
}

}  // namespace quillmap
