// Exact-length transfers on a descriptor. A call interrupted by a signal is repeated.
#pragma once

#include <cstdint>
#include <cstddef>

namespace quillmap {

// Reads until n bytes have arrived or end of file: the count read (n unless end of file came first),
// 0 when n is 0, -1 on a read error.
int64_t shm_readn(int fd, void* buf, size_t n);

// Writes all n bytes: n, 0 when n is 0, -1 on a write error or a write that reports 0 bytes.
int64_t shm_writen(int fd, const void* buf, size_t n);

// Owns a descriptor and closes it when the owner goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the held descriptor; returns close()'s result (0 when none was held).
  int reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace quillmap
