// The dispatcher over a socket pair and a real store: every row of the outcome table, the counting
// rules (against a model for long random batches), the answer's shape, undecodable and unknown
// requests, the once-per-connection forced unlock, LOAD and DUMP.
#include "server/dispatcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/wire_codec.h"
#include "entry/store_init.h"
#include "server/testing/log_capture.h"
#include "store/rwlock.h"
#include "store/sweeps.h"
#include "store/testing/pool_fixture.h"
#include "util/io.h"
#include "util/settings.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

constexpr KeyType kStr = KeyType::kString;
constexpr KeyType kAddr = KeyType::kAddress;

std::vector<std::string> info_lines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    if (l.rfind("[INFO]: ", 0) == 0) out.push_back(l.substr(8));
  }
  return out;
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_ = std::make_unique<testing::PoolFixture>(4 << 20, testing::PoolBacking::kHeap, false);
    ASSERT_EQ(init_memory(pool(), 0, fixture_->size()), 0);
    char dir[] = "/tmp/qm_dispatch_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    data_path_ = dir_ + "/data.yaml";
    saved_settings_ = settings;
    settings.data_path = data_path_.data();
    struct sigaction sa {};
    sa.sa_handler = signal_handler;
    sigaction(SIGPIPE, &sa, &saved_pipe_action_);
    signal_flags.got_pipe = 0;
  }
  void TearDown() override {
    sigaction(SIGPIPE, &saved_pipe_action_, nullptr);
    settings = saved_settings_;
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  SlabPool* pool() { return fixture_->pool(); }

  // Sends `bytes` from a second thread (calling `between` after the first `first_part` bytes), ends
  // the sending direction, serves the connection and returns everything the dispatcher wrote back.
  std::string serve_raw(const std::string& bytes, size_t first_part = std::string::npos,
                        const std::function<void()>& between = nullptr) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    UniqueFd client(sv[1]);
    std::thread writer([&] {
      size_t first = std::min(first_part, bytes.size());
      shm_writen(client.get(), bytes.data(), first);
      if (between) between();
      shm_writen(client.get(), bytes.data() + first, bytes.size() - first);
      shutdown(client.get(), SHUT_WR);
    });
    handle_request(sv[0], pool());
    writer.join();
    EXPECT_EQ(is_closed(sv[0]), true) << "the dispatcher closes its socket";
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = read(client.get(), buf, sizeof buf)) > 0;) answer.append(buf, n);
    return answer;
  }

  static bool is_closed(int fd) {
    struct stat st;
    return fstat(fd, &st) != 0;
  }

  Answer serve(const std::vector<Request>& batch) {
    Result<std::string> frames = encode_batch(batch);
    EXPECT_TRUE(frames.ok());
    Result<Answer> answer = decode_answer_stream(serve_raw(frames.ok() ? frames.value() : ""));
    EXPECT_TRUE(answer.ok()) << answer.error();
    return answer.ok() ? answer.value() : Answer{};
  }

  // Whether a GET finds the key (one connection of its own).
  bool present(const std::string& key, KeyType kind = kStr) {
    return serve({make_get(key, kind)}).affected() == 1u;
  }

  std::string current_hashsum() {
    char out[41] = {};
    EXPECT_EQ(rbtree_get_hashsum(pool(), out), 0);
    return out;
  }

  testing::LogCapture log_;
  std::unique_ptr<testing::PoolFixture> fixture_;
  std::string dir_;
  std::string data_path_;
  Settings saved_settings_;
  struct sigaction saved_pipe_action_ {};
};

struct OutcomeRow {
  const char* name;
  std::vector<Request> setup;       // run in a connection of its own first
  Request request;                  // the request under test
  std::optional<uint64_t> affected; // nullopt: success false and no message
  std::vector<std::string> info;    // the INFO lines the request logs, in order
};

