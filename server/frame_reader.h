// Turns the byte stream of one client connection into the sequence of request bodies it carries.
//
// A frame is a 2-byte big-endian length L followed by L body bytes. A frame with L > kMaxBody is not
// taken: only its two header bytes are consumed and the bytes that follow are scanned as the next
// header. The reader is fed the stream in pieces of any size, as they arrive; a header or a body may
// straddle any number of pieces. The bodies it yields, and where it yields them, do not depend on how
// the stream was cut into pieces (the parse is that of the stream read in 2048-byte blocks).
//
// Invariants:
//   1. Only bytes that were fed are ever looked at; a frame cut off by the end of the stream (a lone
//      header byte, or a body whose rest never came) is never yielded.
//   2. Memory is bounded whatever the client sends: the reader keeps at most one partial header byte
//      and one partial body (kMaxBody bytes); a body lying wholly inside a fed piece is yielded in
//      place, without a copy.
//   3. A yielded body is valid only during the callback that receives it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quillmap {

class FrameReader {
 public:
  static constexpr size_t kBlockSize = 2048;
  static constexpr size_t kMaxBody = 2048;

  FrameReader() = default;
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Consumes `bytes`, the next piece of the stream, and calls `on_body(std::span<const uint8_t>)` for
  // every body the piece completes, in stream order. When on_body returns false the reader stops: the
  // rest of the piece, and everything fed later, is dropped. Returns false once stopped.
  template <class OnBody>
  bool feed(std::span<const uint8_t> bytes, OnBody&& on_body);

  // Whether bytes of an incomplete frame are held (the stream so far ends inside a frame).
  bool mid_frame() const { return have_high_byte_ || in_body_; }
  bool stopped() const { return stopped_; }

 private:
  bool stopped_ = false;
  bool have_high_byte_ = false;  // the first header byte arrived without the second
  uint8_t high_byte_ = 0;
  bool in_body_ = false;         // a body of body_len_ bytes is being collected in message_
  size_t body_len_ = 0;
  size_t body_have_ = 0;
  std::array<uint8_t, kMaxBody> message_{};
};

template <class OnBody>
bool FrameReader::feed(std::span<const uint8_t> bytes, OnBody&& on_body) {
  const uint8_t* p = bytes.data();
  const uint8_t* const end = p + bytes.size();
  while (!stopped_ && p != end) {
    if (in_body_) {
      size_t take = std::min(body_len_ - body_have_, static_cast<size_t>(end - p));
      std::memcpy(message_.data() + body_have_, p, take);
      body_have_ += take;
      p += take;
      if (body_have_ < body_len_) break;
      in_body_ = false;
      if (!on_body(std::span<const uint8_t>(message_.data(), body_len_))) stopped_ = true;
      continue;
    }
    size_t len;
    if (have_high_byte_) {
      len = static_cast<size_t>(high_byte_) * 256 + *p++;
      have_high_byte_ = false;
    } else if (end - p >= 2) {
      len = static_cast<size_t>(p[0]) * 256 + p[1];
      p += 2;
    } else {
      high_byte_ = *p++;
      have_high_byte_ = true;
      break;
    }
    if (len > kMaxBody) continue;  // over-long frame: only its header is consumed
    if (static_cast<size_t>(end - p) >= len) {
      std::span<const uint8_t> body(p, len);
      p += len;
      if (!on_body(body)) stopped_ = true;
      continue;
    }
    body_len_ = len;
    body_have_ = static_cast<size_t>(end - p);
    std::memcpy(message_.data(), p, body_have_);
    p = end;
    in_body_ = true;
  }
  return !stopped_;
}

}  // namespace quillmap
