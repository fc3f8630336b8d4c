// Turns the byte stream of one client connection into the sequence of request bodies it carries.
//
// A frame is a 2-byte big-endian length L followed by L body bytes. The stream is read in blocks of
// kBlockSize bytes; a header or a body may straddle two blocks (never more, since L <= kMaxBody).
// A frame with L > kMaxBody is not taken: only its two header bytes are consumed and the bytes that
// follow are scanned as the next header.
//
// Invariants:
//   1. Only bytes that were actually received are ever looked at; a frame cut off by the end of the
//      stream (a lone header byte, or a body whose rest never came) is never yielded, and the request
//      phase ends there as at end of stream.
//   2. The yielded body stays valid until the next call of next_body(): one message buffer is reused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quillmap {

class FrameReader {
 public:
  static constexpr size_t kBlockSize = 2048;
  static constexpr size_t kMaxBody = 2048;

  // Reads from `fd`, which the caller keeps open while the reader is used.
  explicit FrameReader(int fd) : fd_(fd) {}
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // The next complete request body, or nullopt at end of requests (end of stream, a read error, or a
  // frame cut off by the end of the stream). Once nullopt was returned, it is returned again.
  std::optional<std::span<const uint8_t>> next_body();

 private:
  enum class Pending { kNothing, kHighByte, kBody };

  // Reads the next block into block_; false when the stream has ended (or failed).
  bool read_block();
  std::span<const uint8_t> body(size_t len) const { return {message_.data(), len}; }

  int fd_;
  bool ended_ = false;
  bool need_block_ = true;  // the current block is used up (or none was read yet)
  size_t pos_ = 0;          // P: cursor in the current block
  size_t count_ = 0;        // N: bytes in the current block
  Pending pending_ = Pending::kNothing;
  uint8_t high_byte_ = 0;   // kHighByte: the header byte kept from the end of the previous block
  size_t body_len_ = 0;     // kBody: L of the frame whose body continues in the next block
  size_t body_have_ = 0;    // kBody: K, body bytes already in message_
  std::array<uint8_t, kBlockSize> block_{};
  std::array<uint8_t, kMaxBody> message_{};
};

}  // namespace quillmap
