#include "server/frame_writer.h"

#include <vector>

namespace quillmap {

std::vector<uint8_t> pack_frame(const ProtobufCMessage* message) {
  size_t size = protobuf_c_message_get_packed_size(message);
  std::vector<uint8_t> frame(size + kFrameLengthBytes);
  put_frame_header(frame.data(), size);
  protobuf_c_message_pack(message, frame.data() + kFrameLengthBytes);
  return frame;
}

}  // namespace quillmap
