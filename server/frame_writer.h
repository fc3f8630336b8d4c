// Writes one answer frame: the low 16 bits of the packed size, high byte first, then the packed
// message, in a single exact-length write.
#pragma once

#include <protobuf-c/protobuf-c.h>

#include <cstddef>
#include <cstdint>

namespace quillmap {

inline constexpr size_t kFrameLengthBytes = 2;

// Stores the frame header for a body of `size` bytes (only its low 16 bits go on the wire).
inline void put_frame_header(uint8_t* out, size_t size) {
  out[0] = static_cast<uint8_t>((size >> 8) & 0xff);
  out[1] = static_cast<uint8_t>(size & 0xff);
}

// Packs `message` into a buffer of its packed size plus 2 and writes it whole to `fd`. Returns the
// number of bytes written (the whole frame), or -1 when the write failed or was cut short (errno is
// then that of the failed write).
int64_t write_frame(int fd, const ProtobufCMessage* message);

}  // namespace quillmap
