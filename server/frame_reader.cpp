#include "server/frame_reader.h"

#include <cstring>

#include "util/io.h"

namespace quillmap {

bool FrameReader::read_block() {
  int64_t n = shm_readn(fd_, block_.data(), kBlockSize);
  if (n <= 0) {
    ended_ = true;
    return false;
  }
  count_ = static_cast<size_t>(n);
  pos_ = 0;
  need_block_ = false;
  return true;
}

std::optional<std::span<const uint8_t>> FrameReader::next_body() {
  while (!ended_) {
    bool have_header = false;
    size_t len = 0;
    if (need_block_) {
      if (!read_block()) break;
      if (pending_ == Pending::kBody) {
        pending_ = Pending::kNothing;
        size_t rest = body_len_ - body_have_;
        // shm_readn returns a short block only at end of stream, so a rest longer than the block
        // will never come: the frame is incomplete and is not executed.
        if (rest > count_) {
          ended_ = true;
          break;
        }
        std::memcpy(message_.data() + body_have_, block_.data(), rest);
        pos_ = rest;
        return body(body_len_);
      }
      if (pending_ == Pending::kHighByte) {
        pending_ = Pending::kNothing;
        len = static_cast<size_t>(high_byte_) * 256 + block_[0];
        pos_ = 1;
        have_header = true;
      }
    }

    if (!have_header) {
      if (pos_ == count_ || pos_ == kBlockSize) {
        need_block_ = true;
        continue;
      }
      if (pos_ + 1 == count_) {
        if (count_ < kBlockSize) {  // the stream ended after one byte of a header
          ended_ = true;
          break;
        }
        high_byte_ = block_[pos_];
        pending_ = Pending::kHighByte;
        need_block_ = true;
        continue;
      }
      len = static_cast<size_t>(block_[pos_]) * 256 + block_[pos_ + 1];
      pos_ += 2;
    }

    if (len > kMaxBody) continue;  // over-long frame: only its header is consumed

    if (pos_ + len <= count_) {
      std::memcpy(message_.data(), block_.data() + pos_, len);
      pos_ += len;
      return body(len);
    }
    // The body continues in the next block (possibly entirely, when the header ended the block).
    body_have_ = count_ - pos_;
    std::memcpy(message_.data(), block_.data() + pos_, body_have_);
    body_len_ = len;
    pending_ = Pending::kBody;
    need_block_ = true;
  }
  return std::nullopt;
}

}  // namespace quillmap
