#include "tools/cli_commands.h"

#include <gtest/gtest.h>

#include "tools/cli_output.h"

namespace quillmap {
namespace {

constexpr std::time_t kNow = 1700000000;

std::vector<std::string> words_of(const std::string& line) {
  auto commands = split_line(line);
  EXPECT_TRUE(commands) << line;
  std::vector<std::string> words;
  for (auto& c : commands.value()) {
    if (!words.empty()) words.push_back(";");
    words.insert(words.end(), c.begin(), c.end());
  }
  return words;
}

// A request in one short text, for tables: "action key ktype value expires" with "-" for absent.
std::string describe(const Request& r) {
  auto opt = [](const auto& o) {
    if (!o) return std::string("-");
    if constexpr (std::is_same_v<std::decay_t<decltype(*o)>, std::string>) return *o;
    else return std::to_string(static_cast<uint64_t>(*o));
  };
  return std::to_string(r.action) + " " + opt(r.key) + " " + opt(r.ktype) + " " + opt(r.value) + " " +
         opt(r.expires);
}

TEST(CliCommands, CommandsBecomeRequests) {
  struct Case {
    std::string line;
    std::string request;  // describe() of the result, or "error: <text>"
  };
  const Case cases[] = {
      {"get k", "1 k 1 - -"},
      {"get --ip 10.0.0.1", "1 10.0.0.1 2 - -"},
      {"get 10.0.0.1 --ip", "1 10.0.0.1 2 - -"},
      {"add k", "2 k 1 - -"},
      {"add k v", "2 k 1 v -"},
      {"add --expires 0 k v", "2 k 1 v 0"},
      {"set --expires=+60 k v", "3 k 1 v 1700000060"},
      {"set k v --expires 1800000000", "3 k 1 v 1800000000"},
      {"set --ip --string k v", "3 k 1 v -"},
      {"set -- -k -v", "3 -k 1 -v -"},
      {"set k -", "3 k 1 - -"},  // a lone "-" is a value, not an option
      {"del --ip ::1/128", "4 ::1/128 2 - -"},
      {"exists --ip 10.1.2.3/8", "1 10.1.2.3/8 2 - -"},  // host bits are the daemon's to clear
      {"add --ttl 5m k v", "2 k 1 v 1700000300"},
      {"set --ttl=2h --ip fe80::/10 v", "3 fe80::/10 2 v 1700007200"},
      {"add --ip 10.0.0.0/33 v", "error: add: the address key '10.0.0.0/33' does not parse (an IPv4 or IPv6 "
                                 "address, optionally with /PREFIX-LENGTH)"},
      {"get --ip example.org", "error: get: the address key 'example.org' does not parse (an IPv4 or IPv6 "
                               "address, optionally with /PREFIX-LENGTH)"},
      {"get --ttl 5 k", "error: --ttl does not apply to get"},
      {"load data/x.yaml", "8 - - /work/here/data/x.yaml -"},
      {"dump ../there/./x.yaml", "9 - - /work/there/x.yaml -"},
      {"dump /a/./b/../c.yaml", "9 - - /a/c.yaml -"},
      {"info", "5 - - - -"},
      {"hash", "6 - - - -"},
      {"clear", "7 - - - -"},
      {"load", "8 - - - -"},
      {"load /tmp/data.yaml", "8 - - /tmp/data.yaml -"},
      {"dump /tmp/out.yaml", "9 - - /tmp/out.yaml -"},
      {"get", "error: get: missing argument; usage: get [--ip] KEY"},
      {"get a b", "error: get: unexpected argument 'b'; usage: get [--ip] KEY"},
      {"info x", "error: info: unexpected argument 'x'; usage: info"},
      {"load a b", "error: load: unexpected argument 'b'; usage: load [PATH]"},
      {"get --expires 5 k", "error: --expires does not apply to get"},
      {"hash --ip", "error: --ip does not apply to hash"},
      {"add --expires", "error: --expires needs a time"},
      {"add --bogus k", "error: unknown option '--bogus' for add"},
      {"fetch k", "error: unknown command 'fetch'"},
      {"get " + std::string(2100, 'k'), "error: get: request is 2107 bytes packed; the daemon takes at most 2048"},
  };
  for (const Case& c : cases) {
    CommandDefaults defaults;
    defaults.working_dir = "/work/here";
    Result<Request> r = parse_command(words_of(c.line), defaults, kNow);
    EXPECT_EQ(r ? describe(r.value()) : "error: " + r.error(), c.request) << c.line;
  }
}

TEST(CliCommands, DefaultsApplyUnlessTheCommandSaysOtherwise) {
  CommandDefaults d{KeyType::kAddress, 42, ""};
  auto one = [&](const std::string& line) { return describe(parse_command(words_of(line), d, kNow).value()); };
  EXPECT_EQ(one("add 10.0.0.0/8 v"), "2 10.0.0.0/8 2 v 42");
  EXPECT_EQ(one("add --string k v --expires 7"), "2 k 1 v 7");
  EXPECT_EQ(one("info"), "5 - - - -");  // defaults do not make INFO invalid
}

// Each text as --expires and as --ttl.
TEST(CliCommands, ExpiryTexts) {
  struct Case {
    std::string text;
    std::optional<uint32_t> expires, ttl;
  };
  const std::nullopt_t no = std::nullopt;
  const Case cases[] = {
      {"0", 0u, no},
      {"100", 100u, 1700000100u},
      {"4294967295", 4294967295u, no},
      {"2594967295", 2594967295u, 4294967295u},
      {"4294967296", no, no},
      {"+0", 1700000000u, no},
      {"+100", 1700000100u, no},
      {"+2594967295", 4294967295u, no},
      {"+2594967296", no, no},
      {"", no, no},
      {"+", no, no},
      {"-5", no, no},
      {"30s", no, 1700000030u},
      {"5m", no, 1700000300u},
      {"2h", no, 1700007200u},
      {"1d", no, 1700086400u},
      {"30034d", no, 4294937600u},
      {"30035d", no, no},
      {"5x", no, no},
      {"m", no, no},
      {"0s", no, no},
      {"++1", no, no},
  };
  for (const Case& c : cases) {
    Result<uint32_t> e = parse_expires(c.text, kNow);
    EXPECT_EQ(e ? std::optional<uint32_t>(e.value()) : no, c.expires) << "--expires '" << c.text << "'";
    Result<uint32_t> t = parse_ttl(c.text, kNow);
    EXPECT_EQ(t ? std::optional<uint32_t>(t.value()) : no, c.ttl) << "--ttl '" << c.text << "'";
  }
}

TEST(CliCommands, LinesSplitLikeAShell) {
  using Commands = std::vector<std::vector<std::string>>;
  struct Case {
    std::string line;
    std::optional<Commands> commands;
  };
  const Case cases[] = {
      {"set a b", Commands{{"set", "a", "b"}}},
      {"  set\t a   b  ", Commands{{"set", "a", "b"}}},
      {"set 'a b' \"c d\"", Commands{{"set", "a b", "c d"}}},
      {"set a\\ b 'x\\y' \"q\\\"r\"", Commands{{"set", "a b", "x\\y", "q\"r"}}},
      {"set '' \"\"", Commands{{"set", "", ""}}},
      {"set a';'b ';'", Commands{{"set", "a;b", ";"}}},
      {"get a;get b ; ;info;", Commands{{"get", "a"}, {"get", "b"}, {"info"}}},
      {"set a 'b", std::nullopt},
      {"set a \"b", std::nullopt},
      {"set a \\", std::nullopt},
      {"", Commands{}},
  };
  for (const Case& c : cases) {
    auto r = split_line(c.line);
    EXPECT_EQ(r ? std::optional<Commands>(r.value()) : std::nullopt, c.commands) << c.line;
  }
}

TEST(CliCommands, BatchesFromArgumentsAndLines) {
  Result<std::vector<Request>> args =
      parse_batch({"add", "k", "v", ";", ";", "get", "k", ";", "info", ";"}, CommandDefaults{}, kNow);
  ASSERT_TRUE(args) << args.error();
  ASSERT_EQ(args.value().size(), 3u);
  EXPECT_EQ(describe(args.value()[2]), "5 - - - -");

  Result<std::vector<Request>> bad = parse_batch({"get", "k", ";", "get"}, CommandDefaults{}, kNow);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "command 2: get: missing argument; usage: get [--ip] KEY");

