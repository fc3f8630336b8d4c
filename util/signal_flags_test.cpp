#include "util/signal_flags.h"

#include <gtest/gtest.h>

#include <cstring>

namespace quillmap {
namespace {

// Each caught signal (installed with SA_RESTART) raises its flag alone, and twice before it is
// consumed is seen once; a signal without a flag changes nothing, and SIGCHLD keeps its default.
TEST(SignalFlags, EachSignalRaisesOnlyItsFlag) {
  ASSERT_EQ(init_signals(), 0);
  const struct {
    int signo;
    volatile sig_atomic_t SignalFlags::*flag;
  } cases[] = {{SIGHUP, &SignalFlags::got_hup},   {SIGINT, &SignalFlags::got_int},
               {SIGQUIT, &SignalFlags::got_quit}, {SIGUSR1, &SignalFlags::got_usr1},
               {SIGPIPE, &SignalFlags::got_pipe}, {SIGTERM, &SignalFlags::got_term}};
  auto raised = [&] {
    int n = 0;
    for (const auto& other : cases) n += signal_flags.*(other.flag);
    return n;
  };
  for (const auto& c : cases) {
    struct sigaction current;
    ASSERT_EQ(sigaction(c.signo, nullptr, &current), 0);
    EXPECT_TRUE(current.sa_handler == signal_handler && (current.sa_flags & SA_RESTART)) << strsignal(c.signo);
    signal_flags = SignalFlags{};
    ASSERT_EQ(raise(c.signo), 0);  // the process survives: the signal is caught
    ASSERT_EQ(raise(c.signo), 0);
    EXPECT_EQ(signal_flags.*(c.flag), 1) << strsignal(c.signo);
    EXPECT_EQ(raised(), 1) << strsignal(c.signo);
    signal(c.signo, SIG_DFL);
  }
  signal_flags = SignalFlags{};
  signal_handler(SIGUSR2);
  signal_handler(SIGCHLD);
  EXPECT_EQ(raised(), 0);
  struct sigaction child;
  ASSERT_EQ(sigaction(SIGCHLD, nullptr, &child), 0);
  EXPECT_EQ(child.sa_handler, SIG_DFL);
  struct sigaction file_size;
  ASSERT_EQ(sigaction(SIGXFSZ, nullptr, &file_size), 0);
  EXPECT_EQ(file_size.sa_handler, SIG_IGN) << "a file size limit must fail a write, not end the worker";
  signal(SIGXFSZ, SIG_DFL);
}

}  // namespace
}  // namespace quillmap
