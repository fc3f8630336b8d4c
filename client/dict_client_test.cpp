// The socket client against a stand-in daemon: seeded random batches and answers round-trip exactly (batch
// call and streaming connection), and the failures a client meets; the codec's exact bytes, limits, errors.
#include "client/dict_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "client/wire_codec.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

// Serves one connection from a thread: reads to the client's end of stream (or `max_bytes`), then sends
// `reply` and closes. Without `serve` it listens but never accepts.
class FakeDaemon {
 public:
  explicit FakeDaemon(std::string reply, size_t max_bytes = SIZE_MAX, bool serve = true) {
    if (serve) thread_ = std::thread([=, this] {
        UniqueFd conn(accept(listener_.get(), nullptr, nullptr));
        char buf[4096];
        for (int64_t n; conn && received_.size() < max_bytes && (n = read(conn.get(), buf, sizeof buf)) > 0;)
          received_.append(buf, n);
        if (conn) shm_writen(conn.get(), reply.data(), reply.size());
      });
  }
  ~FakeDaemon() {
    shutdown(listener_.get(), SHUT_RDWR);  // wakes an accept that never got a client
    if (thread_.joinable()) thread_.join();
    std::filesystem::remove_all(dir_);
  }
  const std::string& path() const { return path_; }
  std::vector<Request> received() {  // the requests received, once the client has finished
    thread_.join();
    std::vector<Request> out;
    for (size_t at = 0, n; at + 2 <= received_.size(); at += 2 + n) {
      n = static_cast<uint8_t>(received_[at]) << 8 | static_cast<uint8_t>(received_[at + 1]);
      Result<Request> r = decode_request_body(std::string_view(received_).substr(at + 2, n));
      EXPECT_TRUE(r && n <= kMaxRequestBody) << (r ? "too long" : r.error());
      out.push_back(r ? r.value() : Request{});
    }
    return out;
  }

 private:
  std::string dir_ = mkdtemp(std::string("/tmp/quillmap-client-test-XXXXXX").data());
  std::string path_ = dir_ + "/daemon.sock";
  UniqueFd listener_ = [this] {
    UniqueFd s(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    EXPECT_TRUE(bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(s.get(), 8) == 0)
        << path_ << ": " << std::strerror(errno);
    return s;
  }();
  std::string received_;
  std::thread thread_;
};

// Any action number, each field present or not; texts are UTF-8 without zero bytes (the client refuses
// anything else), some characters of two bytes.
Request random_request(std::mt19937& rng) {
  auto text = [&rng](size_t max_len) {
    std::string s;
    for (size_t n = rng() % (max_len + 1); s.size() < n;) s += rng() % 4 ? std::string(1, 1 + rng() % 127) : "\xC3\xA9";
    return s;
  };
  Request r;
  r.action = static_cast<int>(rng() % 11);
  if (rng() % 2) r.key = text(300);
  if (rng() % 2) r.ktype = rng() % 2 ? KeyType::kString : KeyType::kAddress;
  if (rng() % 2) r.value = text(1200);
  if (rng() % 2) r.expires = static_cast<uint32_t>(rng());
  return r;
}

TEST(DictClient, RandomBatchesAndAnswersRoundTrip) {
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 40; ++round) {
    // Now and then enough frames to pass both the socket buffers and the client's write chunk.
    std::vector<Request> batch(round % 8 == 0 ? 3000 : rng() % 40);
    for (Request& r : batch) r = random_request(rng);
    Answer reply{rng() % 2 == 0, std::nullopt, std::nullopt, std::nullopt};  // may be the bare answer
    if (rng() % 4) reply.message = std::to_string(rng()) + " affected entries";
    if (rng() % 2) reply.info = InfoFigures{int64_t(rng()), int64_t(rng()), int64_t(rng()) << 20, 4, 5};
    if (rng() % 2) reply.hashsum = rng() % 2 ? std::string(40, 'f') : "";
    FakeDaemon daemon(encode_answer_frame(reply));
    Result<Answer> answer = ClientError{"not sent"};
    if (round % 2) {  // the streaming form: one request at a time; an over-long one is refused, not sent
      Result<DictConnection> conn = DictConnection::open(daemon.path());
      ASSERT_TRUE(conn) << conn.error();
      for (const Request& r : batch) EXPECT_TRUE(conn.value().send(r));
      EXPECT_FALSE(conn.value().send(make_get(std::string(3000, 'k'))));
      answer = conn.value().finish();
    } else {
      answer = send_batch(daemon.path(), batch);
    }
    ASSERT_TRUE(answer) << answer.error();
    const Answer& a = answer.value();
    EXPECT_TRUE(std::tie(a.success, a.message, a.info, a.hashsum) == std::tie(reply.success, reply.message, reply.info, reply.hashsum) && !a.cut_short);
    const std::vector<Request> got = daemon.received();
    ASSERT_EQ(got.size(), batch.size()) << "round " << round;
    auto fields = [](const Request& r) { return std::tie(r.action, r.key, r.ktype, r.value, r.expires); };
    for (size_t i = 0; i < batch.size(); ++i) ASSERT_TRUE(fields(got[i]) == fields(batch[i])) << "round " << round << " request " << i;
  }
}

