// The worker body in a forked child: load at start, serve, dump at SIGTERM; no_save_restore; a store
// that cannot be prepared is never served.
#include "daemon/worker.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "client/dict_client.h"
#include "server/connection_loop.h"
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

class WorkerBodyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_settings_ = settings;
    char dir[] = "/tmp/qm_worker_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    socket_path_ = dir_ + "/sock";
    log_path_ = dir_ + "/worker.log";
    data_path_ = dir_ + "/data.yaml";
    settings.socket_path = socket_path_.data();
    settings.log_path = log_path_.data();
    settings.data_path = data_path_.data();
    settings.log_level = kLogDebug;
    settings.data_size = 4 << 20;
    settings.no_save_restore = 0;
    settings.enable_clean = 0;
    fixture_ = std::make_unique<testing::PoolFixture>(settings.data_size, testing::PoolBacking::kSysv, false);
  }
  void TearDown() override {
    settings = saved_settings_;
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }

  pid_t start(int restarted) {
    pid_t pid = fork();
    if (pid == 0) {
      init_signals();
      log_open(log_path_.c_str());
      int64_t rc = run_workloop(nullptr, fixture_->pool(), restarted);
      _exit(rc == 0 ? 0 : static_cast<int>(-rc));
    }
    return pid;
  }

  bool serving() {
    for (int i = 0; i < 500; ++i) {
      if (send_batch(socket_path_, {}).ok()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  static int finish(pid_t pid, bool terminate) {
    if (terminate) kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool found(const std::string& key) {
    Result<Answer> a = send_batch(socket_path_, {make_get(key)});
    return a.ok() && a.value().affected() == 1u;
  }

  Settings saved_settings_;
  std::string dir_, socket_path_, log_path_, data_path_;
  std::unique_ptr<testing::PoolFixture> fixture_;
};

TEST_F(WorkerBodyTest, LoadsServesAndDumps) {
  {
    std::ofstream data(data_path_);
    data << "---\nkept:\n  value: 1\n  expires: 0\n  is_address: false\n...\n";
  }
  pid_t worker = start(0);
  ASSERT_TRUE(serving());
  EXPECT_TRUE(found("kept"));
  ASSERT_TRUE(send_batch(socket_path_, {make_add("added", "2")}).ok());
  EXPECT_EQ(finish(worker, true), 0);
  std::string log = read_file(log_path_);
  EXPECT_NE(log.find("[INFO]: Loaded 1 entries"), std::string::npos);
  EXPECT_NE(log.find("[INFO]: Dumped 2 entries"), std::string::npos);
  std::string data = read_file(data_path_);
  EXPECT_NE(data.find("added:"), std::string::npos);
  EXPECT_NE(data.find("kept:"), std::string::npos);

  // A replacement worker keeps the store and loads the file on top of it.
  worker = start(1);
  ASSERT_TRUE(serving());
  EXPECT_TRUE(found("added"));
  EXPECT_EQ(finish(worker, true), 0);
}

TEST_F(WorkerBodyTest, NoSaveRestoreNeitherLoadsNorDumps) {
  settings.no_save_restore = 1;
  {
    std::ofstream data(data_path_);
    data << "---\nkept:\n  value: 1\n  expires: 0\n  is_address: false\n...\n";
  }
  pid_t worker = start(0);
  ASSERT_TRUE(serving());
  EXPECT_FALSE(found("kept"));
  ASSERT_TRUE(send_batch(socket_path_, {make_add("added", "2")}).ok());
  EXPECT_EQ(finish(worker, true), 0);
  EXPECT_EQ(read_file(data_path_).find("added"), std::string::npos);
  std::string log = read_file(log_path_);
  EXPECT_EQ(log.find("Loaded"), std::string::npos);
  EXPECT_EQ(log.find("Dumped"), std::string::npos);
}

TEST_F(WorkerBodyTest, UnusableStoreIsNeverServed) {
  settings.data_size = 4096;  // too small to hold the store's first records
  pid_t worker = start(0);
  EXPECT_EQ(finish(worker, false), 1);
  struct stat st;
  EXPECT_NE(stat(socket_path_.c_str(), &st), 0) << "no socket was opened";
  std::string log = read_file(log_path_);
  EXPECT_NE(log.find("init_memory"), std::string::npos);
  EXPECT_EQ(log.find("Dumped"), std::string::npos);
}

}  // namespace
}  // namespace quillmap
