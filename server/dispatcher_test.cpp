// The dispatcher over a socket pair and a real store: long random batches against a model of the
// present keys (count and every outcome line), the requests outside the model, undecodable bodies,
// INFO and HASH, the once-per-connection forced unlock, LOAD and DUMP, and a peer that has gone.
#include "server/dispatcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/wire_codec.h"
#include "entry/store_init.h"
#include "store/testing/log_capture.h"
#include "store/rwlock.h"
#include "store/sweeps.h"
#include "store/testing/pool_fixture.h"
#include "util/testing/seed.h"
#include "util/io.h"
#include "util/settings.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

constexpr KeyType kStr = KeyType::kString;
constexpr KeyType kAddr = KeyType::kAddress;
const std::string kBareAnswer("\x00\x02\x08\x00", 4);  // success false, nothing else

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The lines that name a request's outcome ("[LEVEL]: message"); other layers log at INFO too.
std::vector<std::string> outcome_lines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    bool info = l.rfind("[INFO]: ", 0) == 0;
    if ((info && (l.find("successfully") != std::string::npos || l.find(" is missing") != std::string::npos ||
                  l.find("Missing ") != std::string::npos || l.find("purging") != std::string::npos)) ||
        l.rfind("[ERROR]: Unknown action", 0) == 0) {
      out.push_back(l);
    }
  }
  return out;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(init_memory(pool(), 0, fixture_.size()), 0);
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    data_path_ = dir_ + "/data.yaml";
    settings.data_path = data_path_.data();
    struct sigaction sa {};
    sa.sa_handler = signal_handler;  // a SIGPIPE would set got_pipe
    sigaction(SIGPIPE, &sa, &saved_pipe_action_);
    signal_flags.got_pipe = 0;
  }
  void TearDown() override {
    sigaction(SIGPIPE, &saved_pipe_action_, nullptr);
    settings = saved_settings_;
    std::filesystem::remove_all(dir_);
  }

  SlabPool* pool() { return fixture_.pool(); }

  // Sends `bytes` from a second thread (calling `between` after the first `first_part` bytes), ends
  // the sending direction, serves the connection and returns everything the dispatcher wrote back.
  std::string serve_raw(const std::string& bytes, size_t first_part = 0, const std::function<void()>& between = {}) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    UniqueFd client(sv[1]);
    std::thread writer([&] {
      shm_writen(client.get(), bytes.data(), first_part);
      if (between) between();
      shm_writen(client.get(), bytes.data() + first_part, bytes.size() - first_part);
      shutdown(client.get(), SHUT_WR);
    });
    handle_request(sv[0], pool());
    writer.join();
    struct stat st;
    EXPECT_NE(fstat(sv[0], &st), 0) << "the dispatcher closes its socket";
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = read(client.get(), buf, sizeof buf)) > 0;) answer.append(buf, n);
    return answer;
  }

  Answer serve(const std::vector<Request>& batch) {
    Result<Answer> answer = decode_answer_stream(serve_raw(encode_batch(batch).value()));
    EXPECT_TRUE(answer.ok()) << answer.error();
    return answer.ok() ? answer.value() : Answer{};
  }

  bool present(const std::string& key, KeyType kind = kStr) { return serve({make_get(key, kind)}).affected() == 1u; }

  testing::LogCapture log_;
  Settings saved_settings_ = settings;
  testing::PoolFixture fixture_{4 << 20, testing::PoolBacking::kHeap, false};
  std::string dir_ = "/tmp/qm_dispatch_XXXXXX";
  std::string data_path_;
  struct sigaction saved_pipe_action_ {};
};

TEST_F(DispatcherTest, RandomBatchesAgreeWithTheModel) {
  const uint32_t seed = testing::test_seed(20261207u);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  std::set<std::string> model;  // present keys; string ("kN") and address ("10.0.N.0/24") names disjoint
  for (int round = 0; round < 6; ++round) {
    std::vector<Request> batch;
    std::vector<std::string> lines;
    uint64_t expected = 0;
    auto expect = [&](bool counted, const std::string& line) {
      expected += counted;
      if (!line.empty()) lines.push_back("[INFO]: " + line);
    };
    log_.take();
    for (int i = 0; i < 700; ++i) {
      int pick = static_cast<int>(rng() % 100), n = static_cast<int>(rng() % 25);
      bool address = rng() % 2;
      KeyType kind = address ? kAddr : rng() % 4 ? kStr : static_cast<KeyType>(7);  // not IPADDR: a string key
      std::string key = address ? "10.0." + std::to_string(n) + ".0/24" : "k" + std::to_string(n);
      std::string name = (address ? "Address " : "Key ") + key;
      bool has = model.count(key) != 0;
      if (pick < 25) {
        batch.push_back(make_get(key, kind));
        expect(has, name + (has ? " successfully found" : " is missing"));
      } else if (pick < 50) {
        batch.push_back(make_add(key, "v" + std::to_string(i), 0, kind));
        expect(!has, has ? "" : name + " successfully added");
        model.insert(key);
      } else if (pick < 65) {
        batch.push_back(make_set(key, "s", 0, kind));
        expect(true, name + (has ? " successfully updated" : " successfully added"));
        model.insert(key);
      } else if (pick < 90) {
        batch.push_back(make_del(key, kind));
        expect(has, has ? name + " successfully deleted" : "Missing " + name + " was not deleted but it is OK");
        model.erase(key);
      } else if (pick < 93) {
        int action = pick % 2 ? 0 : 11;  // unknown: reported, not counted
        batch.push_back(Request{action, key, {}, {}, {}});
        lines.push_back("[ERROR]: Unknown action :" + std::to_string(action));
      } else if (pick < 96) {
        batch.push_back(make_get("10.0.0.300", kAddr));  // not an address: not counted
      } else {
        batch.push_back(make_simple(rng() % 2 ? Action::kInfo : Action::kHash));
      }
    }
    Answer a = serve(batch);
    ASSERT_TRUE(a.success);
    ASSERT_EQ(a.affected(), expected) << "round " << round;
    ASSERT_EQ(outcome_lines(log_.take()), lines) << "round " << round;
    for (int n = 0; n <= 24; ++n) {
      std::string s = "k" + std::to_string(n), ad = "10.0." + std::to_string(n) + ".0/24";
      ASSERT_EQ(present(s), model.count(s) != 0) << s;
      ASSERT_EQ(present("10.0." + std::to_string(n) + ".77", kAddr), model.count(ad) != 0) << ad;
    }
  }
}