// An answer sent after the daemon stopped reading is still returned; a daemon that never answers times out.
// (Connect failures, "cannot connect to PATH: <system error text>", are the command-line e2e test's.)
TEST(DictClient, EarlyAndMissingAnswers) {
  FakeDaemon daemon(encode_answer_frame(Answer{true, "1 affected entries", std::nullopt, std::nullopt}), 1);
  Result<Answer> answer = send_batch(daemon.path(), std::vector<Request>(20000, make_add("key", std::string(100, 'v'))));
  EXPECT_TRUE(answer && answer.value().affected() == 1u && answer.value().cut_short) << (answer ? "" : answer.error());
  FakeDaemon silent("", 0, false);
  answer = send_batch(silent.path(), {make_get("k")}, ClientOptions{50});
  EXPECT_EQ(answer ? "an answer" : answer.error(), "no answer from the daemon at " + silent.path() + " in time");
}

TEST(WireCodec, FrameBytesAndTheBodyLimit) {
  // Header; action=1 varint 2; key=2 "k"; ktype=3 varint 2; value=4 "v"; expires=5 varint 300.
  EXPECT_EQ(encode_batch({make_add("k", "v", 300, KeyType::kAddress)}).value(),
            std::string("\x00\x0d\x08\x02\x12\x01k\x18\x02\x22\x01v\x28\xac\x02", 15));
  // action (2 bytes) + ktype (2) + key tag (1) + two-byte length (2) + key bytes.
  std::string out;
  ASSERT_TRUE(append_request_frame(make_get(std::string(2041, 'k')), out));
  EXPECT_TRUE(out.size() == 2u + 2048u && out.substr(0, 2) == std::string("\x08\x00", 2));
  Request too_long = make_get(std::string(2042, 'k'));
  std::string untouched = "x";
  Status st = append_request_frame(too_long, untouched);
  EXPECT_EQ(st ? "accepted" : st.error(), "request is 2049 bytes packed; the daemon takes at most 2048");
  EXPECT_FALSE(append_request_frame(make_get(std::string("a\0b", 3)), untouched) ||  // no zero bytes in texts
               append_request_frame(make_add("a", std::string("v\0", 2)), untouched));
  EXPECT_EQ(untouched, "x");
  Result<std::string> batch = encode_batch({make_get("a"), too_long});
  EXPECT_EQ((batch ? "accepted" : batch.error()).rfind("request 2: ", 0), 0u);
}

TEST(WireCodec, AnswersAndTheirStreams) {
  EXPECT_EQ(encode_answer_frame(Answer{}), std::string("\x00\x02\x08\x00", 4));  // for a connection without requests
  const std::string good = encode_answer_frame(Answer{true, "1 affected entries", std::nullopt, std::nullopt});
  const std::pair<std::string, std::string> malformed[] = {
      {"", "daemon closed the connection without an answer"},
      {std::string("\x00", 1), "truncated answer: 1 byte received, the frame header alone has 2"},
      {good.substr(0, good.size() - 1), "truncated answer: 21 of 22 body bytes received"},
      {good + "zz", "answer is followed by 2 unexpected bytes"},
      {std::string("\x00\x02\xff\xff", 4), "answer does not decode as an answer message"},
      {std::string("\x00\x00", 2), "answer does not decode as an answer message"},  // success is required
  };
  for (const auto& [stream, error] : malformed) {
    Result<Answer> r = decode_answer_stream(stream);
    EXPECT_EQ(r ? "decoded" : r.error(), error);
  }
  using Count = std::pair<std::optional<std::string>, std::optional<uint64_t>>;  // a message, its affected count
  for (const auto& [message, affected] : {Count{std::nullopt, std::nullopt}, {"0 affected entries", 0},
                                          {"4294967295 affected entries", 4294967295u},
                                          {" affected entries", std::nullopt}, {"x affected entries", std::nullopt}}) {
    EXPECT_EQ((Answer{true, message, std::nullopt, std::nullopt}.affected()), affected) << message.value_or("none");
  }
}

}  // namespace
}  // namespace quillmap
