#include "server/frame_writer.h"

#include <vector>

#include "util/io.h"

namespace quillmap {

int64_t write_frame(int fd, const ProtobufCMessage* message) {
  size_t size = protobuf_c_message_get_packed_size(message);
  std::vector<uint8_t> frame(size + kFrameLengthBytes);
  put_frame_header(frame.data(), size);
  protobuf_c_message_pack(message, frame.data() + kFrameLengthBytes);
  return shm_writen(fd, frame.data(), frame.size());
}

}  // namespace quillmap
