// The codec's exact bytes, limits and error texts. Random batches and answers round-trip through a
// stand-in daemon in dict_client_test.
#include "client/wire_codec.h"

#include <gtest/gtest.h>

namespace quillmap {
namespace {

TEST(WireCodec, FrameBytesAndTheBodyLimit) {
  // Header; action=1 varint 2; key=2 "k"; ktype=3 varint 2; value=4 "v"; expires=5 varint 300.
  EXPECT_EQ(encode_batch({make_add("k", "v", 300, KeyType::kAddress)}).value(),
            std::string("\x00\x0d\x08\x02\x12\x01k\x18\x02\x22\x01v\x28\xac\x02", 15));
  // action (2 bytes) + ktype (2) + key tag (1) + two-byte length (2) + key bytes.
  std::string out;
  ASSERT_TRUE(append_request_frame(make_get(std::string(2041, 'k')), out));
  ASSERT_EQ(out.size(), 2u + 2048u);
  EXPECT_EQ(out.substr(0, 2), std::string("\x08\x00", 2));
  Request too_long = make_get(std::string(2042, 'k'));
  std::string untouched = "x";
  Status st = append_request_frame(too_long, untouched);
  EXPECT_EQ(st ? "accepted" : st.error(), "request is 2049 bytes packed; the daemon takes at most 2048");
  EXPECT_FALSE(append_request_frame(make_get(std::string("a\0b", 3)), untouched));  // no zero bytes in texts
  EXPECT_FALSE(append_request_frame(make_add("a", std::string("v\0", 2)), untouched));
  EXPECT_EQ(untouched, "x");
  Result<std::string> batch = encode_batch({make_get("a"), too_long});
  EXPECT_EQ((batch ? "accepted" : batch.error()).rfind("request 2: ", 0), 0u);
}

TEST(WireCodec, AnswerStreams) {
  // What the daemon sends for a connection without requests.
  const std::string bare("\x00\x02\x08\x00", 4);
  EXPECT_EQ(encode_answer_frame(Answer{}), bare);
  Result<Answer> a = decode_answer_stream(bare);
  ASSERT_TRUE(a && !a.value().success && !a.value().message && !a.value().info && !a.value().hashsum);

  std::string good = encode_answer_frame(Answer{true, "1 affected entries", std::nullopt, std::nullopt});
  const std::pair<std::string, std::string> malformed[] = {
      {"", "daemon closed the connection without an answer"},
      {std::string("\x00", 1), "truncated answer: 1 byte received, the frame header alone has 2"},
      {good.substr(0, good.size() - 1), "truncated answer: 21 of 22 body bytes received"},
      {good.substr(0, 5), "truncated answer: 3 of 22 body bytes received"},
      {good + "zz", "answer is followed by 2 unexpected bytes"},
      {std::string("\x00\x02\xff\xff", 4), "answer does not decode as an answer message"},
      {std::string("\x00\x00", 2), "answer does not decode as an answer message"},  // success is required
  };
  for (const auto& [stream, error] : malformed) {
    Result<Answer> r = decode_answer_stream(stream);
    EXPECT_EQ(r ? "decoded" : r.error(), error);
  }
}

TEST(WireCodec, AffectedCountIsReadFromTheMessage) {
  Answer a;
  EXPECT_EQ(a.affected(), std::nullopt);
  for (auto [message, affected] : {std::pair<const char*, std::optional<uint64_t>>{"0 affected entries", 0},
                                   {"4294967295 affected entries", 4294967295u}, {" affected entries", std::nullopt},
                                   {"x affected entries", std::nullopt}, {"12 entries", std::nullopt}}) {
    a.message = message;
    EXPECT_EQ(a.affected(), affected) << message;
  }
}

}  // namespace
}  // namespace quillmap
