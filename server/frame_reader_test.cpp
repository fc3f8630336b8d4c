// The frame reader against a plain linear scan of the whole stream, for hand-picked block-boundary
// cases and for seeded random streams written in random pieces over a socket pair.
#include "server/frame_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "util/io.h"

namespace quillmap {
namespace {

using Bytes = std::vector<uint8_t>;

// A frame of `len` bytes; a length over the limit writes the header alone (the reader skips it).
void append_frame(Bytes* stream, size_t len, uint8_t fill) {
  stream->push_back(static_cast<uint8_t>(len >> 8));
  stream->push_back(static_cast<uint8_t>(len & 0xff));
  for (size_t i = 0; len <= FrameReader::kMaxBody && i < len; ++i) stream->push_back(static_cast<uint8_t>(fill + i));
}

// The bodies a correct reader yields: scan the stream as one piece, skip over-long frames by their
// header, stop at the first frame that is cut off.
std::vector<Bytes> reference_bodies(const Bytes& s) {
  std::vector<Bytes> out;
  for (size_t p = 0; p + 2 <= s.size();) {
    size_t len = static_cast<size_t>(s[p]) * 256 + s[p + 1];
    p += 2;
    if (len > FrameReader::kMaxBody) continue;
    if (p + len > s.size()) break;
    out.emplace_back(s.begin() + p, s.begin() + p + len);
    p += len;
  }
  return out;
}

// Writes `stream` in the given piece sizes (the rest in one) from a second thread, half-closes, and
// collects what the reader yields.
std::vector<Bytes> read_all(const Bytes& stream, const std::vector<size_t>& pieces) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  UniqueFd reader_end(sv[0]), writer_end(sv[1]);
  std::thread writer([&] {
    size_t off = 0;
    for (size_t i = 0; off < stream.size(); ++i) {
      size_t n = i < pieces.size() ? std::min(pieces[i], stream.size() - off) : stream.size() - off;
      EXPECT_EQ(shm_writen(writer_end.get(), stream.data() + off, n), static_cast<int64_t>(n));
      off += n;
    }
    shutdown(writer_end.get(), SHUT_WR);
  });
  std::vector<Bytes> out;
  FrameReader reader(reader_end.get());
  while (auto body = reader.next_body()) out.emplace_back(body->begin(), body->end());
  EXPECT_FALSE(reader.next_body().has_value());  // stays ended
  writer.join();
  return out;
}

TEST(FrameReaderTest, BoundaryCases) {
  // The reader fills 2048-byte blocks; a first frame of length n puts the next header at offset n + 2.
  struct Case {
    const char* name;
    Bytes prefix;                    // raw bytes first
    std::vector<size_t> frames;      // then these frames
    size_t cut;                      // bytes taken off the end
    Bytes tail;                      // raw bytes last
    std::vector<size_t> expected;    // body lengths
  };
  const Case cases[] = {
      {"two frames in one write", {}, {3, 5}, 0, {}, {3, 5}},
      {"header high byte at offset 2047", {}, {2045, 10, 1}, 0, {}, {2045, 10, 1}},
      {"body straddles the block boundary", {}, {2000, 100, 7}, 0, {}, {2000, 100, 7}},
      {"header ends the block, body wholly in the next", {}, {2044, 300}, 0, {}, {2044, 300}},
      {"length 2048 accepted at start", {}, {2048, 2}, 0, {}, {2048, 2}},
      {"length 2049 skipped by its header, its body read as frames", {0x08, 0x01}, {1, 3}, 0, {}, {1, 3}},
      {"zero-length body", {}, {0, 4}, 0, {}, {0, 4}},
      {"empty stream", {}, {}, 0, {}, {}},
      {"lone header byte at end of a short block", {}, {5}, 0, {0x00}, {5}},
      {"lone header byte at end of a full block", {}, {2045}, 0, {0x00}, {2045}},
      {"body cut short in the same block", {}, {5, 50}, 10, {}, {5}},
      {"body rest longer than the final block", {}, {2000, 200}, 1, {}, {2000}},
      {"header ends a full block, stream ends", {}, {2044}, 0, {0x00, 0x10}, {2044}},
      // A full block leaves non-zero bytes in the buffer; the short final block ends with one header
      // byte. A reader that looked past the received bytes would see a second header byte there.
      {"stale bytes of an earlier block are never used", {}, {2046, 0}, 0, {0x00}, {2046, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes stream = c.prefix;
    for (size_t len : c.frames) append_frame(&stream, len, static_cast<uint8_t>(len));
    stream.resize(stream.size() - c.cut);
    stream.insert(stream.end(), c.tail.begin(), c.tail.end());
    std::vector<Bytes> expected = reference_bodies(stream);
    std::vector<size_t> lengths;
    for (const Bytes& b : expected) lengths.push_back(b.size());
    ASSERT_EQ(lengths, c.expected);
    EXPECT_EQ(read_all(stream, {}), expected);
    // The same stream dribbled one byte at a time yields the same bodies.
    EXPECT_EQ(read_all(stream, std::vector<size_t>(stream.size(), 1)), expected);
  }
}

TEST(FrameReaderTest, RandomStreamsInRandomPieces) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto uniform = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
  for (int round = 0; round < 60; ++round) {
    Bytes stream;
    for (size_t f = uniform(0, 40); f > 0; --f) {
      size_t kind = uniform(0, 19);
      size_t len = kind == 0   ? uniform(2049, 65535)  // over-long: header only
                   : kind == 1 ? FrameReader::kMaxBody
                   : kind < 6  ? uniform(0, 2048)
                               : uniform(0, 60);
      append_frame(&stream, len, static_cast<uint8_t>(rng()));
    }
    if (!stream.empty() && rng() % 3 == 0) stream.resize(uniform(0, stream.size()));  // cut off
    std::vector<size_t> pieces;
    for (size_t total = 0; total < stream.size(); total += pieces.back()) {
      pieces.push_back(uniform(1, rng() % 2 ? 7 : 3000));
    }
    ASSERT_EQ(read_all(stream, pieces), reference_bodies(stream)) << "round " << round;
  }
}

}  // namespace
}  // namespace quillmap