TEST_F(DispatcherTest, OutcomeTable) {
  const std::vector<OutcomeRow> rows = {
      {"GET found", {make_add("k", "v")}, make_get("k"), 1, {"Key k successfully found"}},
      {"GET missing", {}, make_get("k"), 0, {"Key k is missing"}},
      {"ADD new", {}, make_add("k", "v"), 1, {"Key k successfully added"}},
      {"ADD existing", {make_add("k", "v")}, make_add("k", "w"), 0, {}},
      {"SET existing", {make_add("k", "v")}, make_set("k", "w"), 1, {"Key k successfully updated"}},
      {"SET absent", {}, make_set("k", "w"), 1, {"Key k successfully added"}},
      {"DEL existing", {make_add("k", "v")}, make_del("k"), 1, {"Key k successfully deleted"}},
      {"DEL missing", {}, make_del("k"), 0, {"Missing Key k was not deleted but it is OK"}},
      {"GET address covered", {make_add("10.0.0.0/8", "v", 0, kAddr)}, make_get("10.20.30.40", kAddr), 1,
       {"Address 10.20.30.40 successfully found"}},
      {"GET address not covered", {make_add("10.0.0.0/8", "v", 0, kAddr)}, make_get("11.0.0.1", kAddr), 0,
       {"Address 11.0.0.1 is missing"}},
      {"ADD address", {}, make_add("10.0.0.0/8", "v", 0, kAddr), 1, {"Address 10.0.0.0/8 successfully added"}},
      {"ADD address existing", {make_add("::1", "v", 0, kAddr)}, make_add("::1", "v", 0, kAddr), 0, {}},
      {"SET address existing", {make_add("::1", "v", 0, kAddr)}, make_set("::1", "w", 0, kAddr), 1,
       {"Address ::1 successfully updated"}},
      {"SET address absent", {}, make_set("::1", "w", 0, kAddr), 1, {"Address ::1 successfully added"}},
      {"DEL address", {make_add("1.2.3.4", "v", 0, kAddr)}, make_del("1.2.3.4", kAddr), 1,
       {"Address 1.2.3.4 successfully deleted"}},
      {"DEL address missing", {}, make_del("10.0.0.0/8", kAddr), 0,
       {"Missing Address 10.0.0.0/8 was not deleted but it is OK"}},
      {"GET invalid address", {}, make_get("not-an-address", kAddr), std::nullopt, {}},
      {"ADD invalid address", {}, make_add("300.1.1.1", "v", 0, kAddr), std::nullopt, {}},
      {"ktype other than IPADDR is a string key", {}, Request{1, "1.2.3.4", static_cast<KeyType>(7), {}, {}}, 0,
       {"Key 1.2.3.4 is missing"}},
      {"CLEAR", {make_add("a", "1"), make_add("10.0.0.0/8", "v", 0, kAddr)}, make_simple(Action::kClear), 1,
       {"Forcibly purging node '10.0.0.0/8'", "Forcibly purging node 'a'"}},
      {"INFO", {}, make_simple(Action::kInfo), 0, {}},
      {"HASH", {}, make_simple(Action::kHash), 0, {}},
      {"unknown action 0", {}, Request{0, "k", {}, {}, {}}, std::nullopt, {}},
      {"unknown action 10", {}, Request{10, "k", {}, {}, {}}, std::nullopt, {}},
  };
  for (const OutcomeRow& row : rows) {
    SCOPED_TRACE(row.name);
    serve({make_simple(Action::kClear)});
    if (!row.setup.empty()) serve(row.setup);
    log_.take();
    Answer a = serve({row.request});
    std::vector<std::string> lines = log_.take();
    if (row.affected) {
      EXPECT_TRUE(a.success);
      EXPECT_EQ(a.affected(), row.affected);
    } else {
      EXPECT_FALSE(a.success);
      EXPECT_FALSE(a.message.has_value());
    }
    std::vector<std::string> infos = info_lines(lines);
    // Only the dispatcher's outcome lines and the purge's lines; other layers log at INFO too.
    std::vector<std::string> relevant;
    for (const std::string& l : infos) {
      if (l.find("successfully") != std::string::npos || l.find("missing") != std::string::npos ||
          l.find("Missing") != std::string::npos || l.find("purging") != std::string::npos) {
        relevant.push_back(l);
      }
    }
    std::vector<std::string> expected_info = row.info;
    std::sort(relevant.begin(), relevant.end());
    std::sort(expected_info.begin(), expected_info.end());
    EXPECT_EQ(relevant, expected_info);
    EXPECT_EQ(a.info.has_value(), row.request.action == static_cast<int>(Action::kInfo));
    EXPECT_EQ(a.hashsum.has_value(), row.request.action == static_cast<int>(Action::kHash));
    if (row.request.action == 0 || row.request.action == 10) {
      EXPECT_TRUE(has_line(lines, "[ERROR]: Unknown action :" + std::to_string(row.request.action)));
    }
  }
}

TEST_F(DispatcherTest, AddGetDelOfOneKeyCountsThree) {
  Answer a = serve({make_add("key1", "v"), make_get("key1"), make_del("key1")});
  EXPECT_TRUE(a.success);
  EXPECT_EQ(a.message, "3 affected entries");
  EXPECT_EQ(info_lines(log_.take()), (std::vector<std::string>{"Key key1 successfully added",
                                                               "Key key1 successfully found",
                                                               "Key key1 successfully deleted"}));
}

