// The reader alone: which entries a data file text yields, with a fixed load time.

#include "persist/data_file_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "persist/testing/persist_fixture.h"

namespace quillmap {
namespace {

using testing::LogCapture;

constexpr time_t kNow = 1700000000;

// The entries that `text` as a data file hands over, as "key=value@expires[ address]"; the sink stops
// the read at the key "stop", with -3.
std::vector<std::string> read_text(const std::string& text, int64_t* result) {
  testing::ScratchDir dir;
  testing::write_file(dir.file("data.yaml"), text);
  std::vector<std::string> out;
  *result = read_data_file(dir.file("data.yaml").c_str(), kNow, [&](const DataFileEntry& e) {
    out.push_back(std::string(e.key, e.key_len) + "=" + std::string(e.value, e.value_len) + "@" +
                  std::to_string(e.expires) + (e.is_address ? " address" : ""));
    return out.back().starts_with("stop=") ? int64_t{-3} : int64_t{0};
  });
  return out;
}

struct ReaderCase {
  const char* name;
  std::string text;
  std::vector<std::string> want;
  std::string log_line = {};  // a text the log must show, when not empty
  int64_t result = 0;         // the read's result when it fails; else the count of entries
};

// Shapes the dump does not write; what it writes is read back by the round trip and the dump tests.
TEST(DataFileReader, TableOfShapes) {
  const std::vector<ReaderCase> cases = {
      {"empty file", "", {}},
      {"top-level scalar member ignored, no document markers", "x: 1\nk:\n  value: v\n", {"k=v@0"}},
      {"only true is true", "k:\n  value: v\n  is_address: True\nl:\n  value: v\n  is_address: yes\n",
       {"k=v@0", "l=v@0"}},
      {"second value replaces the first", "k:\n  value: a\n  value: b\n", {"k=b@0"}},
      {"missing members do not carry over",
       "a:\n  value: 1\n  expires: 9999999999\n  is_address: true\nb:\n  value: 2\n",
       {"a=1@9999999999 address", "b=2@0"}},
      {"entry without value skipped", "a:\n  expires: 0\nb:\n  value: x\n", {"b=x@0"},
       "Key a was not loaded as it has no value"},
      {"nested collections skipped", "a:\n  other: {value: no, x: [1, 2]}\n  value: yes\n  list: [value, expires]\n",
       {"a=yes@0"}},
      {"sequence as entry body ignored", "a: [1, 2]\nb:\n  value: 2\n", {"b=2@0"}},
      {"alias as value slot", "a:\n  value: &v x\nb:\n  value: *v\n  expires: 0\n", {"a=x@0"},
       "Key b was not loaded as it has no value"},
      {"complex key after a scalar member skipped", "x: 1\n? [1, 2]\n:\n  value: x\nb:\n  value: 2\n",
       {"b=2@0"}, "An entry whose key is not a text was not loaded"},
      {"expired address skipped", "a:\n  value: x\n  expires: 1699999999\n  is_address: true\n", {},
       "[INFO]: Address a was not loaded as it was expired\n"},
      {"expired key skipped", "a:\n  value: x\n  expires: 1\n", {}, "[INFO]: Key a was not loaded as it was expired\n"},
      {"expiry equal to now loaded", "a:\n  value: x\n  expires: 1700000000\n", {"a=x@1700000000"}},
      {"text ends at NUL", "\"a\\0b\":\n  value: \"c\\0d\"\n", {"a=c@0"}},
      {"a stopping sink ends the read", "a:\n  value: 1\nstop:\n  value: 2\nc:\n  value: 3\n", {"a=1@0", "stop=2@0"},
       "", -3},
      {"two documents", "---\na:\n  value: 1\n...\n---\nb:\n  value: 2\n...\n", {"a=1@0", "b=2@0"}},
      {"tags and quotes ignored", "!!str 'a b':\n  !!str value: !!str \"x\\ty\"\n  expires: !!int 0\n", {"a b=x\ty@0"}},
      // Keys this long are written as explicit keys ("? key"), as the emitter does.
      {"key over the limit skipped",
       "? " + std::string(65536, 'k') + "\n:\n  value: a\n? " + std::string(65535, 'm') + "\n:\n  value: b\n",
       {std::string(65535, 'm') + "=b@0"},
       "Key of 65536 bytes starting with '" + std::string(64, 'k') + "' was not loaded"},
      {"entries before a parse error handed over", "a:\n  value: 1\nb:\n  value: 2\nc: [unclosed\n",
       {"a=1@0", "b=2@0"}, "[ERROR]: Failed to emit event 0: ", -1},
      // 64 levels (the top mapping, the entry's, 62 more) are read; 65 end the read before the parser
      // goes on (200 KB of "[" once held a start-up for half a minute).
      {"64 levels", "a:\n  value: 1\n  x: " + std::string(62, '[') + std::string(62, ']') + "\n", {"a=1@0"}},
      {"65 levels", "a:\n  value: 1\n  x: " + std::string(63, '[') + std::string(63, ']') + "\n", {},
       "data.yaml: collections nested deeper than 64 levels", -1},
      {"200 KB of [", std::string(200000, '['), {}, "[ERROR]: Could not load ", -1},
  };
  for (const ReaderCase& c : cases) {
    LogCapture log;
    int64_t result = 0;
    EXPECT_EQ(read_text(c.text, &result), c.want) << c.name;
    EXPECT_EQ(result, c.result < 0 ? c.result : static_cast<int64_t>(c.want.size())) << c.name;
    if (!c.log_line.empty()) {
      EXPECT_TRUE(log.contains(c.log_line)) << c.name << "\n" << log.text();
    }
  }
}

TEST(DataFileReader, NoFile) {
  LogCapture log;
  const auto sink = [](const DataFileEntry&) { return int64_t{0}; };
  EXPECT_EQ(read_data_file(nullptr, kNow, sink), -1);
  EXPECT_EQ(log.text(), "");  // an absent path is refused without a message
  EXPECT_EQ(read_data_file("/nonexistent/quillmap/data.yaml", kNow, sink), -1);
  EXPECT_TRUE(log.contains("[ERROR]: Could not open /nonexistent/quillmap/data.yaml for reading: No such file"));
}

}  // namespace
}  // namespace quillmap
