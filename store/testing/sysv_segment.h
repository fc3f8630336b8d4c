// Test support: a private System V shared memory segment, attached and already marked for removal, so
// that it disappears with the last detach even when a test dies. Forked children inherit the
// attachment.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quillmap::testing {

class SysvSegment {
 public:
  explicit SysvSegment(uint64_t size) : size_(size) {
    id_ = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id_ < 0) {
      perror("shmget");
      abort();
    }
    void* p = shmat(id_, nullptr, 0);
    shmctl(id_, IPC_RMID, nullptr);
    if (p == reinterpret_cast<void*>(-1)) {
      perror("shmat");
      abort();
    }
    base_ = p;
  }
  SysvSegment(const SysvSegment&) = delete;
  SysvSegment& operator=(const SysvSegment&) = delete;
  ~SysvSegment() { shmdt(base_); }

  void* base() const { return base_; }
  uint64_t size() const { return size_; }
  int id() const { return id_; }

 private:
  uint64_t size_;
  int id_ = -1;
  void* base_ = nullptr;
};

}  // namespace quillmap::testing