TEST_F(DispatcherTest, EmptyConnectionGetsTheFourByteAnswer) {
  EXPECT_EQ(serve_raw(""), std::string("\x00\x02\x08\x00", 4));
}

TEST_F(DispatcherTest, UndecodableBodyStopsTheBatch) {
  std::string frames = encode_batch({make_add("first", "v")}).value();
  frames += std::string("\x00\x03\xff\xff\xff", 5);  // does not decode
  frames += encode_batch({make_add("third", "v")}).value();
  Result<Answer> a = decode_answer_stream(serve_raw(frames));
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a.value().affected(), 1u);
  EXPECT_TRUE(has_line(log_.take(), "[ERROR]: Could not process message. Skipped"));
  EXPECT_TRUE(present("first"));
  EXPECT_FALSE(present("third"));

  // A zero-length body does not decode either (the action is required).
  a = decode_answer_stream(serve_raw(std::string("\x00\x00", 2)));
  ASSERT_TRUE(a.ok());
  EXPECT_FALSE(a.value().success);
}

TEST_F(DispatcherTest, InfoAndHashAreComputedOnceAfterTheBatch) {
  Answer a = serve({make_simple(Action::kHash), make_simple(Action::kInfo), make_add("x", "v"),
                    make_simple(Action::kHash), make_add("10.0.0.0/8", "v", 0, kAddr), make_simple(Action::kInfo)});
  EXPECT_EQ(a.affected(), 2u);
  ASSERT_TRUE(a.hashsum.has_value());
  EXPECT_EQ(a.hashsum->size(), 40u);
  EXPECT_EQ(*a.hashsum, current_hashsum());  // the digest of the dictionary after the whole batch
  ASSERT_TRUE(a.info.has_value());
  Answer again = serve({make_simple(Action::kInfo)});
  EXPECT_EQ(a.info, again.info);
  EXPECT_GT(a.info->bytes_used, 0);
  EXPECT_LE(a.info->bytes_used, a.info->bytes_alloc);
  EXPECT_LE(a.info->pages_free, a.info->pages_total);

  // SHA-1 of empty input for an empty dictionary.
  serve({make_simple(Action::kClear)});
  EXPECT_EQ(serve({make_simple(Action::kHash)}).hashsum, "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST_F(DispatcherTest, InfoAndHashBreakAStuckLockForTheAnswer) {
  serve({make_add("k", "v")});
  std::string expected = current_hashsum();
  pool()->lock = kLockWriter;
  log_.take();
  Answer a = serve({make_simple(Action::kHash), make_simple(Action::kInfo)});
  EXPECT_EQ(a.hashsum, expected);
  ASSERT_TRUE(a.info.has_value());
  EXPECT_GT(a.info->bytes_used, 0);
  EXPECT_EQ(pool()->lock, 0u);
}

TEST_F(DispatcherTest, ForcedUnlockOncePerConnection) {
  serve({make_add("ab", "1"), make_add("b", "2")});
  // The first request fills the first 2048-byte block exactly (the rest is over-long headers, which
  // are skipped), so it runs before the second request is even sent.
  std::string first = encode_batch({make_del("ab")}).value();
  ASSERT_EQ(first.size() % 2, 0u);  // pairs of 0xff fill the rest of the block
  first.append(2048 - first.size(), '\xff');
  std::string second = encode_batch({make_del("b")}).value();

  pool()->lock = kLockWriter;
  log_.take();
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
  std::vector<std::string> lines = log_.take();
  std::vector<std::string> warns;
  for (const std::string& l : lines) {
    if (l.rfind("[WARN]: ", 0) == 0) warns.push_back(l.substr(8));
  }
  EXPECT_EQ(warns, (std::vector<std::string>{"Forcibly removing all locks and repeating",
                                             "Could not forcibly remove a lock. Gave up."}));
  pool()->lock = 0;
  EXPECT_FALSE(present("ab"));
  EXPECT_TRUE(present("b"));
}

TEST_F(DispatcherTest, LockStillHeldAfterForcedUnlockGivesUpEveryLaterRequest) {
  pool()->lock = kLockWriter;
  // Nothing re-takes the lock, so after the forced unlock every request succeeds.
  Answer a = serve({make_add("a", "1"), make_get("a"), make_add("b", "2")});
  EXPECT_EQ(a.affected(), 3u);
  std::vector<std::string> lines = log_.take();
  EXPECT_TRUE(has_line(lines, "[WARN]: Forcibly removing all locks and repeating"));
  EXPECT_FALSE(has_line(lines, "[WARN]: Could not forcibly remove a lock. Gave up."));
}

TEST_F(DispatcherTest, DumpAndLoadWithAndWithoutPath) {
  const std::string other = dir_ + "/other.yaml";
  serve({make_add("a", "1"), make_add("10.0.0.0/8", "v", 0, kAddr)});
  EXPECT_EQ(serve({make_file_request(Action::kDump, other)}).affected(), 1u);
  EXPECT_TRUE(has_line(info_lines(log_.take()), "Dumped 2 entries to " + other));

  serve({make_del("a"), make_add("b", "2")});
  EXPECT_EQ(serve({make_simple(Action::kDump)}).affected(), 1u);  // to the configured data_path
  EXPECT_TRUE(has_line(info_lines(log_.take()), "Dumped 2 entries to " + data_path_));

  EXPECT_EQ(serve({make_file_request(Action::kLoad, other)}).affected(), 1u);
  EXPECT_TRUE(has_line(info_lines(log_.take()), "Loaded 2 entries from " + other));
  EXPECT_TRUE(present("a"));
  EXPECT_FALSE(present("b"));
  EXPECT_TRUE(present("10.1.2.3", kAddr));

  EXPECT_EQ(serve({make_simple(Action::kLoad)}).affected(), 1u);  // from the configured data_path
  EXPECT_TRUE(has_line(info_lines(log_.take()), "Loaded 2 entries from " + data_path_));
  EXPECT_FALSE(present("a"));
  EXPECT_TRUE(present("b"));
}

TEST_F(DispatcherTest, FailedLoadLeavesTheDictionaryAlone) {
  serve({make_add("keep", "1")});
  Answer a = serve({make_file_request(Action::kLoad, dir_ + "/missing.yaml")});
  EXPECT_FALSE(a.success);
  // A file that does not parse as a whole is not loaded either, and nothing is purged.
  std::string broken = dir_ + "/broken.yaml";
  FILE* f = fopen(broken.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("---\nx:\n  value: 1\n  expires: 0\n  is_address: false\n\"unterminated: [\n", f);
  fclose(f);
  a = serve({make_file_request(Action::kLoad, broken)});
  EXPECT_FALSE(a.success);
  EXPECT_TRUE(present("keep"));
  EXPECT_FALSE(present("x"));
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

// Long random batches against a model of which keys are present.
TEST_F(DispatcherTest, RandomBatchesCountLikeTheModel) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::set<std::string> model;  // present keys, string and address ("10.0.N.0/24") names disjoint
  auto key_of = [&](bool address) {
    int n = std::uniform_int_distribution<int>(0, 24)(rng);
    return address ? "10.0." + std::to_string(n) + ".0/24" : "k" + std::to_string(n);
  };
  for (int round = 0; round < 6; ++round) {
    std::vector<Request> batch;
    uint64_t expected = 0;
    bool any_counted = false;
    for (int i = 0; i < 700; ++i) {
      int pick = std::uniform_int_distribution<int>(0, 99)(rng);
      bool address = rng() % 2;
      KeyType kind = address ? kAddr : kStr;
      std::string key = key_of(address);
      bool has = model.count(key) != 0;
      if (pick < 25) {
        batch.push_back(make_get(key, kind));
        expected += has;
        any_counted = true;
      } else if (pick < 50) {
        batch.push_back(make_add(key, "v" + std::to_string(i), 0, kind));
        expected += !has;
        model.insert(key);
        any_counted = true;
      } else if (pick < 65) {
        batch.push_back(make_set(key, "s", 0, kind));
        expected += 1;
        model.insert(key);
        any_counted = true;
      } else if (pick < 90) {
        batch.push_back(make_del(key, kind));
        expected += has;
        model.erase(key);
        any_counted = true;
      } else if (pick < 93) {
        batch.push_back(Request{pick % 2 ? 0 : 11, key, {}, {}, {}});  // unknown: not counted
      } else if (pick < 96) {
        batch.push_back(make_get("10.0.0.300", kAddr));  // not an address: not counted
      } else {
        batch.push_back(make_simple(rng() % 2 ? Action::kInfo : Action::kHash));
        any_counted = true;
      }
    }
    Answer a = serve(batch);
    ASSERT_EQ(a.success, any_counted);
    ASSERT_EQ(a.affected(), expected) << "round " << round;
    for (int n = 0; n <= 24; ++n) {
      std::string s = "k" + std::to_string(n);
      std::string ad = "10.0." + std::to_string(n) + ".0/24";
      ASSERT_EQ(present(s), model.count(s) != 0) << s;
      ASSERT_EQ(present("10.0." + std::to_string(n) + ".77", kAddr), model.count(ad) != 0) << ad;
    }
  }
}

}  // namespace
}  // namespace quillmap
