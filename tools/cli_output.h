// How quillmap-cli shows an answer: readable lines, one JSON object, or Prometheus text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/reader/quillmap_reader.hpp"
#include "client/text_encoding.h"
#include "client/wire_codec.h"

namespace quillmap {

// Entries of the dictionary by key kind, counted through the reader (the daemon's INFO answer has
// memory figures only).
struct EntryCounts {
  uint64_t string_keys = 0;
  uint64_t ipv4_prefixes = 0;
  uint64_t ipv6_prefixes = 0;
  IndexFigures index;
};

// The message, then one "name value" line per info figure (and, with `counts`, "entries_string N",
// "entries_ipv4 N", "entries_ipv6 N", "index_bytes N", "index_valid hash,ipv4,ipv6" (the parts that
// answer; "none", or "absent" without an index), "change_epoch N"), then "hashsum VALUE" (or "hashsum (not computed)" when the
// daemon could not compute it); each present part only. Every line ends in a newline.
std::string format_answer_text(const Answer& answer, const std::optional<EntryCounts>& counts = std::nullopt);

// {"success":...,"message":...,"affected":N,"info":{...},"entries":{...},"hashsum":...} on one line
// with a newline; absent fields are left out, "cut_short":true is added when the client saw it.
std::string format_answer_json(const Answer& answer, const std::optional<EntryCounts>& counts = std::nullopt);

// The info figures (and counts) in the Prometheus text exposition format, every metric a gauge named
// quillmap_*, as node_exporter's textfile collector reads them.
std::string format_prometheus(const InfoFigures& info, const std::optional<EntryCounts>& counts);

// Why a batch may have had no outcome at all, for the kinds of request it held: the daemon's answer
// carries counts only. One line per kind, each "  KIND: reasons".
std::string likely_failure_reasons(const std::vector<Request>& batch);

}  // namespace quillmap
