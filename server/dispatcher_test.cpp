// The dispatcher over a socket pair and a real store, for what the batch model leaves out: a
// connection read in several blocks, and a peer that has gone.
#include "server/dispatcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/wire_codec.h"
#include "entry/key_ops.h"
#include "entry/store_init.h"
#include "store/testing/log_capture.h"
#include "store/rwlock.h"
#include "store/testing/pool_fixture.h"
#include "util/io.h"
#include "util/settings.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(init_memory(pool(), 0, fixture_.size()), 0);
    struct sigaction sa {};
    sa.sa_handler = signal_handler;  // a SIGPIPE would set got_pipe
    sigaction(SIGPIPE, &sa, &saved_pipe_action_);
    signal_flags.got_pipe = 0;
  }
  void TearDown() override {
    sigaction(SIGPIPE, &saved_pipe_action_, nullptr);
    settings = saved_settings_;
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

  bool present(const std::string& key) { return get_key(pool(), key.data(), key.size()) == kDone; }

  testing::LogCapture log_;
  Settings saved_settings_ = settings;
  testing::PoolFixture fixture_{4 << 20, testing::PoolBacking::kHeap, false};
  struct sigaction saved_pipe_action_ {};
};

// The forced unlock is once per connection, not per block read: the first request fills the first
// 2048-byte block exactly (pairs of 0xff are over-long headers, which are skipped), so it runs before
// the second request is even sent, and each meets a dead writer.
TEST_F(DispatcherTest, ForcedUnlockOncePerConnection) {
  ASSERT_EQ(add_key(pool(), "ab", 2, "1", 1, 0), kDone);
  ASSERT_EQ(add_key(pool(), "b", 1, "2", 1, 0), kDone);
  std::string first = encode_batch({make_del("ab")}).value();
  ASSERT_EQ(first.size() % 2, 0u);
  first.append(2048 - first.size(), '\xff');
  std::string second = encode_batch({make_del("b")}).value();
  log_.take();
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