// Requests the model leaves out, each alone in a batch after the same set-up.
TEST_F(DispatcherTest, SingleRequestOutcomes) {
  struct Row {
    Request request;
    std::optional<uint64_t> affected;  // nullopt: success false and no message
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {make_simple(Action::kClear), 1, {"[INFO]: Forcibly purging node '10.0.0.0/8'", "[INFO]: Forcibly purging node 'a'"}},
      {make_simple(Action::kInfo), 0, {}},
      {make_simple(Action::kHash), 0, {}},
      {make_get("not-an-address", kAddr), std::nullopt, {}},
      {make_add("300.1.1.1", "v", 0, kAddr), std::nullopt, {}},
      {Request{0, "k", {}, {}, {}}, std::nullopt, {"[ERROR]: Unknown action :0"}},
      {Request{10, "k", {}, {}, {}}, std::nullopt, {"[ERROR]: Unknown action :10"}},
      // Enum fields carry any 32 bits a peer sends.
      {Request{-1, "k", {}, {}, {}}, std::nullopt, {"[ERROR]: Unknown action :-1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("action " + std::to_string(row.request.action) + " " + row.request.key.value_or(""));
    serve({make_simple(Action::kClear), make_add("a", "1"), make_add("10.0.0.0/8", "v", 0, kAddr)});
    log_.take();
    Answer a = serve({row.request});
    EXPECT_EQ(a.success, row.affected.has_value());
    EXPECT_EQ(a.affected(), row.affected);
    std::vector<std::string> lines = outcome_lines(log_.take());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, row.lines);
    EXPECT_EQ(a.info.has_value(), row.request.action == static_cast<int>(Action::kInfo));
    EXPECT_EQ(a.hashsum.has_value(), row.request.action == static_cast<int>(Action::kHash));
  }
}

TEST_F(DispatcherTest, UndecodableBodyStopsTheBatch) {
  std::string frames = encode_batch({make_add("first", "v")}).value() + std::string("\x00\x03\xff\xff\xff", 5) +
                       encode_batch({make_add("third", "v")}).value();
  Result<Answer> a = decode_answer_stream(serve_raw(frames));
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a.value().affected(), 1u);
  EXPECT_TRUE(has_line(log_.take(), "[ERROR]: Could not process message. Skipped"));
  EXPECT_TRUE(present("first"));
  EXPECT_FALSE(present("third"));
  // An empty body does not decode (the action is required); an empty connection runs nothing.
  EXPECT_EQ(serve_raw(std::string("\x00\x00", 2)), kBareAnswer);
  EXPECT_EQ(serve_raw(""), kBareAnswer);
}

TEST_F(DispatcherTest, InfoAndHashDescribeTheDictionaryAfterTheBatch) {
  EXPECT_EQ(serve({make_simple(Action::kHash)}).hashsum, "da39a3ee5e6b4b0d3255bfef95601890afd80709");  // SHA-1 of ""
  Answer a = serve({make_simple(Action::kHash), make_simple(Action::kInfo), make_add("x", "v"),
                    make_simple(Action::kHash), make_add("10.0.0.0/8", "v", 0, kAddr), make_simple(Action::kInfo)});
  EXPECT_EQ(a.affected(), 2u);
  ASSERT_TRUE(a.hashsum && a.info);
  char digest[41] = {};
  ASSERT_EQ(rbtree_get_hashsum(pool(), digest), 0);
  EXPECT_EQ(*a.hashsum, digest);
  EXPECT_GT(a.info->bytes_used, 0);
  EXPECT_LE(a.info->bytes_used, a.info->bytes_alloc);
  EXPECT_LE(a.info->pages_free, a.info->pages_total);
  pool()->lock = kLockWriter;  // a dead writer: the answer breaks its lock
  Answer again = serve({make_simple(Action::kInfo), make_simple(Action::kHash)});
  EXPECT_EQ(again.info, a.info);
  EXPECT_EQ(again.hashsum, a.hashsum);
  EXPECT_EQ(pool()->lock, 0u);
}

