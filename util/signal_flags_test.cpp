#include "util/signal_flags.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace quillmap {
namespace {

// Each caught signal (installed with SA_RESTART) raises its flag alone, and twice before it is
// consumed is seen once; a signal without a flag changes nothing, and SIGCHLD keeps its default. (That
// a file size limit fails a write rather than ending the worker is the dump test's.)
TEST(SignalFlags, EachSignalRaisesOnlyItsFlag) {
  ASSERT_EQ(init_signals(), 0);
  const std::pair<int, volatile sig_atomic_t SignalFlags::*> cases[] = {
      {SIGHUP, &SignalFlags::got_hup},   {SIGINT, &SignalFlags::got_int},   {SIGQUIT, &SignalFlags::got_quit},
      {SIGUSR1, &SignalFlags::got_usr1}, {SIGPIPE, &SignalFlags::got_pipe}, {SIGTERM, &SignalFlags::got_term}};
  auto raised = [&, n = 0]() mutable {
    for (const auto& [signo, flag] : cases) n += signal_flags.*flag;
    return std::exchange(n, 0);
  };
  struct sigaction current;
  for (const auto& [signo, flag] : cases) {
    ASSERT_EQ(sigaction(signo, nullptr, &current), 0);
    EXPECT_TRUE(current.sa_handler == signal_handler && (current.sa_flags & SA_RESTART)) << strsignal(signo);
    signal_flags = SignalFlags{};
    ASSERT_TRUE(raise(signo) == 0 && raise(signo) == 0);  // the process survives: the signal is caught
    EXPECT_TRUE(signal_flags.*flag == 1 && raised() == 1) << strsignal(signo);
    signal(signo, SIG_DFL);
  }
  signal_flags = SignalFlags{};
  signal_handler(SIGUSR2);
  signal_handler(SIGCHLD);
  EXPECT_EQ(raised(), 0);
  EXPECT_TRUE(sigaction(SIGCHLD, nullptr, &current) == 0 && current.sa_handler == SIG_DFL);
}

}  // namespace
}  // namespace quillmap
