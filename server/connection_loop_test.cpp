// The connection loop in a forked worker-like child: peer credentials of clients that switch to other
// ids, set-up of the socket (stale file, long path, failures), the signal flags and the expiry sweep.
#include "server/connection_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/dict_client.h"
#include "entry/store_init.h"
#include "store/testing/pool_fixture.h"
#include "util/log.h"
#include "util/settings.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

bool wait_until(const std::function<bool()>& done, int millis = 5000) {
  for (int waited = 0; waited < millis; waited += 10) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class ConnectionLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = settings;
    char dir[] = "/tmp/qm_loop_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    chmod(dir_.c_str(), 0755);  // clients running under other ids must reach the socket
    socket_path_ = dir_ + "/sock";
    log_path_ = dir_ + "/worker.log";
    settings.socket_path = socket_path_.data();
    settings.log_path = log_path_.data();
    settings.log_level = kLogDebug;
    settings.enable_clean = 0;
    settings.expired_check_interval = 60;
    fixture_ = std::make_unique<testing::PoolFixture>(4 << 20, testing::PoolBacking::kSysv, false);
    ASSERT_EQ(init_memory(fixture_->pool(), 0, fixture_->size()), 0);
  }

  void TearDown() override {
    stop_worker();
    settings = saved_settings_;
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  // Forks the serving child; returns once the socket answers.
  void start_worker(const UserAccount* account) {
    worker_ = fork();
    ASSERT_GE(worker_, 0);
    if (worker_ == 0) {
      umask(0);
      init_signals();
      log_open(log_path_.c_str());
      int64_t rc = process_cycle(fixture_->pool(), account);
      _exit(rc == 0 ? 0 : static_cast<int>(-rc));
    }
    ASSERT_TRUE(wait_until([&] { return send_batch(socket_path_, {}).ok(); })) << "worker did not come up";
  }

  // SIGTERM and the child's exit status (-1 when it did not end).
  int stop_worker() {
    if (worker_ <= 0) return -1;
    kill(worker_, SIGTERM);
    int status = 0;
    waitpid(worker_, &status, 0);
    worker_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string log_text() const { return read_file(log_path_); }

  // In a child switched to (uid, gid): 0 when the batch was answered, 1 when the connection closed
  // without an answer.
  int client_as(uid_t uid, gid_t gid) {
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGPIPE, SIG_IGN);
      if (setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) _exit(3);
      Result<Answer> a = send_batch(socket_path_, {make_get("k")});
      _exit(a.ok() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  Settings saved_settings_;
  std::string dir_, socket_path_, log_path_;
  std::unique_ptr<testing::PoolFixture> fixture_;
  pid_t worker_ = 0;
};

TEST_F(ConnectionLoopTest, PeerCredentialRule) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to other ids needs root";
  UserAccount account{"someone", 1000, 1000};
  start_worker(&account);
  struct Case {
    uid_t uid;
    gid_t gid;
    bool admitted;
  };
  const Case cases[] = {{1000, 1000, true}, {0, 0, true}, {1000, 0, true}, {0, 1001, false}, {1001, 1000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("uid " + std::to_string(c.uid) + " gid " + std::to_string(c.gid));
    EXPECT_EQ(client_as(c.uid, c.gid), c.admitted ? 0 : 1);
  }
  EXPECT_EQ(stop_worker(), 0);
  std::string log = log_text();
  EXPECT_EQ(count_of(log, "[WARN]: Unauthorized connection attempt. Connection refused"), 2u);
  EXPECT_EQ(count_of(log, ", EUID=1001, EGID=1000"), 1u);
  EXPECT_NE(log.find("[WARN]: Connected peer creds: PID="), std::string::npos);
  EXPECT_NE(log.find("[INFO]: Connected peer creds: PID="), std::string::npos);
  // Only the three admitted peers reached the dispatcher.
  EXPECT_EQ(count_of(log, "Key k is missing"), 3u);
}

TEST_F(ConnectionLoopTest, WithoutAccountEveryPeerIsAdmitted) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to other ids needs root";
  start_worker(nullptr);
  EXPECT_EQ(client_as(1001, 1001), 0);
  EXPECT_EQ(client_as(0, 1001), 0);
  EXPECT_EQ(stop_worker(), 0);
  EXPECT_EQ(count_of(log_text(), "Unauthorized"), 0u);
}

TEST_F(ConnectionLoopTest, StaleSocketFileIsReplaced) {
  FILE* f = fopen(socket_path_.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  start_worker(nullptr);
  struct stat st;
  ASSERT_EQ(stat(socket_path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0777u);  // the creation mask decides (0 in daemon mode)
  EXPECT_EQ(stop_worker(), 0);
  EXPECT_EQ(stat(socket_path_.c_str(), &st), 0) << "the socket file stays";
}

TEST_F(ConnectionLoopTest, LongSocketPathIsCutTo107Bytes) {
  std::string long_path = dir_ + "/" + std::string(150, 's');
  std::string cut = long_path.substr(0, 107);
  settings.socket_path = long_path.data();
  worker_ = fork();
  ASSERT_GE(worker_, 0);
  if (worker_ == 0) {
    init_signals();
    log_open(log_path_.c_str());
    _exit(static_cast<int>(-process_cycle(fixture_->pool(), nullptr)));
  }
  ASSERT_TRUE(wait_until([&] { return send_batch(cut, {make_get("k")}).ok(); }));
  EXPECT_EQ(stop_worker(), 0);
}

TEST_F(ConnectionLoopTest, SetUpFailuresReturnMinusOne) {
  log_setfp(nullptr);
  std::string missing_dir = dir_ + "/no/such/dir/sock";
  settings.socket_path = missing_dir.data();
  EXPECT_EQ(process_cycle(fixture_->pool(), nullptr), -1);
  std::string busy_dir = dir_ + "/busy";
  ASSERT_EQ(mkdir(busy_dir.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((busy_dir + "/x").c_str(), 0700), 0);
  settings.socket_path = busy_dir.data();  // a non-empty directory cannot be removed
  EXPECT_EQ(process_cycle(fixture_->pool(), nullptr), -1);
  close_listening_socket();
}

TEST_F(ConnectionLoopTest, SignalFlags) {
  start_worker(nullptr);
  kill(worker_, SIGHUP);
  ASSERT_TRUE(wait_until([&] { return log_text().find("Currenty no action.") != std::string::npos; }));
  EXPECT_NE(log_text().find("[WARN]: Worker: got SIGHUP signal. Currenty no action."), std::string::npos);

  // SIGUSR1: the log is reopened at log_path, so a moved-away log is replaced by a new file.
  std::string moved = dir_ + "/worker.log.1";
  ASSERT_EQ(rename(log_path_.c_str(), moved.c_str()), 0);
  kill(worker_, SIGUSR1);
  ASSERT_TRUE(wait_until([&] { return access(log_path_.c_str(), F_OK) == 0; }));
  ASSERT_TRUE(send_batch(socket_path_, {make_get("after-usr1")}).ok());
  EXPECT_NE(log_text().find("Key after-usr1 is missing"), std::string::npos);
  EXPECT_EQ(read_file(moved).find("after-usr1"), std::string::npos);

  EXPECT_EQ(stop_worker(), 0);
  EXPECT_NE(log_text().find("[WARN]: Worker: got terminating signal. Exiting..."), std::string::npos);
}

TEST_F(ConnectionLoopTest, SweepRemovesExpiredStringAndAddressEntries) {
  settings.enable_clean = 1;
  settings.expired_check_interval = 0;  // a sweep after every completed wait
  start_worker(nullptr);
  uint32_t past = static_cast<uint32_t>(time(nullptr) - 100);
  uint32_t future = static_cast<uint32_t>(time(nullptr) + 3600);
  Result<Answer> added = send_batch(
      socket_path_, {make_add("old", "v", past), make_add("10.9.0.0/16", "v", past, KeyType::kAddress),
                     make_add("fresh", "v", future), make_add("forever", "v", 0),
                     make_add("10.8.0.0/16", "v", 0, KeyType::kAddress)});
  ASSERT_TRUE(added.ok());
  auto found = [&](const std::string& key, KeyType kind) {
    Result<Answer> a = send_batch(socket_path_, {make_get(key, kind)});
    return a.ok() && a.value().affected() == 1u;
  };
  EXPECT_TRUE(wait_until([&] { return !found("old", KeyType::kString); }));
  EXPECT_TRUE(wait_until([&] { return !found("10.9.1.1", KeyType::kAddress); }));
  EXPECT_TRUE(found("fresh", KeyType::kString));
  EXPECT_TRUE(found("forever", KeyType::kString));
  EXPECT_TRUE(found("10.8.1.1", KeyType::kAddress));
  EXPECT_EQ(stop_worker(), 0);
  std::string log = log_text();
  EXPECT_NE(log.find("Purging node 'old'"), std::string::npos);
  EXPECT_NE(log.find("Purging node '10.9.0.0/16'"), std::string::npos);
}

TEST_F(ConnectionLoopTest, SweepBreaksAStuckLock) {
  settings.enable_clean = 1;
  settings.expired_check_interval = 0;
  start_worker(nullptr);
  uint32_t soon = static_cast<uint32_t>(time(nullptr) + 1);
  ASSERT_TRUE(send_batch(socket_path_, {make_add("old", "v", soon)}).ok());
  // A dead holder of the write lock. A sweep that is reading at that very moment would release the
  // word itself, so hold it again until the loop has broken it.
  auto broken = [&] { return log_text().find("[WARN]: Forcibly removing all locks and repeating") != std::string::npos; };
  for (int attempt = 0; attempt < 3 && !broken(); ++attempt) {
    __atomic_store_n(&fixture_->pool()->lock, ~uint64_t{0}, __ATOMIC_SEQ_CST);
    wait_until(broken, 1000);
  }
  EXPECT_TRUE(broken());
  EXPECT_TRUE(wait_until([&] { return log_text().find("Purging node 'old'") != std::string::npos; }));
  EXPECT_EQ(stop_worker(), 0);
}

TEST_F(ConnectionLoopTest, NoSweepWithoutEnableClean) {
  settings.enable_clean = 0;
  settings.expired_check_interval = 0;
  start_worker(nullptr);
  uint32_t past = static_cast<uint32_t>(time(nullptr) - 100);
  ASSERT_TRUE(send_batch(socket_path_, {make_add("old", "v", past)}).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // several idle waits
  Result<Answer> a = send_batch(socket_path_, {make_get("old")});
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a.value().affected(), 1u);
  EXPECT_EQ(stop_worker(), 0);
  EXPECT_EQ(log_text().find("Purging node"), std::string::npos);
}

}  // namespace
}  // namespace quillmap
