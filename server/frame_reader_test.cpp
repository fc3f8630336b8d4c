// The frame reader against a plain linear scan of the whole stream, for hand-picked block-boundary
// cases and for seeded random streams written in random pieces over a socket pair.
#include "server/frame_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "util/io.h"

namespace quillmap {
namespace {

using Bytes = std::vector<uint8_t>;

void append_frame(Bytes* stream, size_t len, uint8_t fill) {
  stream->push_back(static_cast<uint8_t>(len >> 8));
  stream->push_back(static_cast<uint8_t>(len & 0xff));
  for (size_t i = 0; i < len; ++i) stream->push_back(static_cast<uint8_t>(fill + i));
}

// The bodies a correct reader yields: scan the stream as one piece, skip over-long frames by their
// header, stop at the first frame that is cut off.
std::vector<Bytes> reference_bodies(const Bytes& s) {
  std::vector<Bytes> out;
  size_t p = 0;
  while (p + 2 <= s.size()) {
    size_t len = static_cast<size_t>(s[p]) * 256 + s[p + 1];
    p += 2;
    if (len > FrameReader::kMaxBody) continue;
    if (p + len > s.size()) break;
    out.emplace_back(s.begin() + p, s.begin() + p + len);
    p += len;
  }
  return out;
}

// Writes `stream` in the given piece sizes from a second thread, half-closes, and collects what the
// reader yields.
std::vector<Bytes> read_all(const Bytes& stream, const std::vector<size_t>& pieces) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  UniqueFd reader_end(sv[0]);
  UniqueFd writer_end(sv[1]);
  std::thread writer([&] {
    size_t off = 0;
    for (size_t piece : pieces) {
      if (off >= stream.size()) break;
      size_t n = std::min(piece, stream.size() - off);
      EXPECT_EQ(shm_writen(writer_end.get(), stream.data() + off, n), static_cast<int64_t>(n));
      off += n;
    }
    if (off < stream.size()) shm_writen(writer_end.get(), stream.data() + off, stream.size() - off);
    shutdown(writer_end.get(), SHUT_WR);
  });
  std::vector<Bytes> out;
  FrameReader reader(reader_end.get());
  while (auto body = reader.next_body()) out.emplace_back(body->begin(), body->end());
  EXPECT_FALSE(reader.next_body().has_value());  // stays ended
  writer.join();
  return out;
}

std::vector<Bytes> read_all(const Bytes& stream) { return read_all(stream, {stream.size()}); }

struct BoundaryCase {
  const char* name;
  Bytes stream;
  std::vector<size_t> expected_lengths;
};

// Pads the stream with one frame so that the next byte written lands at offset `at`.
void pad_to(Bytes* s, size_t at) {
  size_t need = at - s->size();
  ASSERT_GE(need, 2u);
  append_frame(s, need - 2, 0x40);
}

std::vector<BoundaryCase> boundary_cases() {
  std::vector<BoundaryCase> cases;
  {
    BoundaryCase c{"two frames in one write", {}, {3, 5}};
    append_frame(&c.stream, 3, 1);
    append_frame(&c.stream, 5, 2);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"header high byte at offset 2047", {}, {2045, 10, 1}};
    pad_to(&c.stream, 2047);
    append_frame(&c.stream, 10, 3);
    append_frame(&c.stream, 1, 4);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"body straddles the block boundary", {}, {2000, 100, 7}};
    pad_to(&c.stream, 2002);
    append_frame(&c.stream, 100, 5);
    append_frame(&c.stream, 7, 6);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"header ends the block, body wholly in the next", {}, {2044, 300}};
    pad_to(&c.stream, 2046);
    append_frame(&c.stream, 300, 7);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"length 2048 accepted at start", {}, {2048, 2}};
    append_frame(&c.stream, 2048, 8);
    append_frame(&c.stream, 2, 9);
    cases.push_back(c);
  }
  {
    // 2049 is not taken: its body bytes are read as headers. The body below holds two frames.
    BoundaryCase c{"length 2049 skipped by its header", {}, {1, 3}};
    c.stream = {0x08, 0x01};
    append_frame(&c.stream, 1, 0x11);
    append_frame(&c.stream, 3, 0x12);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"zero-length body", {}, {0, 4}};
    append_frame(&c.stream, 0, 0);
    append_frame(&c.stream, 4, 1);
    cases.push_back(c);
  }
  cases.push_back({"empty stream", {}, {}});
  {
    BoundaryCase c{"lone header byte at end of a short block", {}, {5}};
    append_frame(&c.stream, 5, 1);
    c.stream.push_back(0x00);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"lone header byte at end of a full block", {}, {2045}};
    pad_to(&c.stream, 2047);
    c.stream.push_back(0x00);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"body cut short in the same block", {}, {5}};
    append_frame(&c.stream, 5, 1);
    append_frame(&c.stream, 50, 2);
    c.stream.resize(c.stream.size() - 10);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"body rest longer than the final block", {}, {2000}};
    pad_to(&c.stream, 2002);
    append_frame(&c.stream, 200, 3);
    c.stream.resize(c.stream.size() - 1);
    cases.push_back(c);
  }
  {
    BoundaryCase c{"header ends a full block, stream ends", {}, {2044}};
    pad_to(&c.stream, 2046);
    c.stream.push_back(0x00);
    c.stream.push_back(0x10);
    cases.push_back(c);
  }
  return cases;
}

