#include "store/rwlock.h"

#include <unistd.h>

#include "store/change_epoch.h"
#include "store/layout.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

uint64_t spin_bursts = 0;

inline uint64_t load_word(const uint64_t* lock) { return __atomic_load_n(lock, __ATOMIC_ACQUIRE); }

// Full-barrier compare-and-swap of the aligned word.
inline bool swap_word(uint64_t* lock, uint64_t expected, uint64_t desired) {
  return __atomic_compare_exchange_n(lock, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

inline void spin_hint() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#else
  asm volatile("" ::: "memory");
#endif
}

bool try_writer(uint64_t* lock) { return load_word(lock) == 0 && swap_word(lock, 0, kLockWriter); }

bool try_reader(uint64_t* lock) {
  uint64_t w = load_word(lock);
  return w != kLockWriter && swap_word(lock, w, w + 1);
}

// The passes shared by both kinds of hold: one attempt, spin bursts of 1, 2, ..., 1024 hints each
// followed by an attempt (only with more than one processor), then a 1 us sleep.
template <class Attempt>
int64_t acquire(uint64_t* lock, Attempt attempt) {
  for (int pass = 0; pass < kLockPasses; ++pass) {
    if (attempt(lock)) return kDone;
    if (cpu_count > 1) {
      for (int n = 1; n <= 1024; n <<= 1) {
        ++spin_bursts;
        for (int i = 0; i < n; ++i) spin_hint();
        if (attempt(lock)) return kDone;
      }
    }
    usleep(1);
  }
  return kLockTimeout;
}

}  // namespace

int64_t rwlock_wlock(uint64_t* lock) {
  int64_t rc = acquire(lock, try_writer);
  if (rc == kDone) note_write_begins(lock);
  return rc;
}

int64_t rwlock_rlock(uint64_t* lock) { return acquire(lock, try_reader); }

int64_t rwlock_unlock(uint64_t* lock) {
  for (int attempt = 0; attempt < kLockPasses; ++attempt) {
    uint64_t w = load_word(lock);
    if (w == kLockWriter) {
      note_write_ends(lock);
      __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
      return kDone;
    }
    // A free word has nothing to release; decrementing it would hand the lock to a phantom writer.
    if (w == 0) return kLockTimeout;
    if (swap_word(lock, w, w - 1)) return kDone;
  }
  return kLockTimeout;
}

int64_t rwlock_read_unlock(uint64_t* lock) {
  for (int attempt = 0; attempt < kLockPasses; ++attempt) {
    uint64_t w = load_word(lock);
    if (w == 0 || w == kLockWriter) return kLockTimeout;
    if (swap_word(lock, w, w - 1)) return kDone;
  }
  return kLockTimeout;
}

int64_t force_unlock(uint64_t* lock) {
  if (load_word(lock) == 0) return kNothingToDo;
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  return kDone;
}

uint64_t rwlock_spin_bursts() { return spin_bursts; }

}  // namespace quillmap
