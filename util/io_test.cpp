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
  UniqueFd a, b;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      a.reset(fds[0]);
      b.reset(fds[1]);
    }
  }
};

// A handler without SA_RESTART, so that a blocked read or write returns EINTR.
void note_signal(int) {}

class InterruptingSignal {
 public:
  InterruptingSignal() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, &old_);
  }
  ~InterruptingSignal() { sigaction(SIGUSR2, &old_, nullptr); }

 private:
  struct sigaction old_;
};

TEST(ReadN, ShortPeerThenEndOfFile) {
  SocketPair pair;
  ASSERT_TRUE(pair.a && pair.b);
  ASSERT_EQ(write(pair.b.get(), "0123456789", 10), 10);
  pair.b.reset();
  char buf[2048];
  EXPECT_EQ(shm_readn(pair.a.get(), buf, 0), 0);
  EXPECT_EQ(shm_readn(pair.a.get(), buf, sizeof buf), 10);
  EXPECT_EQ(memcmp(buf, "0123456789", 10), 0);
}

TEST(ReadN, ErrorGivesMinusOne) {
  char buf[4];
  EXPECT_EQ(shm_readn(-1, buf, sizeof buf), -1);
  SocketPair pair;
  fcntl(pair.a.get(), F_SETFL, O_NONBLOCK);
  EXPECT_EQ(shm_readn(pair.a.get(), buf, sizeof buf), -1);  // EAGAIN is not retried
}

// The peer sends in two halves and signals the reader in between: the interrupted read is repeated.
TEST(ReadN, SignalDoesNotShortenTransfer) {
  InterruptingSignal handler;
  SocketPair pair;
  pid_t reader = getpid();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pair.a.reset();
    (void)!write(pair.b.get(), "01234", 5);
    usleep(30000);
    kill(reader, SIGUSR2);
    usleep(30000);
    (void)!write(pair.b.get(), "56789", 5);
    _exit(0);
  }
  pair.b.reset();
  char buf[10];
  EXPECT_EQ(shm_readn(pair.a.get(), buf, sizeof buf), 10);
  EXPECT_EQ(memcmp(buf, "0123456789", 10), 0);
  int status;
  waitpid(child, &status, 0);
}

TEST(WriteN, SignalDoesNotShortenTransfer) {
  InterruptingSignal handler;
  SocketPair pair;
  const size_t kSize = 4 << 20;  // far beyond the socket buffer: the writer blocks
  pid_t writer = getpid();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pair.a.reset();
    usleep(30000);
    kill(writer, SIGUSR2);
    std::vector<char> sink(kSize);
    int64_t got = shm_readn(pair.b.get(), sink.data(), kSize);
    bool intact = got == static_cast<int64_t>(kSize);
    for (size_t i = 0; intact && i < kSize; ++i) intact = sink[i] == static_cast<char>(i * 7);
    _exit(intact ? 0 : 1);
  }
  pair.b.reset();
  std::vector<char> data(kSize);
  for (size_t i = 0; i < kSize; ++i) data[i] = static_cast<char>(i * 7);
  EXPECT_EQ(shm_writen(pair.a.get(), data.data(), kSize), static_cast<int64_t>(kSize));
  EXPECT_EQ(shm_writen(pair.a.get(), data.data(), 0), 0);
  int status;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(WriteN, ClosedPeerGivesMinusOne) {
  struct sigaction ignore, old;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  SocketPair pair;
  pair.b.reset();
  EXPECT_EQ(shm_writen(pair.a.get(), "x", 1), -1);
  sigaction(SIGPIPE, &old, nullptr);
}

TEST(UniqueFd, ClosesOnDestructionAndMovesOwnership) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    UniqueFd owner(fds[0]);
    UniqueFd moved(std::move(owner));
    EXPECT_FALSE(owner);
    EXPECT_EQ(moved.get(), fds[0]);
    UniqueFd assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.get(), fds[0]);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), 0);
  }
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // closed by the last owner
  UniqueFd released(fds[1]);
  EXPECT_EQ(released.release(), fds[1]);
  EXPECT_EQ(fcntl(fds[1], F_GETFD), 0);  // release gave it up without closing
  close(fds[1]);
}

}  // namespace
}  // namespace quillmap
