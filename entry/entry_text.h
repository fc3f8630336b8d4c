// Helpers shared by the string and address operations: printing a key in a log line, and the checks
// that refuse a key or value the dictionary cannot hold before any lock is taken.
#pragma once

#include <climits>
#include <cstdint>

namespace quillmap {

// Keys are not NUL-terminated, so log lines print them as "%.*s" with these two arguments: the
// length (clamped to what printf accepts) and a pointer that is never null.
inline int log_len(uint64_t len) noexcept { return len > INT_MAX ? INT_MAX : static_cast<int>(len); }
inline const char* log_ptr(const char* p) noexcept { return p != nullptr ? p : ""; }

// Largest key an entry holds: RbtreeNode::key_len is 16 bits.
inline constexpr uint64_t kMaxKeyLength = 0xFFFF;
// Largest value an entry holds: RbtreeNode::value_len is 32 bits.
inline constexpr uint64_t kMaxValueLength = 0xFFFFFFFF;

// 0 when the key and value can be stored and written to the data file; otherwise logs an ERROR that
// names the operation `op` and the reason, and returns -1:
//   "<op>: key is longer than 65535 bytes, refused"
//   "<op>: value is longer than 4294967295 bytes, refused"
//   "<op>: key is not valid UTF-8 text, refused"
//   "<op>: value is not valid UTF-8 text, refused"
int64_t check_storable(const char* op, const char* key, uint64_t key_len, const char* value, uint64_t value_len);

}  // namespace quillmap
