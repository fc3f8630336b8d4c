#include "tools/cli_local_commands.h"

#include <cstdio>

#include "client/dict_client.h"
#include "client/reader/reader_cli.h"
#include "util/settings.h"

namespace quillmap {
namespace {

int fail(int status, const std::string& text) {
  std::fprintf(stderr, "quillmap-cli: %s\n", text.c_str());
  return status;
}

// The segment is named by -d, or by the data_path of -c, or of the default configuration file when
// no -s says that another daemon is meant. nullopt: no way to name it.
std::optional<ReaderCliOptions> reader_options(const CliContext& context) {
  ReaderCliOptions options;
  options.json = context.json;
  if (context.data_path) {
    options.data_path = *context.data_path;
  } else if (context.config_path) {
    options.config_path = *context.config_path;
  } else if (!context.socket_given) {
    options.config_path = kDefaultConfigPath;
  } else {
    return std::nullopt;
  }
  return options;
}

// peek, match and entries read the segment through the reader library.
template <const char* kName>
int run_reader(const CliContext& context, const std::vector<std::string>& args) {
  ReaderCliOptions options = reader_options(context).value_or(ReaderCliOptions{});
  if (options.data_path.empty() && options.config_path.empty()) options.config_path = kDefaultConfigPath;
  return run_reader_command(options, kName, args, stdout, stderr);
}

// stats [--prometheus]: the info figures and entry counts, for people, JSON or Prometheus.
int run_stats(const CliContext& context, const std::vector<std::string>& args) {
  bool prometheus = false;
  for (const std::string& a : args) {
    if (a != "--prometheus") return fail(kExitUsage, "usage: stats [--prometheus]");
    prometheus = true;
  }
  Result<Answer> answer = send_batch(context.socket_path, {make_simple(Action::kInfo)}, {context.timeout_ms});
  if (!answer) return fail(kExitUnreachable, answer.error() + " (is the daemon running?)");
  Answer a = std::move(answer).value();
  if (!a.info) return fail(kExitNoSuccess, "the daemon's answer holds no figures");
  const std::optional<EntryCounts> counts = count_entries(context);
  a.message.reset();
  std::string out = prometheus ? format_prometheus(*a.info, counts)
                               : context.json ? format_answer_json(a, counts) : format_answer_text(a, counts);
  std::fputs(out.c_str(), stdout);
  return kExitSuccess;
}

constexpr char kPeek[] = "peek";
constexpr char kMatch[] = "match";
constexpr char kEntries[] = "entries";

}  // namespace

std::span<const LocalCommand> local_commands() {
  static const std::vector<LocalCommand> commands = {
      {kPeek, "KEY", "value, expiry and kind of the entry with exactly this key",
       run_reader<kPeek>},
      {kMatch, "ADDRESS", "the entry of the longest stored prefix covering ADDRESS",
       run_reader<kMatch>},
      {kEntries, "", "every entry in key-tree order", run_reader<kEntries>},
      {"stats", "[--prometheus]", "info's figures and entry counts (--prometheus: for Prometheus)",
       run_stats},
  };
  return commands;
}

std::optional<EntryCounts> count_entries(const CliContext& context) {
  std::optional<ReaderCliOptions> options = reader_options(context);
  if (!options) return std::nullopt;
  Reader reader;
  if (open_reader(*options, &reader) != ReadStatus::kOk) return std::nullopt;
  EntryCounts counts;
  ReadStatus s = reader.for_each([&counts](const EntryView& e) {
    if (!e.is_address) ++counts.string_keys;
    else if (e.key.find(':') != std::string_view::npos) ++counts.ipv6_prefixes;
    else ++counts.ipv4_prefixes;
    return true;
  });
  if (s != ReadStatus::kOk || reader.index_figures(&counts.index) != ReadStatus::kOk) return std::nullopt;
  return counts;
}

int run_batch(const CliContext& context, const std::vector<Request>& batch) {
  Result<std::string> frames = encode_batch(batch);
  if (!frames) return fail(kExitUsage, frames.error());
  Result<DictConnection> connection = DictConnection::open(context.socket_path, ClientOptions{context.timeout_ms});
  if (!connection) return fail(kExitUnreachable, connection.error() + " (is the daemon running?)");
  Status sent = connection.value().send_frames(frames.value());
  if (!sent) return fail(kExitUnreachable, sent.error());
  Result<Answer> answer = connection.value().finish();
  if (!answer) return fail(kExitUnreachable, answer.error());
  const Answer& a = answer.value();
  const std::optional<EntryCounts> counts = a.info ? count_entries(context) : std::nullopt;
  std::fputs((context.json ? format_answer_json(a, counts) : format_answer_text(a, counts)).c_str(), stdout);
  std::fflush(stdout);
  if (a.cut_short) {
    return fail(kExitNoSuccess, "the daemon stopped reading the batch before its end; the answer covers only "
                                "the requests before that point");
  }
  if (!a.success) {
    std::string reasons = likely_failure_reasons(batch);
    return fail(kExitNoSuccess, "the daemon reports no success: no request of the batch had an outcome" +
                                    (reasons.empty() ? std::string() : "; likely reasons:\n" + reasons.substr(0, reasons.size() - 1)));
  }
  return kExitSuccess;
}

int run_get(const CliContext& context, const Request& get) {
  std::optional<ReaderCliOptions> options = reader_options(context);
  Reader reader;
  ReadStatus opened = options ? open_reader(*options, &reader) : ReadStatus::kBadPath;
  if (opened != ReadStatus::kOk) {
    std::fprintf(stderr, "quillmap-cli: note: the value cannot be read from the shared segment (%s); the daemon's "
                         "answer says only whether the key is present\n",
                 options ? read_status_text(opened) : "give -d DATA_PATH or -c CONFIG to name it");
    return run_batch(context, {get});
  }
  const std::string& key = *get.key;
  std::string found_key, value;
  EntryInfo info;
  ReadStatus s = get.ktype == KeyType::kAddress ? reader.match(key, &found_key, &value, &info)
                                                 : reader.get(key, &value, &info);
  if (s == ReadStatus::kNotFound) {
    if (context.json) std::fputs("null\n", stdout);
    std::fprintf(stderr, "quillmap-cli: %s: not found\n", text_escaped(key).c_str());
    return kExitNoSuccess;
  }
  if (s != ReadStatus::kOk) return fail(reader_exit_status(s), text_escaped(key) + ": " + read_status_text(s));
  if (context.json) {
    EntryView e;
    e.key = get.ktype == KeyType::kAddress ? std::string_view(found_key) : std::string_view(key);
    e.value = value;
    e.expires = info.expires;
    e.is_address = info.is_address;
    print_entry(e, true, stdout);
  } else {
    std::printf("%s\n", text_escaped(value).c_str());
  }
  return kExitSuccess;
}

}  // namespace quillmap
