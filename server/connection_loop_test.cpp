// The connection loop in a forked child: peer credentials of clients under other ids, set-up of the
// socket, the signal flags, failed accepts and the expiry sweep.
#include "server/connection_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "client/dict_client.h"
#include "persist/testing/persist_fixture.h"
#include "util/io.h"
#include "util/log.h"
#include "util/settings.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

using testing::count_of;
using testing::read_file;

// Polls `done` for up to `millis` (a bound on waiting, not a timed assertion).
bool soon(const std::function<bool()>& done, int millis = 5000) { return testing::wait_until(done, millis); }

class ConnectionLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(dir_.c_str(), 0755);  // clients running under other ids must reach the socket
    settings.socket_path = socket_path_.data();
    settings.log_path = log_path_.data();
    settings.log_level = kLogDebug;
  }
  void TearDown() override {
    stop_worker();
    settings = saved_settings_;
  }

  // Forks the serving child (creation mask 0, as in daemon mode); returns once the socket answers.
  // `in_child` runs in the child just before it serves.
  void start_worker(const UserAccount* account, const std::function<void()>& in_child = {}) {
    worker_ = fork();
    if (worker_ == 0) {
      umask(0);
      init_signals();
      log_open(log_path_.c_str());
      if (in_child) in_child();
      _exit(static_cast<int>(-process_cycle(store_.pool(), account)));
    }
    ASSERT_TRUE(soon([&] { return send_batch(settings.socket_path, {}).ok(); })) << "worker did not come up";
  }

  // SIGTERM and the child's exit status (-1 when it did not end normally).
  int stop_worker() {
    if (worker_ <= 0) return -1;
    kill(worker_, SIGTERM);
    int status = 0;
    waitpid(worker_, &status, 0);
    worker_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool logged(const std::string& text) const { return read_file(log_path_).find(text) != std::string::npos; }
  bool logged_soon(const std::string& text, int millis = 5000) { return soon([&] { return logged(text); }, millis); }
  uint64_t affected_by(const Request& r) { return send_batch(socket_path_, {r}).value().affected().value_or(0); }

  Settings saved_settings_ = settings;
  testing::ScratchDir scratch_;
  std::string dir_ = scratch_.path(), socket_path_ = dir_ + "/sock", log_path_ = dir_ + "/worker.log";
  testing::EntryStore store_{4 << 20, testing::PoolBacking::kSysv};
  pid_t worker_ = 0;
};

