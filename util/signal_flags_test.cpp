#include "util/signal_flags.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace quillmap {
namespace {

class SignalFlagsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(init_signals(), 0);
    signal_flags = SignalFlags{};
  }
  void TearDown() override {
    for (int signo : {SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1}) signal(signo, SIG_DFL);
  }
};

TEST_F(SignalFlagsTest, EachSignalRaisesOnlyItsFlag) {
  struct Case {
    int signo;
    volatile sig_atomic_t SignalFlags::*flag;
  };
  const Case kCases[] = {
      {SIGHUP, &SignalFlags::got_hup},   {SIGINT, &SignalFlags::got_int},
      {SIGQUIT, &SignalFlags::got_quit}, {SIGUSR1, &SignalFlags::got_usr1},
      {SIGPIPE, &SignalFlags::got_pipe}, {SIGTERM, &SignalFlags::got_term},
  };
  for (const Case& c : kCases) {
    signal_flags = SignalFlags{};
    ASSERT_EQ(raise(c.signo), 0);  // the process survives: the signal is caught
    // A signal that arrives twice before it is consumed is seen once.
    ASSERT_EQ(raise(c.signo), 0);
    int raised = 0;
    for (const Case& other : kCases) raised += signal_flags.*(other.flag);
    EXPECT_EQ(signal_flags.*(c.flag), 1) << strsignal(c.signo);
    EXPECT_EQ(raised, 1) << strsignal(c.signo);
  }
}

TEST_F(SignalFlagsTest, HandlerIgnoresSignalsWithoutFlag) {
  signal_handler(SIGUSR2);
  signal_handler(SIGCHLD);
  EXPECT_EQ(signal_flags.got_hup + signal_flags.got_int + signal_flags.got_quit +
                signal_flags.got_usr1 + signal_flags.got_pipe + signal_flags.got_term,
            0);
}

TEST_F(SignalFlagsTest, InstalledWithRestartAndChildSignalUntouched) {
  for (int signo : {SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGPIPE, SIGUSR1}) {
    struct sigaction current;
    ASSERT_EQ(sigaction(signo, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, signal_handler) << strsignal(signo);
    EXPECT_TRUE(current.sa_flags & SA_RESTART) << strsignal(signo);
  }
  struct sigaction child;
  ASSERT_EQ(sigaction(SIGCHLD, nullptr, &child), 0);
  EXPECT_EQ(child.sa_handler, SIG_DFL);
}

}  // namespace
}  // namespace quillmap