  std::string text = "# a comment\n\nadd a 1\r\nadd b 2; get a\n   # indented comment\nhash";
  Result<std::vector<Request>> lines = parse_lines(text, CommandDefaults{}, kNow);
  ASSERT_TRUE(lines) << lines.error();
  ASSERT_EQ(lines.value().size(), 4u);
  EXPECT_EQ(describe(lines.value()[0]), "2 a 1 1 -");
  EXPECT_EQ(describe(lines.value()[3]), "6 - - - -");

  Result<std::vector<Request>> bad_line = parse_lines("get a\n\nget 'b\n", CommandDefaults{}, kNow);
  ASSERT_FALSE(bad_line);
  EXPECT_EQ(bad_line.error(), "line 3: unterminated ' quote");
}

TEST(CliOutput, TextAndJson) {
  Answer a;
  a.success = true;
  a.message = "2 affected entries";
  a.info = InfoFigures{10, 9, 40960, 8192, 100};
  a.hashsum = "";
  EXPECT_EQ(format_answer_text(a),
            "2 affected entries\npages_total 10\npages_free 9\nbytes_total 40960\nbytes_alloc 8192\n"
            "bytes_used 100\nhashsum (not computed)\n");
  EXPECT_EQ(format_answer_json(a),
            "{\"success\":true,\"message\":\"2 affected entries\",\"affected\":2,\"info\":{\"pages_total\":10,"
            "\"pages_free\":9,\"bytes_total\":40960,\"bytes_alloc\":8192,\"bytes_used\":100},\"hashsum\":\"\"}\n");
  Answer none;
  none.cut_short = true;
  EXPECT_EQ(format_answer_text(none), "");
  EXPECT_EQ(format_answer_json(none), "{\"success\":false,\"cut_short\":true}\n");
  EntryCounts counts{3, 2, 1};
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
