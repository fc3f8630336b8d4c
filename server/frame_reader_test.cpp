// The frame reader against a plain linear scan of the whole stream: seeded random streams (frames of
// every length up to the limit, over-long headers, a cut-off end), each fed whole, in 2048-byte
// blocks, byte by byte (every header split between its two bytes) and in random pieces; now and then
// the callback refuses a body, after which nothing more is yielded, in that piece or a later one.
#include "server/frame_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "util/testing/seed.h"

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

// Feeds `stream` in the given piece sizes (the rest in one piece) and collects the bodies; the callback
// refuses the body numbered `refuse_at` (counting from 0).
std::vector<Bytes> read_all(const Bytes& stream, const std::vector<size_t>& pieces, size_t refuse_at,
                            bool* mid_frame = nullptr) {
  std::vector<Bytes> out;
  FrameReader reader;
  size_t off = 0;
  for (size_t i = 0; off < stream.size(); ++i) {
    size_t n = i < pieces.size() ? std::min(pieces[i], stream.size() - off) : stream.size() - off;
    const bool more = reader.feed({stream.data() + off, n}, [&](std::span<const uint8_t> b) {
      out.emplace_back(b.begin(), b.end());
      return out.size() != refuse_at + 1;
    });
    EXPECT_EQ(more, out.size() <= refuse_at);
    off += n;
  }
  EXPECT_EQ(reader.stopped(), out.size() > refuse_at);
  if (mid_frame != nullptr) *mid_frame = reader.mid_frame();
  return out;
}

void expect_same_in_every_cut(const Bytes& stream, std::mt19937* rng) {
  std::vector<Bytes> expected = reference_bodies(stream);
  const size_t refuse_at = (*rng)() % 4 == 0 ? (*rng)() % (expected.size() + 1) : SIZE_MAX - 1;
  if (refuse_at < expected.size()) expected.resize(refuse_at + 1);
  bool mid = false;
  EXPECT_EQ(read_all(stream, {}, refuse_at, &mid), expected) << "whole";
  EXPECT_EQ(read_all(stream, std::vector<size_t>(stream.size() / 2048 + 1, 2048), refuse_at), expected) << "blocks";
  EXPECT_EQ(read_all(stream, std::vector<size_t>(stream.size(), 1), refuse_at), expected) << "bytes";
  std::vector<size_t> pieces;
  for (size_t total = 0; total < stream.size(); total += pieces.back()) pieces.push_back(1 + (*rng)() % ((*rng)() % 2 ? 7 : 3000));
  EXPECT_EQ(read_all(stream, pieces, refuse_at), expected) << "random pieces";
  if (refuse_at < SIZE_MAX - 1) return;  // a stopped reader's position is not the stream's
  // Whether the stream ends inside a frame: the reference stopped short of the end.
  size_t used = 0;
  for (size_t p = 0; p + 2 <= stream.size();) {
    size_t len = static_cast<size_t>(stream[p]) * 256 + stream[p + 1];
    size_t next = p + 2 + (len > FrameReader::kMaxBody ? 0 : len);
    if (next > stream.size()) break;
    used = p = next;
  }
  EXPECT_EQ(mid, used != stream.size());
}

TEST(FrameReaderTest, RandomStreamsInRandomPieces) {
  const uint32_t seed = testing::test_seed(20261207u);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937 rng(seed);
  auto uniform = [&](size_t lo, size_t hi) { return std::uniform_int_distribution<size_t>(lo, hi)(rng); };
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
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
    expect_same_in_every_cut(stream, &rng);
  }
}

}  // namespace
}  // namespace quillmap
