#include "client/dict_client.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

namespace quillmap {
namespace {

// A fresh directory under /tmp, removed with everything in it.
struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/quillmap-client-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

// A bound Unix socket at `path` that nobody accepts on (listening only when asked).
UniqueFd bound_socket(const std::string& path, bool listening) {
  UniqueFd s(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), std::min(path.size(), sizeof addr.sun_path - 1));
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (listening && listen(s.get(), 8) != 0)) {
    ADD_FAILURE() << "cannot bind " << path << ": " << std::strerror(errno);
  }
  return s;
}

// What the stand-in daemon does with its one connection.
enum class Behaviour {
  kAnswer,             // read to end of stream, decode every frame, send `reply`
  kCloseSilently,      // read to end of stream, close without a byte
  kStopAfterFirst,     // read one frame, send `reply` and close without reading the rest
  kHoldUntilReleased,  // read nothing, send nothing until the test lets go
};

// Serves one connection on a Unix socket in a temporary directory from a thread.
class FakeDaemon {
 public:
  FakeDaemon(Behaviour behaviour, std::string reply)
      : behaviour_(behaviour), reply_(std::move(reply)), path_(dir_.path + "/daemon.sock") {
    listener_ = bound_socket(path_, true);
    server_ = std::thread([this] { serve(); });
  }

  ~FakeDaemon() {
    release_.set_value();
    shutdown(listener_.get(), SHUT_RDWR);  // wakes an accept that never got a client
    if (server_.joinable()) server_.join();
  }

  const std::string& path() const { return path_; }
  // Valid after the client has finished.
  const std::vector<Request>& received() {
    if (server_.joinable() && behaviour_ != Behaviour::kHoldUntilReleased) server_.join();
    return received_;
  }

 private:
  void serve() {
    UniqueFd conn(accept(listener_.get(), nullptr, nullptr));
    if (!conn) return;
    if (behaviour_ == Behaviour::kHoldUntilReleased) {
      release_.get_future().wait();
      return;
    }
    std::string stream;
    if (behaviour_ == Behaviour::kStopAfterFirst) {
      unsigned char header[2];
      if (shm_readn(conn.get(), header, 2) != 2) return;
      stream.assign(reinterpret_cast<char*>(header), 2);
      std::string body((header[0] << 8) | header[1], '\0');
      if (shm_readn(conn.get(), body.data(), body.size()) != static_cast<int64_t>(body.size())) return;
      stream += body;
    } else {
      char buf[8192];
      int64_t n;
      while ((n = read(conn.get(), buf, sizeof buf)) > 0) stream.append(buf, static_cast<size_t>(n));
    }
    for (size_t p = 0; p + 2 <= stream.size();) {
      size_t len = (static_cast<uint8_t>(stream[p]) << 8) | static_cast<uint8_t>(stream[p + 1]);
      Result<Request> r = decode_request_body(std::string_view(stream).substr(p + 2, len));
      if (!r) {
        ADD_FAILURE() << r.error();
        break;
      }
      received_.push_back(r.value());
      p += 2 + len;
    }
    if (behaviour_ != Behaviour::kCloseSilently) shm_writen(conn.get(), reply_.data(), reply_.size());
  }

  Behaviour behaviour_;
  std::string reply_;
  TempDir dir_;
  std::string path_;
  UniqueFd listener_;
  std::thread server_;
  std::promise<void> release_;
  std::vector<Request> received_;
};

std::string answer_frame(bool success, std::optional<std::string> message) {
  Answer a;
  a.success = success;
  a.message = std::move(message);
  return encode_answer_frame(a);
}

TEST(DictClient, LargeBatchArrivesInOrderAndTheAnswerIsDecoded) {
  Answer reply;
  reply.success = true;
  reply.message = "5000 affected entries";
  reply.info = InfoFigures{1, 2, 3, 4, 5};
  reply.hashsum = "0123456789abcdef0123456789abcdef01234567";
  FakeDaemon daemon(Behaviour::kAnswer, encode_answer_frame(reply));

  // Enough frames to pass both the socket buffers and the client's write chunk.
  std::vector<Request> batch;
  for (int i = 0; i < 5000; ++i) {
    std::string key = "key-" + std::to_string(i);
    if (i % 3 == 0) batch.push_back(make_add(key, std::string(i % 50, 'v'), i));
    else if (i % 3 == 1) batch.push_back(make_get("10.0." + std::to_string(i % 256) + ".1", KeyType::kAddress));
    else batch.push_back(make_simple(Action::kInfo));
  }
  Result<Answer> answer = send_batch(daemon.path(), batch);
  ASSERT_TRUE(answer) << answer.error();
  EXPECT_TRUE(answer.value().success);
  EXPECT_EQ(answer.value().affected(), 5000u);
  EXPECT_EQ(answer.value().info, reply.info);
  EXPECT_EQ(answer.value().hashsum, reply.hashsum);
  EXPECT_FALSE(answer.value().cut_short);

  const std::vector<Request>& got = daemon.received();
  ASSERT_EQ(got.size(), batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    EXPECT_EQ(got[i].action, batch[i].action) << i;
    EXPECT_EQ(got[i].key, batch[i].key) << i;
    EXPECT_EQ(got[i].value, batch[i].value) << i;
    EXPECT_EQ(got[i].expires, batch[i].expires) << i;
  }
}

