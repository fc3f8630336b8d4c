#include "client/reader/reader_cli.h"

#include <cinttypes>

#include "client/reader/quillmap_reader.hpp"

namespace quillmap {
namespace {

void print_text_bytes(std::string_view s, FILE* out) {
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      std::fputc(c, out);
    } else {
      std::fprintf(out, "\\x%02x", c);
    }
  }
}

// A JSON string; bytes outside ASCII are written as \u00XX so that any value gives valid JSON.
void print_json_string(std::string_view s, FILE* out) {
  std::fputc('"', out);
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      std::fputc('\\', out);
      std::fputc(c, out);
    } else if (c >= 0x20 && c < 0x7f) {
      std::fputc(c, out);
    } else {
      std::fprintf(out, "\\u%04x", c);
    }
  }
  std::fputc('"', out);
}

void print_entry(const EntryView& e, bool json, FILE* out) {
  if (json) {
    std::fputs("{\"key\":", out);
    print_json_string(e.key, out);
    std::fputs(",\"value\":", out);
    print_json_string(e.value, out);
    std::fprintf(out, ",\"expires\":%" PRIu64 ",\"address\":%s}\n", e.expires, e.is_address ? "true" : "false");
  } else {
    print_text_bytes(e.key, out);
    std::fputc('\t', out);
    print_text_bytes(e.value, out);
    std::fprintf(out, "\t%" PRIu64 "\t%s\n", e.expires, e.is_address ? "address" : "string");
  }
}

int fail(FILE* err, const char* what, ReadStatus s) {
  std::fprintf(err, "%s: %s\n", what, read_status_text(s));
  return 2;
}

}  // namespace

bool is_reader_command(std::string_view command) {
  return command == "peek" || command == "match" || command == "entries";
}

int run_reader_command(const ReaderCliOptions& options, std::string_view command, const std::vector<std::string>& args,
                       FILE* out, FILE* err) {
  if (!is_reader_command(command)) {
    std::fputs("expected one of: peek KEY, match ADDRESS, entries\n", err);
    return 2;
  }
  const size_t want = command == "entries" ? 0 : 1;
  if (args.size() != want) {
    std::fprintf(err, "usage: %s\n", command == "peek" ? "peek KEY" : command == "match" ? "match ADDRESS" : "entries");
    return 2;
  }
  if (options.data_path.empty() && options.config_path.empty()) {
    std::fputs("the segment is found from -d DATA_PATH or -c CONFIG\n", err);
    return 2;
  }
  ReaderOptions ro;
  ro.hide_expired = options.hide_expired;
  Reader reader;
  ReadStatus s = options.data_path.empty() ? Reader::open_config(options.config_path, &reader, ro)
                                           : Reader::open(options.data_path, &reader, ro);
  if (s != ReadStatus::kOk) return fail(err, "cannot open the dictionary", s);

  if (command == "entries") {
    struct Printer {
      bool json;
      FILE* out;
    } printer{options.json, out};
    s = reader.for_each(
        [](const EntryView& e, void* arg) {
          auto* p = static_cast<Printer*>(arg);
          print_entry(e, p->json, p->out);
          return true;
        },
        &printer);
    return s == ReadStatus::kOk ? 0 : fail(err, "entries", s);
  }

  std::string key, value;
  EntryInfo info;
  s = command == "peek" ? reader.get(args[0], &value, &info) : reader.match(args[0], &key, &value, &info);
  if (s == ReadStatus::kNotFound) {
    if (options.json) {
      std::fputs("null\n", out);
    } else {
      std::fprintf(err, "%s: not found\n", args[0].c_str());
    }
    return 1;
  }
  if (s != ReadStatus::kOk) return fail(err, args[0].c_str(), s);
  EntryView e;
  e.key = command == "peek" ? std::string_view(args[0]) : std::string_view(key);
  e.value = value;
  e.expires = info.expires;
  e.is_address = info.is_address;
  print_entry(e, options.json, out);
  return 0;
}

}  // namespace quillmap
