// The segment lock: every operation from every kind of word, and exclusion across forked processes
// sharing a private System V segment.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <tuple>

#include "store/layout.h"
#include "store/rwlock.h"
#include "store/testing/sysv_segment.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

// Taking, releasing (never inventing a writer, never wrapping a free word, and an outside reader never
// releasing a writer), forcing, and timing out (word unchanged, and no spinning on one processor).
TEST(Rwlock, WordTransitions) {
  host_params_init();
  const int64_t saved_cpus = cpu_count;
  cpu_count = 1;  // keeps each time-out short
  int64_t (*const ops[])(uint64_t*) = {rwlock_wlock, rwlock_rlock, rwlock_unlock, rwlock_read_unlock, force_unlock};
  enum Op { kW, kR, kUnlock, kReadUnlock, kForce };
  constexpr uint64_t W = kLockWriter;
  const int64_t T = kLockTimeout, D = kDone;
  const std::tuple<uint64_t, Op, int64_t, uint64_t> rows[] = {
      {0, kW, D, W}, {W, kUnlock, D, 0}, {0, kR, D, 1}, {2, kR, D, 3}, {3, kUnlock, D, 2}, {1, kUnlock, D, 0},
      {3, kReadUnlock, D, 2}, {1, kReadUnlock, D, 0}, {0, kUnlock, T, 0}, {0, kReadUnlock, T, 0},
      {W, kReadUnlock, T, W}, {W, kR, T, W}, {W, kW, T, W}, {1, kW, T, 1}, {0, kForce, kNothingToDo, 0},
      {1, kForce, D, 0}, {5, kForce, D, 0}, {W, kForce, D, 0}};
  const uint64_t bursts = rwlock_spin_bursts();
  for (const auto& [before, op, result, after] : rows) {
    uint64_t word = before;
    EXPECT_EQ(ops[op](&word), result) << "word " << before << " op " << op;
    EXPECT_EQ(word, after) << "word " << before << " op " << op;
  }
  EXPECT_EQ(rwlock_spin_bursts(), bursts);  // a single processor never spins while it waits
  cpu_count = saved_cpus;
}

// Three writers bump a counter non-atomically under the write lock; three readers check that no writer
// is inside while they hold a share. All start together.
TEST(Rwlock, WritersExcludeEachOtherAndReaders) {
  host_params_init();
  struct Shared {
    uint64_t lock, counter, writer_inside, violations, ready;
  };
  testing::SysvSegment segment(4096);
  auto* s = static_cast<volatile Shared*>(segment.base());
  constexpr int kWriters = 3, kReaders = 3, kRounds = 4000;
  for (int i = 0; i < kWriters + kReaders; ++i) {
    if (fork() != 0) continue;
    auto* lock = const_cast<uint64_t*>(&s->lock);
    __atomic_add_fetch(&s->ready, 1, __ATOMIC_RELAXED);
    while (__atomic_load_n(&s->ready, __ATOMIC_RELAXED) < kWriters + kReaders) {  // start together
    }
    for (int r = 0; r < kRounds; ++r) {
      while ((i < kWriters ? rwlock_wlock(lock) : rwlock_rlock(lock)) != kDone) {
      }
      if (i < kWriters) s->writer_inside = 1;
      if (i >= kWriters && s->writer_inside != 0) __atomic_add_fetch(&s->violations, 1, __ATOMIC_RELAXED);
      const uint64_t seen = s->counter;
      if (r % 16 == 0) usleep(10);
      if (i < kWriters) {
        s->counter = seen + 1;
        s->writer_inside = 0;
      }
      if (rwlock_unlock(lock) != kDone) __atomic_add_fetch(&s->violations, 1, __ATOMIC_RELAXED);
    }
    _exit(0);
  }
  for (int i = 0, status = 0; i < kWriters + kReaders; ++i)
    EXPECT_TRUE(wait(&status) > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(s->counter, uint64_t{kWriters} * kRounds);
  EXPECT_EQ(s->violations, 0u);
  EXPECT_EQ(s->lock, 0u);
}

}  // namespace
}  // namespace quillmap