TEST_F(DispatcherTest, ForcedUnlockOncePerConnection) {
  pool()->lock = kLockWriter;  // a dead writer: broken once, then every request of the batch runs
  EXPECT_EQ(serve({make_add("ab", "1"), make_get("ab"), make_add("b", "2")}).affected(), 3u);
  std::vector<std::string> lines = log_.take();
  EXPECT_TRUE(has_line(lines, "[WARN]: Forcibly removing all locks and repeating"));
  EXPECT_FALSE(has_line(lines, "[WARN]: Could not forcibly remove a lock. Gave up."));

  // The first request fills the first 2048-byte block exactly (pairs of 0xff are over-long headers,
  // which are skipped), so it runs before the second request is even sent.
  std::string first = encode_batch({make_del("ab")}).value();
  ASSERT_EQ(first.size() % 2, 0u);
  first.append(2048 - first.size(), '\xff');
  std::string second = encode_batch({make_del("b")}).value();
  pool()->lock = kLockWriter;
  std::string raw = serve_raw(first + second, first.size(), [&] {
    // Wait for the first request's outcome, then hold the lock again for the second one.
    for (int i = 0; i < 2000 && !log_.contains("successfully deleted") && !log_.contains("not deleted"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    __atomic_store_n(&pool()->lock, kLockWriter, __ATOMIC_SEQ_CST);
  });
  Result<Answer> a = decode_answer_stream(raw);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a.value().affected(), 1u);
  std::vector<std::string> warns;
  for (const std::string& l : log_.take()) {
    if (l.rfind("[WARN]: ", 0) == 0) warns.push_back(l);
  }
  EXPECT_EQ(warns, (std::vector<std::string>{"[WARN]: Forcibly removing all locks and repeating",
                                             "[WARN]: Could not forcibly remove a lock. Gave up."}));
  pool()->lock = 0;
  EXPECT_FALSE(present("ab"));
  EXPECT_TRUE(present("b"));
}

TEST_F(DispatcherTest, DumpAndLoadWithAndWithoutPath) {
  const std::string other = dir_ + "/other.yaml";
  auto logged = [&](const std::string& line) { return has_line(log_.take(), "[INFO]: " + line); };
  serve({make_add("a", "1"), make_add("10.0.0.0/8", "v", 0, kAddr)});
  EXPECT_EQ(serve({make_file_request(Action::kDump, other)}).affected(), 1u);
  EXPECT_TRUE(logged("Dumped 2 entries to " + other));
  serve({make_del("a"), make_add("b", "2")});
  EXPECT_EQ(serve({make_simple(Action::kDump)}).affected(), 1u);  // to the configured data_path
  EXPECT_TRUE(logged("Dumped 2 entries to " + data_path_));
  EXPECT_EQ(serve({make_file_request(Action::kLoad, other)}).affected(), 1u);
  EXPECT_TRUE(logged("Loaded 2 entries from " + other));
  EXPECT_TRUE(present("a") && !present("b") && present("10.1.2.3", kAddr));
  EXPECT_EQ(serve({make_simple(Action::kLoad)}).affected(), 1u);  // from the configured data_path
  EXPECT_TRUE(logged("Loaded 2 entries from " + data_path_));
  EXPECT_TRUE(!present("a") && present("b"));
  // A path outside the data file's folder is refused before anything is opened.
  const std::string outside = std::filesystem::path(dir_).parent_path().string() + "/qm_dispatch_outside.yaml";
  EXPECT_FALSE(serve({make_file_request(Action::kDump, outside)}).success);
  EXPECT_TRUE(log_.contains("[WARN]: Refused the path " + outside + " of client PID="));
  EXPECT_FALSE(std::filesystem::exists(outside));
  // A missing file, or one that does not parse as a whole, loads nothing and purges nothing.
  std::ofstream(dir_ + "/broken.yaml") << "---\nx:\n  value: 1\n  expires: 0\n  is_address: false\n\"unterminated: [\n";
  for (const std::string& bad : {dir_ + "/missing.yaml", dir_ + "/broken.yaml"}) {
    EXPECT_FALSE(serve({make_file_request(Action::kLoad, bad)}).success) << bad;
    EXPECT_TRUE(present("b") && !present("x")) << bad;
  }
}

TEST_F(DispatcherTest, AnswerToAPeerThatHasGoneIsReported) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::string frames = encode_batch({make_add("k", "v")}).value();
  ASSERT_EQ(shm_writen(sv[1], frames.data(), frames.size()), static_cast<int64_t>(frames.size()));
  close(sv[1]);
  log_.take();
  handle_request(sv[0], pool());
  EXPECT_TRUE(has_line(log_.take(), "[WARN]: Could not write answer: socket closed"));
  EXPECT_EQ(signal_flags.got_pipe, 0);
  EXPECT_TRUE(present("k"));
}

}  // namespace
}  // namespace quillmap
