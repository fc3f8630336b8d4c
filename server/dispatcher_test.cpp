// The dispatcher over a socket pair and a real store, for what the batch model leaves out: the
// once-per-connection forced unlock, LOAD and DUMP of a client's path, and a peer that has gone.
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
#include <string>
#include <thread>
#include <vector>

#include "client/wire_codec.h"
#include "entry/store_init.h"
#include "store/testing/log_capture.h"
#include "store/rwlock.h"
#include "store/testing/pool_fixture.h"
#include "util/io.h"
#include "util/settings.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

constexpr KeyType kStr = KeyType::kString;
constexpr KeyType kAddr = KeyType::kAddress;

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
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

TEST_F(DispatcherTest, ForcedUnlockOncePerConnection) {
  pool()->lock = kLockWriter;  // a dead writer: the answer to INFO and HASH alone breaks its lock
  Answer figures = serve({make_simple(Action::kInfo), make_simple(Action::kHash)});
  EXPECT_EQ(pool()->lock, 0u);
  EXPECT_EQ(figures.hashsum, "da39a3ee5e6b4b0d3255bfef95601890afd80709");  // SHA-1 of no keys
  EXPECT_TRUE(figures.info && figures.info->pages_total > 0);
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

TEST_F(DispatcherTest, DumpAndLoadOfAClientsPath) {
  const std::string other = dir_ + "/other.yaml";
  auto logged = [&](const std::string& line) { return has_line(log_.take(), "[INFO]: " + line); };
  serve({make_add("a", "1"), make_add("10.0.0.0/8", "v", 0, kAddr)});
  EXPECT_EQ(serve({make_file_request(Action::kDump, other)}).affected(), 1u);
  EXPECT_TRUE(logged("Dumped 2 entries to " + other));
  serve({make_del("a"), make_add("b", "2")});
  EXPECT_EQ(serve({make_file_request(Action::kLoad, other)}).affected(), 1u);
  EXPECT_TRUE(logged("Loaded 2 entries from " + other));
  EXPECT_TRUE(present("a") && !present("b") && present("10.1.2.3", kAddr));
  // A path outside the data file's folder is refused before anything is opened.
  const std::string outside = std::filesystem::path(dir_).parent_path().string() + "/qm_dispatch_outside.yaml";
  EXPECT_FALSE(serve({make_file_request(Action::kDump, outside)}).success);
  EXPECT_TRUE(log_.contains("[WARN]: Refused the path " + outside + " of client PID="));
  EXPECT_FALSE(std::filesystem::exists(outside));
  // A missing file, or one that does not parse as a whole, loads nothing and purges nothing.
  std::ofstream(dir_ + "/broken.yaml") << "---\nx:\n  value: 1\n  expires: 0\n  is_address: false\n\"unterminated: [\n";
  for (const std::string& bad : {dir_ + "/missing.yaml", dir_ + "/broken.yaml"}) {
    EXPECT_FALSE(serve({make_file_request(Action::kLoad, bad)}).success) << bad;
    EXPECT_TRUE(present("a") && !present("x")) << bad;
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
