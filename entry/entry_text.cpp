#include "entry/entry_text.h"

#include "store/layout.h"
#include "util/log.h"
#include "util/utf8.h"

namespace quillmap {

int64_t check_storable(const char* op, const char* key, uint64_t key_len, const char* value, uint64_t value_len) {
  if (key_len > kMaxKeyLength) {
    log_msg(kLogError, "%s: key is longer than 65535 bytes, refused", op);
    return kFailed;
  }
  if (value_len > kMaxValueLength) {
    log_msg(kLogError, "%s: value is longer than 4294967295 bytes, refused", op);
    return kFailed;
  }
  // The data file is UTF-8 text: an entry it cannot hold would be lost at the next stop.
  if (!is_valid_utf8(key, key_len)) {
    log_msg(kLogError, "%s: key is not valid UTF-8 text, refused", op);
    return kFailed;
  }
  if (!is_valid_utf8(value, value_len)) {
    log_msg(kLogError, "%s: value is not valid UTF-8 text, refused", op);
    return kFailed;
  }
  return kDone;
}

}  // namespace quillmap
