// The socket client against a stand-in daemon: seeded random batches and answers round-trip exactly
// (through the batch call and the streaming connection), and the failures a client meets.
#include "client/dict_client.h"
#include "util/testing/seed.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

namespace quillmap {
namespace {

// A Unix socket bound at `path` that nobody accepts on (listening only when asked).
UniqueFd bound_socket(const std::string& path, bool listening) {
  UniqueFd s(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
  EXPECT_TRUE(bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && (!listening || listen(s.get(), 8) == 0))
      << path << ": " << std::strerror(errno);
  return s;
}

// Serves one connection from a thread: reads frames (at most `max_frames`; none when `hold`, until it
// goes away), then sends `reply` and closes.
class FakeDaemon {
 public:
  explicit FakeDaemon(std::string reply, size_t max_frames = SIZE_MAX, bool hold = false)
      : thread_([=, this] { serve(reply, max_frames, hold); }) {}
  ~FakeDaemon() {
    release_.set_value();
    shutdown(listener_.get(), SHUT_RDWR);  // wakes an accept that never got a client
    if (thread_.joinable()) thread_.join();
    std::filesystem::remove_all(dir_);
  }
  const std::string& path() const { return path_; }
  const std::vector<Request>& received() {  // once the client has finished
    thread_.join();
    return received_;
  }

 private:
  void serve(const std::string& reply, size_t max_frames, bool hold) {
    UniqueFd conn(accept(listener_.get(), nullptr, nullptr));
    if (!conn || hold) return release_.get_future().wait();
    uint8_t h[2];
    while (received_.size() < max_frames && shm_readn(conn.get(), h, 2) == 2) {
      std::string body((h[0] << 8) | h[1], '\0');
      ASSERT_LE(body.size(), kMaxRequestBody);
      ASSERT_EQ(shm_readn(conn.get(), body.data(), body.size()), static_cast<int64_t>(body.size()));
      Result<Request> r = decode_request_body(body);
      ASSERT_TRUE(r) << r.error();
      received_.push_back(r.value());
    }
    shm_writen(conn.get(), reply.data(), reply.size());
  }

  std::string dir_ = mkdtemp(std::string("/tmp/quillmap-client-test-XXXXXX").data());
  std::string path_ = dir_ + "/daemon.sock";
  UniqueFd listener_ = bound_socket(path_, true);
  std::promise<void> release_;
  std::vector<Request> received_;
  std::thread thread_;
};

// UTF-8 text without zero bytes (the client refuses anything else), some characters of two bytes.
std::string random_text(std::mt19937& rng, size_t max_len) {
  std::string s;
  for (size_t n = rng() % (max_len + 1); s.size() < n;) {
    if (rng() % 4 == 0) s += "\xC3\xA9";
    else s.push_back(static_cast<char>(1 + rng() % 127));
  }
  return s;
}

Request random_request(std::mt19937& rng) {
  Request r;
  r.action = static_cast<int>(rng() % 11);
  if (rng() % 2) r.key = random_text(rng, 300);
  if (rng() % 2) r.ktype = rng() % 2 ? KeyType::kString : KeyType::kAddress;
  if (rng() % 2) r.value = random_text(rng, 1200);
  if (rng() % 2) r.expires = static_cast<uint32_t>(rng());
  return r;
}

// The streaming form: one request at a time; an over-long one is refused and not sent.
Result<Answer> stream_batch(const std::string& path, const std::vector<Request>& batch) {
  Result<DictConnection> conn = DictConnection::open(path);
  if (!conn) return ClientError{conn.error()};
  for (const Request& r : batch) EXPECT_TRUE(conn.value().send(r));
  EXPECT_FALSE(conn.value().send(make_get(std::string(3000, 'k'))));
  return conn.value().finish();
}

TEST(DictClient, RandomBatchesAndAnswersRoundTrip) {
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 40; ++round) {
    // Now and then enough frames to pass both the socket buffers and the client's write chunk.
    std::vector<Request> batch(round % 8 == 0 ? 3000 : rng() % 40);
    for (Request& r : batch) r = random_request(rng);
    Answer reply{rng() % 2 == 0, std::to_string(rng()) + " affected entries", std::nullopt, std::nullopt};
    if (rng() % 2) reply.info = InfoFigures{int64_t(rng()), int64_t(rng()), int64_t(rng()) << 20, 4, 5};
    if (rng() % 2) reply.hashsum = rng() % 2 ? std::string(40, 'f') : "";
    FakeDaemon daemon(encode_answer_frame(reply));
    Result<Answer> answer = round % 2 == 0 ? send_batch(daemon.path(), batch) : stream_batch(daemon.path(), batch);
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_EQ(answer.value().success, reply.success);
    EXPECT_EQ(answer.value().message, reply.message);
    EXPECT_EQ(answer.value().info, reply.info);
    EXPECT_EQ(answer.value().hashsum, reply.hashsum);
    EXPECT_FALSE(answer.value().cut_short);
    const std::vector<Request>& got = daemon.received();
    ASSERT_EQ(got.size(), batch.size()) << "round " << round;
    for (size_t i = 0; i < batch.size(); ++i) {
      const Request &a = got[i], &b = batch[i];
      ASSERT_TRUE(a.action == b.action && a.key == b.key && a.ktype == b.ktype && a.value == b.value &&
                  a.expires == b.expires)
          << "round " << round << " request " << i;
    }
  }
}

TEST(DictClient, AnswerAfterTheDaemonStoppedReadingIsStillReturned) {
  FakeDaemon daemon(encode_answer_frame(Answer{true, "1 affected entries", std::nullopt, std::nullopt}), 1);
  Result<Answer> answer = send_batch(daemon.path(), std::vector<Request>(20000, make_add("key", std::string(100, 'v'))));
  ASSERT_TRUE(answer) << answer.error();
  EXPECT_EQ(answer.value().affected(), 1u);
  EXPECT_TRUE(answer.value().cut_short);
  EXPECT_EQ(daemon.received().size(), 1u);
}

TEST(DictClient, ConnectionFailures) {
  FakeDaemon silent("", 0, true);
  Result<Answer> answer = send_batch(silent.path(), {make_get("k")}, ClientOptions{50});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "no answer from the daemon at " + silent.path() + " in time");
  answer = send_batch("/tmp/quillmap-no-such-dir/daemon.sock", {make_simple(Action::kInfo)});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "cannot connect to /tmp/quillmap-no-such-dir/daemon.sock: No such file or directory");
  // A socket file nobody listens on, as a killed daemon leaves it.
  const std::string stale = silent.path() + ".stale";
  UniqueFd s = bound_socket(stale, false);
  answer = send_batch(stale, {make_simple(Action::kHash)});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "cannot connect to " + stale + ": Connection refused");
}

}  // namespace
}  // namespace quillmap
