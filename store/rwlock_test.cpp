// The segment lock, across processes: a private System V segment shared with forked children.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "store/layout.h"
#include "store/rwlock.h"
#include "store/testing/sysv_segment.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

using testing::SysvSegment;

constexpr uint64_t kWriter = ~uint64_t{0};

// The shared page: the lock word first, as in the segment, then what the tests' processes share.
struct Shared {
  uint64_t lock;
  uint64_t counter;        // changed only under the write lock, deliberately non-atomically
  uint64_t writer_inside;  // 1 while a writer is between its lock and unlock
  uint64_t violations;     // readers that saw a writer inside
  uint64_t timeouts;
};

class RwlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_params_init();
    saved_cpus_ = cpu_count;
  }
  void TearDown() override { cpu_count = saved_cpus_; }

  Shared* shared() { return static_cast<Shared*>(segment_.base()); }
  uint64_t* word() { return &shared()->lock; }

  SysvSegment segment_{4096};
  int64_t saved_cpus_ = 1;
};

// Every operation from every kind of word: taking, releasing (never inventing a writer, never wrapping a
// free word, and an outside reader never releasing a writer), forcing, and timing out (word unchanged,
// and without spinning on a single processor).
TEST_F(RwlockTest, WordTransitions) {
  cpu_count = 1;  // keeps each time-out short
  enum Op { kW, kR, kUnlock, kReadUnlock, kForce };
  const struct {
    uint64_t word;
    Op op;
    int64_t result;
    uint64_t after;
  } rows[] = {{0, kW, kDone, kWriter},        {kWriter, kUnlock, kDone, 0},     {0, kR, kDone, 1},
              {2, kR, kDone, 3},              {3, kUnlock, kDone, 2},           {1, kUnlock, kDone, 0},
              {3, kReadUnlock, kDone, 2},     {1, kReadUnlock, kDone, 0},       {0, kUnlock, kLockTimeout, 0},
              {0, kReadUnlock, kLockTimeout, 0}, {kWriter, kReadUnlock, kLockTimeout, kWriter},
              {kWriter, kR, kLockTimeout, kWriter}, {kWriter, kW, kLockTimeout, kWriter}, {1, kW, kLockTimeout, 1},
              {0, kForce, kNothingToDo, 0},   {1, kForce, kDone, 0},            {5, kForce, kDone, 0},
              {kWriter, kForce, kDone, 0}};
  const uint64_t bursts = rwlock_spin_bursts();
  for (const auto& r : rows) {
    *word() = r.word;
    const int64_t got = r.op == kW ? rwlock_wlock(word())        : r.op == kR ? rwlock_rlock(word())
                      : r.op == kUnlock ? rwlock_unlock(word()) : r.op == kReadUnlock ? rwlock_read_unlock(word())
                                                                : force_unlock(word());
    EXPECT_EQ(got, r.result) << "word " << r.word << " op " << r.op;
    EXPECT_EQ(*word(), r.after) << "word " << r.word << " op " << r.op;
  }
  // A single processor never spins while it waits; with two, a time-out takes eleven bursts a pass.
  EXPECT_EQ(rwlock_spin_bursts(), bursts);
  cpu_count = 2;
  *word() = kWriter;
  EXPECT_EQ(rwlock_wlock(word()), kLockTimeout);
  EXPECT_EQ(rwlock_spin_bursts(), bursts + 1024u * 11u);
  *word() = 0;
}

TEST_F(RwlockTest, WritersExcludeEachOtherAndReaders) {
  constexpr int kWriters = 3, kReaders = 2, kRounds = 400;
  std::vector<pid_t> children;
  for (int i = 0; i < kWriters + kReaders; ++i) {
    const bool writer = i < kWriters;
    pid_t pid = fork();
    if (pid == 0) {
      Shared* s = shared();
      for (int r = 0; r < kRounds; ++r) {
        if (writer) {
          while (rwlock_wlock(&s->lock) != kDone) __atomic_add_fetch(&s->timeouts, 1, __ATOMIC_RELAXED);
          s->writer_inside = 1;
          const uint64_t seen = *static_cast<volatile uint64_t*>(&s->counter);
          if (r % 16 == 0) usleep(10);
          *static_cast<volatile uint64_t*>(&s->counter) = seen + 1;
          s->writer_inside = 0;
          rwlock_unlock(&s->lock);
        } else {
          while (rwlock_rlock(&s->lock) != kDone) __atomic_add_fetch(&s->timeouts, 1, __ATOMIC_RELAXED);
          if (*static_cast<volatile uint64_t*>(&s->writer_inside) != 0)
            __atomic_add_fetch(&s->violations, 1, __ATOMIC_RELAXED);
          if (r % 16 == 0) usleep(10);
          if (rwlock_unlock(&s->lock) != kDone) __atomic_add_fetch(&s->violations, 1, __ATOMIC_RELAXED);
        }
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(shared()->counter, uint64_t{kWriters} * kRounds);
  EXPECT_EQ(shared()->violations, 0u);
  EXPECT_EQ(*word(), 0u);
}

}  // namespace
}  // namespace quillmap
