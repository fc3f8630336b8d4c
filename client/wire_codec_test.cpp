#include "client/wire_codec.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmap {
namespace {

bool same_request(const Request& a, const Request& b) {
  return a.action == b.action && a.key == b.key && a.ktype == b.ktype && a.value == b.value &&
         a.expires == b.expires;
}

// Splits a stream of frames back into bodies; fails the test on a malformed stream.
std::vector<std::string> split_frames(const std::string& stream) {
  std::vector<std::string> bodies;
  size_t p = 0;
  while (p < stream.size()) {
    EXPECT_LE(p + 2, stream.size());
    size_t len = (static_cast<uint8_t>(stream[p]) << 8) | static_cast<uint8_t>(stream[p + 1]);
    EXPECT_LE(len, kMaxRequestBody);
    EXPECT_LE(p + 2 + len, stream.size());
    bodies.push_back(stream.substr(p + 2, len));
    p += 2 + len;
  }
  return bodies;
}

std::string random_text(std::mt19937& rng, size_t max_len) {
  std::uniform_int_distribution<size_t> len(0, max_len);
  std::uniform_int_distribution<int> ch(1, 255);  // no zero byte
  std::string s(len(rng), ' ');
  for (char& c : s) c = static_cast<char>(ch(rng));
  return s;
}

Request random_request(std::mt19937& rng) {
  std::bernoulli_distribution coin;
  Request r;
  r.action = std::uniform_int_distribution<int>(0, 10)(rng);
  if (coin(rng)) r.key = random_text(rng, 300);
  if (coin(rng)) r.ktype = coin(rng) ? KeyType::kString : KeyType::kAddress;
  if (coin(rng)) r.value = random_text(rng, 1200);
  if (coin(rng)) r.expires = static_cast<uint32_t>(rng());
  return r;
}

TEST(WireCodec, RandomBatchesRoundTripThroughFrames) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 50; ++round) {
    std::vector<Request> batch(std::uniform_int_distribution<int>(0, 40)(rng));
    for (Request& r : batch) r = random_request(rng);
    Result<std::string> frames = encode_batch(batch);
    ASSERT_TRUE(frames) << frames.error();
    std::vector<std::string> bodies = split_frames(frames.value());
    ASSERT_EQ(bodies.size(), batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
      Result<Request> back = decode_request_body(bodies[i]);
      ASSERT_TRUE(back) << back.error();
      EXPECT_TRUE(same_request(back.value(), batch[i])) << "request " << i;
    }
  }
}

TEST(WireCodec, BodyLimitIsExactly2048Bytes) {
  // action (2 bytes) + ktype (2) + key tag (1) + two-byte length (2) + key bytes.
  Request fits = make_get(std::string(2041, 'k'));
  std::string out;
  ASSERT_TRUE(append_request_frame(fits, out));
  ASSERT_EQ(out.size(), 2u + 2048u);
  EXPECT_EQ(static_cast<uint8_t>(out[0]), 0x08);
  EXPECT_EQ(static_cast<uint8_t>(out[1]), 0x00);

  Request too_long = make_get(std::string(2042, 'k'));
  std::string untouched = "x";
  Status st = append_request_frame(too_long, untouched);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), "request is 2049 bytes packed; the daemon takes at most 2048");
  EXPECT_EQ(untouched, "x");

  Result<std::string> batch = encode_batch({make_get("a"), too_long});
  ASSERT_FALSE(batch);
  EXPECT_EQ(batch.error().rfind("request 2: ", 0), 0u) << batch.error();
}

TEST(WireCodec, TextWithZeroByteIsRefused) {
  std::string out;
  EXPECT_FALSE(append_request_frame(make_get(std::string("a\0b", 3)), out));
  EXPECT_FALSE(append_request_frame(make_add("a", std::string("v\0", 2)), out));
  EXPECT_TRUE(out.empty());
}

TEST(WireCodec, AnswerRoundTrips) {
  Answer a;
  a.success = true;
  a.message = "3 affected entries";
  a.info = InfoFigures{2559, 2000, 10485760, 40960, 1234};
  a.hashsum = std::string(40, 'f');
  Result<Answer> back = decode_answer_stream(encode_answer_frame(a));
  ASSERT_TRUE(back) << back.error();
  EXPECT_TRUE(back.value().success);
  EXPECT_EQ(back.value().message, a.message);
  EXPECT_EQ(back.value().info, a.info);
  EXPECT_EQ(back.value().hashsum, a.hashsum);
  EXPECT_EQ(back.value().affected(), 3u);
  EXPECT_FALSE(back.value().cut_short);
}

TEST(WireCodec, EmptyBatchAnswerIsFourBytes) {
  // What the daemon sends for a connection without requests.
  std::string frame("\x00\x02\x08\x00", 4);
  EXPECT_EQ(encode_answer_frame(Answer{}), frame);
  Result<Answer> a = decode_answer_stream(frame);
  ASSERT_TRUE(a) << a.error();
  EXPECT_FALSE(a.value().success);
  EXPECT_FALSE(a.value().message);
  EXPECT_FALSE(a.value().info);
  EXPECT_FALSE(a.value().hashsum);
}

TEST(WireCodec, MalformedAnswerStreams) {
  std::string good = encode_answer_frame(Answer{true, "1 affected entries", std::nullopt, std::nullopt});
  struct Case {
    std::string stream;
    std::string error;
  };
  const Case cases[] = {
      {"", "daemon closed the connection without an answer"},
      {std::string("\x00", 1), "truncated answer: 1 byte received, the frame header alone has 2"},
      {good.substr(0, good.size() - 1), "truncated answer: 21 of 22 body bytes received"},
      {good + "zz", "answer is followed by 2 unexpected bytes"},
      {std::string("\x00\x02\xff\xff", 4), "answer does not decode as an answer message"},
      // A well-formed frame whose body lacks the required success field.
      {std::string("\x00\x00", 2), "answer does not decode as an answer message"},
  };
  for (const Case& c : cases) {
    Result<Answer> a = decode_answer_stream(c.stream);
    ASSERT_FALSE(a) << "stream of " << c.stream.size() << " bytes";
    EXPECT_EQ(a.error(), c.error);
  }
}

TEST(WireCodec, AffectedCountIsReadFromTheMessage) {
  struct Case {
    std::optional<std::string> message;
    std::optional<uint64_t> affected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt},
      {"0 affected entries", 0},
      {"4294967295 affected entries", 4294967295u},
      {" affected entries", std::nullopt},
      {"x affected entries", std::nullopt},
      {"12 entries", std::nullopt},
  };
  for (const Case& c : cases) {
    Answer a;
    a.message = c.message;
    EXPECT_EQ(a.affected(), c.affected) << c.message.value_or("(none)");
  }
}

}  // namespace
}  // namespace quillmap
