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

// A peer that sends 10 bytes and closes; errors (EAGAIN included) give -1, a closed peer too. Then
// the peer signals the writer while it is blocked on 4 MiB (far beyond the socket buffer), sends 10
// bytes in two halves and signals the reader in between: no interrupted call shortens a transfer.
// The descriptors' owners close them: the last owner on destruction, an assignment the one it
// replaces; release gives a descriptor up without closing it.
TEST(ReadWriteN, EndOfFileErrorsAndSignals) {
  SocketPair pair;
  char buf[2048];
  int idle_end;
  {
    SocketPair idle;
    ASSERT_EQ(write(pair.b.get(), "0123456789", 10), 10);
    pair.b = UniqueFd(std::move(idle.b));  // closes the peer's end: non-blocking reads meet the end of data
    fcntl(pair.a.get(), F_SETFL, O_NONBLOCK);
    EXPECT_EQ(shm_readn(pair.a.get(), buf, 0), 0);
    EXPECT_TRUE(shm_readn(pair.a.get(), buf, sizeof buf) == 10 && memcmp(buf, "0123456789", 10) == 0);
    fcntl(idle.a.get(), F_SETFL, O_NONBLOCK);
    EXPECT_TRUE(shm_readn(-1, buf, sizeof buf) == -1 && shm_readn(idle.a.get(), buf, sizeof buf) == -1);
    idle_end = idle.a.get();
  }
  EXPECT_TRUE(fcntl(idle_end, F_GETFD) == -1 && fcntl(pair.b.get(), F_GETFD) == 0);  // the moved end stays open
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(shm_writen(pair.a.get(), "x", 1), -1);
  signal(SIGPIPE, SIG_DFL);

  struct sigaction action {}, old;
  action.sa_handler = [](int) {};  // without SA_RESTART, so that blocked calls return EINTR
  sigaction(SIGUSR2, &action, &old);
  SocketPair peer;
  std::vector<char> data(4 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  const pid_t parent = getpid(), child = fork();
  if (child == 0) {
    peer.a.reset();
    usleep(30000);
    kill(parent, SIGUSR2);
    std::vector<char> sink(data.size());
    const bool intact =
        shm_readn(peer.b.get(), sink.data(), sink.size()) == static_cast<int64_t>(sink.size()) && sink == data;
    (void)!write(peer.b.get(), "01234", 5);
    usleep(30000);
    kill(parent, SIGUSR2);
    usleep(30000);
    (void)!write(peer.b.get(), "56789", 5);
    _exit(intact ? 0 : 1);
  }
  peer.b.reset();
  EXPECT_EQ(shm_writen(peer.a.get(), data.data(), data.size()), static_cast<int64_t>(data.size()));
  EXPECT_EQ(shm_writen(peer.a.get(), data.data(), 0), 0);
  EXPECT_TRUE(shm_readn(peer.a.get(), buf, 10) == 10 && memcmp(buf, "0123456789", 10) == 0);
  int status = -1;
  EXPECT_TRUE(waitpid(child, &status, 0) == child && status == 0);
  sigaction(SIGUSR2, &old, nullptr);
  const int kept = peer.a.release();
  EXPECT_TRUE(!peer.a && close(kept) == 0);
}

}  // namespace
}  // namespace quillmap