TEST(DictClient, StreamingConnectionSendsRequestsOneByOne) {
  FakeDaemon daemon(Behaviour::kAnswer, answer_frame(true, "2 affected entries"));
  Result<DictConnection> conn = DictConnection::open(daemon.path());
  ASSERT_TRUE(conn) << conn.error();
  ASSERT_TRUE(conn.value().send(make_set("a", "1")));
  ASSERT_TRUE(conn.value().send(make_del("a")));
  EXPECT_FALSE(conn.value().send(make_get(std::string(3000, 'k'))));  // refused, not sent
  Result<Answer> answer = conn.value().finish();
  ASSERT_TRUE(answer) << answer.error();
  EXPECT_EQ(answer.value().affected(), 2u);
  ASSERT_EQ(daemon.received().size(), 2u);
  EXPECT_EQ(daemon.received()[1].action, static_cast<int>(Action::kDel));
}

TEST(DictClient, EmptyBatchGetsTheDaemonsAnswer) {
  FakeDaemon daemon(Behaviour::kAnswer, answer_frame(false, std::nullopt));
  Result<Answer> answer = send_batch(daemon.path(), {});
  ASSERT_TRUE(answer) << answer.error();
  EXPECT_FALSE(answer.value().success);
  EXPECT_TRUE(daemon.received().empty());
}

TEST(DictClient, MissingSocketIsReportedWithThePath) {
  Result<Answer> answer = send_batch("/tmp/quillmap-no-such-dir/daemon.sock", {make_simple(Action::kInfo)});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "cannot connect to /tmp/quillmap-no-such-dir/daemon.sock: No such file or directory");
}

TEST(DictClient, StaleSocketFileIsConnectionRefused) {
  // A socket file nobody listens on, as a killed daemon leaves it.
  TempDir dir;
  std::string path = dir.path + "/stale.sock";
  UniqueFd s = bound_socket(path, false);
  Result<Answer> answer = send_batch(path, {make_simple(Action::kHash)});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "cannot connect to " + path + ": Connection refused");
}

TEST(DictClient, DaemonClosingWithoutAnswerIsAnError) {
  FakeDaemon daemon(Behaviour::kCloseSilently, "");
  Result<Answer> answer = send_batch(daemon.path(), {make_get("k")});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "daemon closed the connection without an answer");
}

TEST(DictClient, TruncatedAnswerIsAnError) {
  std::string frame = answer_frame(true, "1 affected entries");
  FakeDaemon daemon(Behaviour::kAnswer, frame.substr(0, 5));
  Result<Answer> answer = send_batch(daemon.path(), {make_get("k")});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "truncated answer: 3 of 22 body bytes received");
}

TEST(DictClient, AnswerAfterTheDaemonStoppedReadingIsStillReturned) {
  FakeDaemon daemon(Behaviour::kStopAfterFirst, answer_frame(true, "1 affected entries"));
  std::vector<Request> batch(20000, make_add("key", std::string(100, 'v')));
  Result<Answer> answer = send_batch(daemon.path(), batch);
  ASSERT_TRUE(answer) << answer.error();
  EXPECT_EQ(answer.value().affected(), 1u);
  EXPECT_TRUE(answer.value().cut_short);
  EXPECT_EQ(daemon.received().size(), 1u);
}

TEST(DictClient, SilentDaemonIsGivenUpAfterTheTimeout) {
  FakeDaemon daemon(Behaviour::kHoldUntilReleased, "");
  Result<Answer> answer = send_batch(daemon.path(), {make_get("k")}, ClientOptions{50});
  ASSERT_FALSE(answer);
  EXPECT_EQ(answer.error(), "no answer from the daemon at " + daemon.path() + " in time");
}

TEST(DictClient, OverlongSocketPathIsCutLikeTheDaemonCutsIt) {
  TempDir dir;
  std::string full = dir.path + "/" + std::string(200, 's');
  std::string cut = full.substr(0, kMaxSocketPath);
  UniqueFd s = bound_socket(cut, true);
  Result<DictConnection> conn = DictConnection::open(full);
  ASSERT_TRUE(conn) << conn.error();
  EXPECT_EQ(conn.value().socket_path(), cut);
}

}  // namespace
}  // namespace quillmap
