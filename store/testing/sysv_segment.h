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
  explicit SysvSegment(uint64_t size) : id_(shmget(IPC_PRIVATE, size, IPC_CREAT | 0600)) {
    if (id_ < 0 || (base_ = shmat(id_, nullptr, 0)) == reinterpret_cast<void*>(-1)) {
      perror("shmget/shmat");
      abort();
    }
    shmctl(id_, IPC_RMID, nullptr);
  }
  SysvSegment(const SysvSegment&) = delete;
  ~SysvSegment() { shmdt(base_); }
  void* base() const { return base_; }

 private:
  int id_;
  void* base_ = nullptr;
};

}  // namespace quillmap::testing