TEST(FrameReaderTest, BoundaryCases) {
  for (const BoundaryCase& c : boundary_cases()) {
    SCOPED_TRACE(c.name);
    std::vector<Bytes> expected = reference_bodies(c.stream);
    ASSERT_EQ(expected.size(), c.expected_lengths.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(expected[i].size(), c.expected_lengths[i]);
    EXPECT_EQ(read_all(c.stream), expected);
    // The same stream dribbled one byte at a time yields the same bodies.
    EXPECT_EQ(read_all(c.stream, std::vector<size_t>(c.stream.size(), 1)), expected);
  }
}

TEST(FrameReaderTest, StaleBytesOfAnEarlierBlockAreNeverUsed) {
  // A first full block leaves non-zero bytes in the buffer; the short final block then ends with one
  // header byte. A reader that looked past the received bytes would see a second header byte there.
  Bytes s;
  append_frame(&s, 2046, 0x01);
  append_frame(&s, 0, 0);
  s.push_back(0x00);
  std::vector<Bytes> bodies = read_all(s);
  ASSERT_EQ(bodies.size(), 2u);
  EXPECT_EQ(bodies[1].size(), 0u);
}

TEST(FrameReaderTest, RandomStreamsInRandomPieces) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 60; ++round) {
    Bytes stream;
    int frames = std::uniform_int_distribution<int>(0, 40)(rng);
    for (int f = 0; f < frames; ++f) {
      int kind = std::uniform_int_distribution<int>(0, 19)(rng);
      size_t len;
      if (kind == 0) {
        len = std::uniform_int_distribution<size_t>(2049, 65535)(rng);  // over-long header only
        stream.push_back(static_cast<uint8_t>(len >> 8));
        stream.push_back(static_cast<uint8_t>(len & 0xff));
        continue;
      }
      if (kind == 1) len = FrameReader::kMaxBody;
      else if (kind < 6) len = std::uniform_int_distribution<size_t>(0, 2048)(rng);
      else len = std::uniform_int_distribution<size_t>(0, 60)(rng);
      append_frame(&stream, len, static_cast<uint8_t>(rng()));
    }
    if (!stream.empty() && rng() % 3 == 0) {
      stream.resize(std::uniform_int_distribution<size_t>(0, stream.size())(rng));  // cut off
    }
    std::vector<size_t> pieces;
    for (size_t total = 0; total < stream.size();) {
      size_t piece = std::uniform_int_distribution<size_t>(1, rng() % 2 ? 7 : 3000)(rng);
      pieces.push_back(piece);
      total += piece;
    }
    ASSERT_EQ(read_all(stream, pieces), reference_bodies(stream)) << "round " << round;
  }
}

}  // namespace
}  // namespace quillmap
