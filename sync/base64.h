// Base64 (RFC 4648, standard alphabet, padded) of byte strings: the etcd JSON gateway carries every
// key and value in this form. The work is OpenSSL's; this only sizes buffers and undoes padding.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillmap::sync {

std::string base64_encode(std::string_view bytes);

// Nothing when `text` is not padded base64 (wrong length or a character outside the alphabet).
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace quillmap::sync
