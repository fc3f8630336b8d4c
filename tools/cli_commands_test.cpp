#include "tools/cli_commands.h"

#include <gtest/gtest.h>

#include "tools/cli_output.h"

namespace quillmap {
namespace {

constexpr std::time_t kNow = 1700000000;

// A request in one short text, for tables: "action key ktype value expires" with "-" for absent.
std::string text_of(const std::optional<std::string>& o) { return o.value_or("-"); }
template <class T>
std::string text_of(const std::optional<T>& o) { return o ? std::to_string(static_cast<uint64_t>(*o)) : "-"; }
std::string describe(const Request& r) {
  return std::to_string(r.action) + " " + text_of(r.key) + " " + text_of(r.ktype) + " " + text_of(r.value) + " " +
         text_of(r.expires);
}

// A batch's requests joined by "|", or "error: <text>".
std::string describe(const Result<std::vector<Request>>& batch) {
  if (!batch) return "error: " + batch.error();
  std::string out;
  for (const Request& r : batch.value()) out += (out.empty() ? "" : "|") + describe(r);
  return out;
}

TEST(CliCommands, CommandsBecomeRequests) {
  struct Case {
    std::string line, request;     // describe() of the result, or "error: <text>"
    bool address_defaults = false;  // address keys expiring at 42; a command's own options win
  };
  const Case cases[] = {
      {"get k", "1 k 1 - -"}, {"get 10.0.0.1 --ip", "1 10.0.0.1 2 - -"}, {"add k", "2 k 1 - -"},
      {"add --expires 0 k v", "2 k 1 v 0"}, {"set --expires=+60 k v", "3 k 1 v 1700000060"},
      {"set k v --expires 1800000000", "3 k 1 v 1800000000"}, {"set -- -k -v", "3 -k 1 -v -"},
      {"del --ip ::1/128", "4 ::1/128 2 - -"}, {"set k -", "3 k 1 - -"},  // a lone "-" is a value, not an option
      {"exists --ip 10.1.2.3/8", "1 10.1.2.3/8 2 - -"},  // host bits are the daemon's to clear
      {"set --ttl=2h --ip fe80::/10 v", "3 fe80::/10 2 v 1700007200"},
      {"add --ip 10.0.0.0/33 v", "error: add: the address key '10.0.0.0/33' does not parse (an IPv4 or IPv6 "
                                 "address, optionally with /PREFIX-LENGTH)"},
      {"get --ttl 5 k", "error: --ttl does not apply to get"},
      {"load data/x.yaml", "8 - - /work/here/data/x.yaml -"}, {"dump ../there/./x.yaml", "9 - - /work/there/x.yaml -"},
      {"dump /a/./b/../c.yaml", "9 - - /a/c.yaml -"}, {"info", "5 - - - -"}, {"hash", "6 - - - -"},
      {"clear", "7 - - - -"}, {"load", "8 - - - -"},
      {"get", "error: get: missing argument; usage: get [--ip] KEY"},
      {"get a b", "error: get: unexpected argument 'b'; usage: get [--ip] KEY"},
      {"info x", "error: info: unexpected argument 'x'; usage: info"},
      {"load a b", "error: load: unexpected argument 'b'; usage: load [PATH]"},
      {"hash --ip", "error: --ip does not apply to hash"}, {"add --expires", "error: --expires needs a time"},
      {"add --bogus k", "error: unknown option '--bogus' for add"}, {"fetch k", "error: unknown command 'fetch'"},
      {"get " + std::string(2100, 'k'), "error: get: request is 2107 bytes packed; the daemon takes at most 2048"},
      {"add 10.0.0.0/8 v", "2 10.0.0.0/8 2 v 42", true}, {"add --string k v --expires 7", "2 k 1 v 7", true},
      {"info", "5 - - - -", true},  // defaults do not make INFO invalid
  };
  for (const auto& [line, request, address_defaults] : cases) {
    const CommandDefaults defaults = address_defaults ? CommandDefaults{KeyType::kAddress, 42, "/work/here"}
                                                      : CommandDefaults{KeyType::kString, std::nullopt, "/work/here"};
    Result<Request> r = parse_command(split_line(line).value().front(), defaults, kNow);
    EXPECT_EQ(r ? describe(r.value()) : "error: " + r.error(), request) << line;
  }
}

// Each text as --expires and as --ttl.
TEST(CliCommands, ExpiryTexts) {
  const std::nullopt_t no = std::nullopt;
  const std::tuple<std::string, std::optional<uint32_t>, std::optional<uint32_t>> cases[] = {
      {"0", 0u, no}, {"100", 100u, 1700000100u}, {"4294967295", 4294967295u, no}, {"2594967295", 2594967295u, 4294967295u},
      {"4294967296", no, no}, {"+0", 1700000000u, no}, {"+2594967295", 4294967295u, no}, {"+2594967296", no, no},
      {"", no, no}, {"-5", no, no}, {"5x", no, no}, {"30s", no, 1700000030u}, {"5m", no, 1700000300u},
      {"2h", no, 1700007200u}, {"1d", no, 1700086400u}, {"30034d", no, 4294937600u}, {"30035d", no, no},
  };
  for (const auto& [text, expires, ttl] : cases) {
    Result<uint32_t> e = parse_expires(text, kNow), t = parse_ttl(text, kNow);
    EXPECT_EQ(e ? std::optional<uint32_t>(e.value()) : no, expires) << "--expires '" << text << "'";
    EXPECT_EQ(t ? std::optional<uint32_t>(t.value()) : no, ttl) << "--ttl '" << text << "'";
  }
}

// Lines split like a shell's, ";" between commands, "#" lines and blank lines skipped.
TEST(CliCommands, LinesBecomeBatches) {
  const std::pair<std::string, std::string> cases[] = {
      {"  set\t a   b  ", "3 a 1 b -"}, {"set 'a b' \"c d\"", "3 a b 1 c d -"},
      {"set a\\ b 'x\\y'; set \"q\\\"r\"", "3 a b 1 x\\y -|3 q\"r 1 - -"}, {"set '' \"\"", "3  1  -"},
      {"set a';'b ';'", "3 a;b 1 ; -"}, {"get a;get b ; ;info;", "1 a 1 - -|1 b 1 - -|5 - - - -"},
      {"set a 'b", "error: line 1: unterminated ' quote"}, {"set a \"b", "error: line 1: unterminated \" quote"},
      {"set a \\", "error: line 1: \\ at the end of the line"}, {"", ""},
      {"# a comment\n\nadd a 1\r\nadd b 2; get a\n   # indented comment\nhash", "2 a 1 1 -|2 b 1 2 -|1 a 1 - -|6 - - - -"},
      {"get a\n\nget 'b\n", "error: line 3: unterminated ' quote"},
  };
  for (const auto& [text, batch] : cases) EXPECT_EQ(describe(parse_lines(text, {}, kNow)), batch) << text;
  EXPECT_EQ(describe(parse_batch({"add", "k", "v", ";", ";", "get", "k", ";", "info", ";"}, {}, kNow)),
            "2 k 1 v -|1 k 1 - -|5 - - - -");
  EXPECT_EQ(describe(parse_batch({"get", "k", ";", "get"}, {}, kNow)),
            "error: command 2: get: missing argument; usage: get [--ip] KEY");
}

TEST(CliOutput, TextAndJson) {
  const Answer a{true, "2 affected entries", InfoFigures{10, 9, 40960, 8192, 100}, ""};
  EXPECT_EQ(format_answer_text(a),
            "2 affected entries\npages_total 10\npages_free 9\nbytes_total 40960\nbytes_alloc 8192\n"
            "bytes_used 100\nhashsum (not computed)\n");
  EXPECT_EQ(format_answer_json(a),
            "{\"success\":true,\"message\":\"2 affected entries\",\"affected\":2,\"info\":{\"pages_total\":10,"
            "\"pages_free\":9,\"bytes_total\":40960,\"bytes_alloc\":8192,\"bytes_used\":100},\"hashsum\":\"\"}\n");
  Answer none{};
  none.cut_short = true;  // no text at all
  EXPECT_EQ(format_answer_text(none) + format_answer_json(none), "{\"success\":false,\"cut_short\":true}\n");
  const EntryCounts counts{3, 2, 1, {}};
  EXPECT_NE(format_answer_json(a, counts).find("\"bytes_used\":100},\"entries\":{\"string\":3,\"ipv4\":2,\"ipv6\":1}"),
            std::string::npos);
  EXPECT_NE(format_answer_text(a, counts).find("bytes_used 100\nentries_string 3\nentries_ipv4 2\nentries_ipv6 1\n"),
            std::string::npos);
  const std::string prometheus = format_prometheus(*a.info, counts);
  EXPECT_NE(prometheus.find("# TYPE quillmap_segment_pages gauge\nquillmap_segment_pages 10\n"), std::string::npos);
  EXPECT_NE(prometheus.find("quillmap_entries{kind=\"ipv6\"} 1\n"), std::string::npos);
}

}  // namespace
}  // namespace quillmap
