#include "util/io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <vector>

namespace quillmap {
namespace {

struct SocketPair {
  int fds[2] = {-1, -1};
  int made = socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  UniqueFd a{fds[0]}, b{fds[1]};
};

void note_signal(int) {}

// A peer that sends 10 bytes and closes; errors (EAGAIN included) give -1, a closed peer too.
TEST(ReadWriteN, ShortPeerEndOfFileAndErrors) {
  SocketPair pair;
  ASSERT_EQ(write(pair.b.get(), "0123456789", 10), 10);
  pair.b.reset();
  char buf[2048];
  EXPECT_EQ(shm_readn(pair.a.get(), buf, 0), 0);
  EXPECT_EQ(shm_readn(pair.a.get(), buf, sizeof buf), 10);
  EXPECT_EQ(memcmp(buf, "0123456789", 10), 0);
  EXPECT_EQ(shm_readn(-1, buf, sizeof buf), -1);
  SocketPair idle;
  fcntl(idle.a.get(), F_SETFL, O_NONBLOCK);
  EXPECT_EQ(shm_readn(idle.a.get(), buf, sizeof buf), -1);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(shm_writen(pair.a.get(), "x", 1), -1);
  signal(SIGPIPE, SIG_DFL);
}

// The peer signals the writer while it is blocked on 4 MiB (far beyond the socket buffer), then sends
// 10 bytes in two halves and signals the reader in between: no interrupted call shortens a transfer.
TEST(ReadWriteN, SignalsDoNotShortenTransfers) {
  struct sigaction action {}, old;
  action.sa_handler = note_signal;  // without SA_RESTART, so that blocked calls return EINTR
  sigaction(SIGUSR2, &action, &old);
  SocketPair pair;
  const size_t kSize = 4 << 20;
  std::vector<char> data(kSize);
  for (size_t i = 0; i < kSize; ++i) data[i] = static_cast<char>(i * 7);
  const pid_t parent = getpid(), child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pair.a.reset();
    usleep(30000);
    kill(parent, SIGUSR2);
    std::vector<char> sink(kSize);
    const bool intact = shm_readn(pair.b.get(), sink.data(), kSize) == static_cast<int64_t>(kSize) && sink == data;
    (void)!write(pair.b.get(), "01234", 5);
    usleep(30000);
    kill(parent, SIGUSR2);
    usleep(30000);
    (void)!write(pair.b.get(), "56789", 5);
    _exit(intact ? 0 : 1);
  }
  pair.b.reset();
  EXPECT_EQ(shm_writen(pair.a.get(), data.data(), kSize), static_cast<int64_t>(kSize));
  EXPECT_EQ(shm_writen(pair.a.get(), data.data(), 0), 0);
  char buf[10];
  EXPECT_EQ(shm_readn(pair.a.get(), buf, sizeof buf), 10);
  EXPECT_EQ(memcmp(buf, "0123456789", 10), 0);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  sigaction(SIGUSR2, &old, nullptr);
}

// The last owner closes the descriptor, once; release gives it up without closing.
TEST(UniqueFd, ClosesOnDestructionMovesAndReleases) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    UniqueFd owner(fds[0]), assigned, released(fds[1]);
    assigned = UniqueFd(std::move(owner));
    EXPECT_TRUE(!owner && assigned.get() == fds[0] && fcntl(fds[0], F_GETFD) == 0);
    EXPECT_EQ(released.release(), fds[1]);
  }
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
  EXPECT_EQ(close(fds[1]), 0);
}

}  // namespace
}  // namespace quillmap
