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

  // Runs body in a child process and waits for it; returns the child's exit status.
  template <class F>
  static int in_child(F body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  SysvSegment segment_{4096};
  int64_t saved_cpus_ = 1;
};

TEST_F(RwlockTest, WriterTakesAndReleasesAFreeLock) {
  EXPECT_EQ(rwlock_wlock(word()), kDone);
  EXPECT_EQ(*word(), kWriter);
  EXPECT_EQ(rwlock_unlock(word()), kDone);
  EXPECT_EQ(*word(), 0u);
}

TEST_F(RwlockTest, ReaderSharesCountUpAndDown) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(rwlock_rlock(word()), kDone);
  EXPECT_EQ(*word(), 3u);
  for (uint64_t left : {2u, 1u, 0u}) {
    ASSERT_EQ(rwlock_unlock(word()), kDone);
    EXPECT_EQ(*word(), left);
  }
  // Shares taken in other processes add up in the same word.
  EXPECT_EQ(in_child([&] { return rwlock_rlock(word()) == kDone ? 0 : 1; }), 0);
  EXPECT_EQ(in_child([&] { return rwlock_rlock(word()) == kDone ? 0 : 1; }), 0);
  EXPECT_EQ(*word(), 2u);
  *word() = 0;
}

TEST_F(RwlockTest, HeldByADeadWriterEveryAttemptTimesOut) {
  for (int64_t cpus : {int64_t{1}, int64_t{2}}) {
    cpu_count = cpus;
    // A child takes the write lock and dies holding it.
    ASSERT_EQ(in_child([&] { return rwlock_wlock(word()) == kDone ? 0 : 1; }), 0);
    ASSERT_EQ(*word(), kWriter);
    EXPECT_EQ(rwlock_rlock(word()), kLockTimeout) << cpus;
    EXPECT_EQ(*word(), kWriter);
    EXPECT_EQ(rwlock_wlock(word()), kLockTimeout) << cpus;
    EXPECT_EQ(*word(), kWriter);
    EXPECT_EQ(force_unlock(word()), kDone);
    EXPECT_EQ(*word(), 0u);
    EXPECT_EQ(rwlock_wlock(word()), kDone);
    EXPECT_EQ(rwlock_unlock(word()), kDone);
  }
}

TEST_F(RwlockTest, ReadersKeepAWriterOut) {
  cpu_count = 1;
  ASSERT_EQ(rwlock_rlock(word()), kDone);
  EXPECT_EQ(in_child([&] { return rwlock_wlock(word()) == kLockTimeout ? 0 : 1; }), 0);
  EXPECT_EQ(*word(), 1u);
  EXPECT_EQ(rwlock_unlock(word()), kDone);
}

TEST_F(RwlockTest, SingleProcessorNeverSpins) {
  cpu_count = 1;
  *word() = kWriter;
  const uint64_t before = rwlock_spin_bursts();
  EXPECT_EQ(rwlock_rlock(word()), kLockTimeout);
  EXPECT_EQ(rwlock_spin_bursts(), before);
  cpu_count = 2;
  EXPECT_EQ(rwlock_wlock(word()), kLockTimeout);
  EXPECT_EQ(rwlock_spin_bursts(), before + 1024u * 11u);  // eleven bursts per pass
  *word() = 0;
}

TEST_F(RwlockTest, ForceUnlockResults) {
  struct Row {
    uint64_t word;
    int64_t result;
  };
  const Row rows[] = {{0, kNothingToDo}, {1, kDone}, {5, kDone}, {kWriter, kDone}};
  for (const Row& r : rows) {
    *word() = r.word;
    EXPECT_EQ(force_unlock(word()), r.result) << r.word;
    EXPECT_EQ(*word(), 0u);
  }
}

TEST_F(RwlockTest, ReleasesNeverInventAWriter) {
  struct Row {
    uint64_t word;
    int64_t unlock, read_unlock;
    uint64_t after_unlock, after_read_unlock;
  };
  const Row rows[] = {
      {0, kLockTimeout, kLockTimeout, 0, 0},
      {1, kDone, kDone, 0, 0},
      {3, kDone, kDone, 2, 2},
      {kWriter, kDone, kLockTimeout, 0, kWriter},  // an outside reader never releases a writer
  };
  for (const Row& r : rows) {
    *word() = r.word;
    EXPECT_EQ(rwlock_unlock(word()), r.unlock) << r.word;
    EXPECT_EQ(*word(), r.after_unlock) << r.word;
    *word() = r.word;
    EXPECT_EQ(rwlock_read_unlock(word()), r.read_unlock) << r.word;
    EXPECT_EQ(*word(), r.after_read_unlock) << r.word;
  }
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
