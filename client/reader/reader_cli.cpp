#include "client/reader/reader_cli.h"

#include <cinttypes>

#include "client/text_encoding.h"

namespace quillmap {
namespace {

int fail(FILE* err, const char* what, ReadStatus s) {
  std::fprintf(err, "%s: %s\n", what, read_status_text(s));
  return reader_exit_status(s);
}

}  // namespace

int reader_exit_status(ReadStatus s) {
  switch (s) {
    case ReadStatus::kOk: return 0;
    case ReadStatus::kNotFound: return 1;
    case ReadStatus::kNoSegment: return 3;
    default: return 2;
  }
}

void print_entry(const EntryView& e, bool json, FILE* out) {
  if (json) {
    std::fprintf(out, "{\"key\":%s,\"value\":%s,\"expires\":%" PRIu64 ",\"address\":%s}\n", json_string(e.key).c_str(),
                 json_string(e.value).c_str(), e.expires, e.is_address ? "true" : "false");
  } else {
    std::fprintf(out, "%s\t%s\t%" PRIu64 "\t%s\n", text_escaped(e.key).c_str(), text_escaped(e.value).c_str(), e.expires,
                 e.is_address ? "address" : "string");
  }
}

ReadStatus open_reader(const ReaderCliOptions& options, Reader* reader) {
  ReaderOptions ro;
  ro.hide_expired = options.hide_expired;
  return options.data_path.empty() ? Reader::open_config(options.config_path, reader, ro)
                                   : Reader::open(options.data_path, reader, ro);
}

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
  Reader reader;
  ReadStatus s = open_reader(options, &reader);
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
