// The worker body in a forked child on a store that cannot be prepared: it must never be served.
// (Loading, serving, dumping and replacement are exercised through the real daemon in e2e/.)
#include "daemon/worker.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "store/testing/pool_fixture.h"
#include "util/log.h"
#include "util/settings.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

TEST(WorkerBody, UnusableStoreIsNeverServed) {
  char tmpl[] = "/tmp/qm_worker_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, socket_path = dir + "/sock", log_path = dir + "/worker.log";
  const std::string data_path = dir + "/data.yaml";
  std::ofstream(data_path) << "---\nkept:\n  value: 1\n  expires: 0\n  is_address: false\n...\n";
  const Settings saved = settings;
  settings.socket_path = const_cast<char*>(socket_path.c_str());
  settings.data_path = const_cast<char*>(data_path.c_str());
  settings.log_level = kLogDebug;
  settings.no_save_restore = 0;
  testing::PoolFixture fixture(4 << 20, testing::PoolBacking::kSysv, false);
  settings.data_size = 4096;  // too small to hold the store's first records
  pid_t pid = fork();
  if (pid == 0) {
    init_signals();
    log_open(log_path.c_str());
    _exit(run_workloop(nullptr, fixture.pool(), nullptr, nullptr, 0));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  settings = saved;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_FALSE(std::filesystem::exists(socket_path)) << "no socket was opened";
  std::stringstream log;
  log << std::ifstream(log_path).rdbuf();
  EXPECT_NE(log.str().find("init_memory"), std::string::npos) << log.str();
  EXPECT_NE(log.str().find("[ERROR]: Store could not be prepared; this worker does not serve\n"),
            std::string::npos);
  EXPECT_EQ(log.str().find("Loaded"), std::string::npos) << "nothing loaded into an unusable store";
  EXPECT_EQ(log.str().find("Dumped"), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillmap
