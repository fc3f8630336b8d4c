#include "tools/cli_output.h"

#include <algorithm>

namespace quillmap {
namespace {

struct Figure {
  const char* name;        // text and JSON name
  const char* metric;      // Prometheus name
  const char* help;
  int64_t InfoFigures::*field;
};

constexpr Figure kFigures[] = {
    {"pages_total", "quillmap_segment_pages", "Pages of the shared segment's allocator.", &InfoFigures::pages_total},
    {"pages_free", "quillmap_segment_free_pages", "Pages not handed out.", &InfoFigures::pages_free},
    {"bytes_total", "quillmap_segment_bytes", "Size of the shared segment in bytes.", &InfoFigures::bytes_total},
    {"bytes_alloc", "quillmap_allocated_bytes", "Bytes in pages handed out.", &InfoFigures::bytes_alloc},
    {"bytes_used", "quillmap_used_bytes", "Bytes in chunks in use.", &InfoFigures::bytes_used},
};

struct Count {
  const char* name;   // text name and Prometheus label value
  uint64_t EntryCounts::*field;
};

constexpr Count kCounts[] = {
    {"string", &EntryCounts::string_keys},
    {"ipv4", &EntryCounts::ipv4_prefixes},
    {"ipv6", &EntryCounts::ipv6_prefixes},
};

// What makes a request of each kind fail outright (rather than find or change nothing). The
// address syntax and the length are checked before sending, so they are not listed.
const char* failure_reasons(Action action) {
  switch (action) {
    case Action::kAdd:
    case Action::kSet:
      return "the dictionary has no room for the entry (the segment is full), or the daemon could not take "
             "the segment lock in time";
    case Action::kGet:
    case Action::kDel:
    case Action::kClear:
      return "the daemon could not take the segment lock in time";
    case Action::kLoad:
      return "the daemon refused the path: it must be in the data file's folder or under dump_dir, and only "
             "root or the daemon's account may name one; or the file is missing or not a data file the daemon "
             "can read (its log says which)";
    case Action::kDump:
      return "the daemon refused the path: it must be in the data file's folder or under dump_dir, and only "
             "root or the daemon's account may name one; or the file could not be written (its log says why)";
    case Action::kInfo:
    case Action::kHash:
      break;
  }
  return nullptr;
}

const char* action_word(Action action) {
  switch (action) {
    case Action::kGet: return "get/exists";
    case Action::kAdd: return "add";
    case Action::kSet: return "set";
    case Action::kDel: return "del";
    case Action::kInfo: return "info";
    case Action::kHash: return "hash";
    case Action::kClear: return "clear";
    case Action::kLoad: return "load";
    case Action::kDump: return "dump";
  }
  return "?";
}

// Which parts of the index answer lookups.
std::string index_validity(const IndexFigures& f) {
  if (!f.present) return "absent";
  std::string parts;
  for (auto [on, name] : {std::pair{f.hash_valid, "hash"}, {f.ipv4_valid, "ipv4"}, {f.ipv6_valid, "ipv6"}}) {
    if (on) parts += (parts.empty() ? "" : ",") + std::string(name);
  }
  return parts.empty() ? "none" : parts;
}

}  // namespace

std::string format_answer_text(const Answer& answer, const std::optional<EntryCounts>& counts) {
  std::string out;
  if (answer.message) out += *answer.message + "\n";
  if (answer.info) {
    for (const Figure& f : kFigures) {
      out += std::string(f.name) + " " + std::to_string((*answer.info).*f.field) + "\n";
    }
    if (counts) {
      for (const Count& c : kCounts) out += "entries_" + std::string(c.name) + " " + std::to_string((*counts).*c.field) + "\n";
      out += "index_bytes " + std::to_string(counts->index.bytes) + "\n";
      out += "index_valid " + index_validity(counts->index) + "\n";
      out += "change_epoch " + std::to_string(counts->index.change_epoch) + "\n";
    }
  }
  if (answer.hashsum) out += "hashsum " + (answer.hashsum->empty() ? "(not computed)" : *answer.hashsum) + "\n";
  return out;
}

std::string format_answer_json(const Answer& answer, const std::optional<EntryCounts>& counts) {
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
    if (counts) {
      out += ",\"entries\":{";
      sep = "";
      for (const Count& c : kCounts) {
        out += sep + json_string(c.name) + ":" + std::to_string((*counts).*c.field);
        sep = ",";
      }
      out += "},\"index\":{\"bytes\":" + std::to_string(counts->index.bytes) +
             ",\"valid\":" + json_string(index_validity(counts->index)) +
             ",\"change_epoch\":" + std::to_string(counts->index.change_epoch) + "}";
    }
  }
  if (answer.hashsum) out += ",\"hashsum\":" + json_string(*answer.hashsum);
  if (answer.cut_short) out += ",\"cut_short\":true";
  return out + "}\n";
}

std::string format_prometheus(const InfoFigures& info, const std::optional<EntryCounts>& counts) {
  std::string out;
  for (const Figure& f : kFigures) {
    out += std::string("# HELP ") + f.metric + " " + f.help + "\n# TYPE " + f.metric + " gauge\n" + f.metric + " " +
           std::to_string(info.*f.field) + "\n";
  }
  if (counts) {
    out += "# HELP quillmap_entries Entries of the dictionary by key kind.\n# TYPE quillmap_entries gauge\n";
    for (const Count& c : kCounts) {
      out += std::string("quillmap_entries{kind=\"") + c.name + "\"} " + std::to_string((*counts).*c.field) + "\n";
    }
    out += "# HELP quillmap_index_bytes Bytes of the index beside the dictionary.\n# TYPE quillmap_index_bytes gauge\n"
           "quillmap_index_bytes " + std::to_string(counts->index.bytes) + "\n";
  }
  return out;
}

std::string likely_failure_reasons(const std::vector<Request>& batch) {
  std::vector<Action> kinds;
  for (const Request& r : batch) {
    const auto a = static_cast<Action>(r.action);
    if (failure_reasons(a) && std::find(kinds.begin(), kinds.end(), a) == kinds.end()) kinds.push_back(a);
  }
  std::string out;
  for (Action a : kinds) out += std::string("  ") + action_word(a) + ": " + failure_reasons(a) + "\n";
  return out;
}

}  // namespace quillmap
