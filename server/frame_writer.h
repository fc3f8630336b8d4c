// Builds one answer frame: the low 16 bits of the packed size, high byte first, then the packed
// message.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmap {

inline constexpr size_t kFrameLengthBytes = 2;

// Stores the frame header for a body of `size` bytes (only its low 16 bits go on the wire).
inline void put_frame_header(uint8_t* out, size_t size) {
  out[0] = static_cast<uint8_t>((size >> 8) & 0xff);
  out[1] = static_cast<uint8_t>(size & 0xff);
}

// The whole frame for `message`: a buffer of its packed size plus 2.
std::vector<uint8_t> pack_frame(const ProtobufCMessage* message);

}  // namespace quillmap