TEST_F(ConnectionLoopTest, PeerCredentialRule) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to other ids needs root";
  // In a child switched to (uid, gid): 0 when a GET was answered, 1 when the connection closed without one.
  const auto client_as = [&](uid_t uid, gid_t gid) {
    const pid_t pid = fork();
    if (pid == 0) {
      signal(SIGPIPE, SIG_IGN);
      if (setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) _exit(3);
      _exit(send_batch(socket_path_, {make_get("k")}).ok() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  UserAccount account{"someone", 1000, 1000};
  start_worker(&account);
  for (auto [uid, gid, admitted] : {std::tuple{1000, 1000, true}, {0, 0, true}, {1000, 0, true}, {0, 1001, false},
                                    {1001, 1000, false}}) {
    EXPECT_EQ(client_as(uid, gid), admitted ? 0 : 1) << "uid " << uid << " gid " << gid;
  }
  EXPECT_EQ(stop_worker(), 0);
  start_worker(nullptr);  // without an account every peer is admitted
  EXPECT_EQ(client_as(1001, 1001) + client_as(0, 1001), 0);
  const std::string log = read_file(log_path_);
  EXPECT_EQ(count_of(log, "[WARN]: Unauthorized connection attempt. Connection refused"), 2u);
  EXPECT_EQ(count_of(log, "[WARN]: Connected peer creds: PID="), 2u);
  EXPECT_EQ(count_of(log, ", EUID=1001, EGID=1000"), 1u);
  EXPECT_NE(log.find("[INFO]: Connected peer creds: PID="), std::string::npos);
}

// A stale file at the socket's path is replaced by a socket (its mode from the creation mask) that stays;
// a longer path is bound cut at 107 bytes, again over a stale socket; a failed set-up ends the cycle.
TEST_F(ConnectionLoopTest, SocketSetUp) {
  testing::write_file(socket_path_, "x");
  std::string long_path = dir_ + "/" + std::string(150, 's');
  for (const std::string& path : {socket_path_, long_path, long_path}) {
    settings.socket_path = const_cast<char*>(path.c_str());
    start_worker(nullptr);
    EXPECT_EQ(stop_worker(), 0);
    struct stat st;
    ASSERT_EQ(stat(path.substr(0, 107).c_str(), &st), 0) << "the socket file stays";
    EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFSOCK | 0777u);
  }
  log_setfp(nullptr);
  // (A directory in the way of the socket: e2e/daemon_lifecycle_test, through the master's restarts.)
  std::string unbindable = dir_ + "/no/such/dir/sock";
  settings.socket_path = unbindable.data();
  EXPECT_EQ(process_cycle(store_.pool(), nullptr), -1);
  close_listening_socket();
}

// SIGHUP is logged, and without enable_clean no sweep runs; with it, expired entries of both kinds go
// and a dead holder of the write lock is broken. (The worker's reopening of log_path on SIGUSR1 is
// checked by packaging/logrotate_test.)
TEST_F(ConnectionLoopTest, SignalFlagsAndTheSweep) {
  start_worker(nullptr);
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  ASSERT_EQ(affected_by(make_add("old", "v", now - 100)), 1u);
  kill(worker_, SIGHUP);
  EXPECT_TRUE(logged_soon("[WARN]: Worker: got SIGHUP signal. Currenty no action."));
  usleep(300000);  // three sweep periods of the loop go by
  EXPECT_EQ(affected_by(make_get("old")), 1u) << "expired, but no sweep runs";
  EXPECT_EQ(stop_worker(), 0);
  EXPECT_TRUE(logged("[WARN]: Worker: got terminating signal. Exiting..."));
  EXPECT_FALSE(logged("Purging node"));

  settings.enable_clean = 1;  // with expired_check_interval 0: a sweep after every completed wait
  start_worker(nullptr);
  // (Which entries a sweep keeps, expiring never or later, is the store's: the Sweeps test in store/.)
  ASSERT_EQ(affected_by(make_add("10.9.0.0/16", "v", now - 100, KeyType::kAddress)), 1u);
  EXPECT_TRUE(soon([&] { return affected_by(make_get("old")) == 0; }));
  EXPECT_TRUE(soon([&] { return affected_by(make_get("10.9.1.1", KeyType::kAddress)) == 0; }));
  EXPECT_TRUE(logged("Purging node 'old'") && logged("Purging node '10.9.0.0/16'"));
  // A sweep that is reading at the very moment the word is set would release it itself, so it is
  // set again until the loop has broken it.
  ASSERT_EQ(affected_by(make_add("soon", "v", now + 1)), 1u);
  auto broken = [&] { return logged("[WARN]: Forcibly removing all locks and repeating"); };
  for (int attempt = 0; attempt < 3 && !broken(); ++attempt) {
    __atomic_store_n(&store_.pool()->lock, ~uint64_t{0}, __ATOMIC_SEQ_CST);
    soon(broken, 1000);
  }
  EXPECT_TRUE(broken());
  EXPECT_TRUE(logged_soon("Purging node 'soon'"));
  EXPECT_EQ(stop_worker(), 0);
}

// Out of descriptors: the failed accept is reported and the loop serves on; once stalled clients are
// dropped, new ones are served again.
TEST_F(ConnectionLoopTest, FailedAcceptsPauseInsteadOfEndingTheLoop) {
  settings.client_timeout = 1;
  start_worker(nullptr, [] {
    const auto open_now = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    // Room for the listening socket and two clients (the directory listing held one descriptor).
    rlimit limit{static_cast<rlim_t>(open_now + 2), static_cast<rlim_t>(open_now + 2)};
    setrlimit(RLIMIT_NOFILE, &limit);
  });
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 4; ++i) {
    idle.emplace_back(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{AF_UNIX, {}};
    socket_path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(idle.back().get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  EXPECT_TRUE(logged_soon("[ERROR]: Failed to accept incoming request: Too many open files"));
  EXPECT_TRUE(logged_soon("made no progress for 1 s", 3000));
  idle.clear();
  EXPECT_TRUE(soon([&] { return send_batch(socket_path_, {make_add("k", "v")}, ClientOptions{500}).ok(); }, 4000));
  EXPECT_EQ(affected_by(make_get("k")), 1u);
  EXPECT_EQ(stop_worker(), 0);
}

}  // namespace
}  // namespace quillmap
