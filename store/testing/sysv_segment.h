// Test support: a private System V shared memory segment, attached and already marked for removal, so
// that it disappears with the last detach even when a test dies. Forked children inherit it.
#pragma once

#include <sys/shm.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quillmap::testing {

class SysvSegment {
 public:
  explicit SysvSegment(uint64_t size) {
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    base_ = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    if (base_ == reinterpret_cast<void*>(-1)) {
      perror("shmget/shmat");
      abort();
    }
  }
  SysvSegment(const SysvSegment&) = delete;
  SysvSegment& operator=(const SysvSegment&) = delete;
  ~SysvSegment() { shmdt(base_); }
  void* base() const { return base_; }

 private:
  void* base_;
};

}  // namespace quillmap::testing
