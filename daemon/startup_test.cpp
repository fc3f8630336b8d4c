#include "daemon/startup.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "daemon/config.h"
#include "util/settings.h"

namespace quillmap {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    release_settings();
    char tmpl[] = "/tmp/quillmap-startup-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);  // reachable by the unprivileged account of the ownership tests
  }
  void TearDown() override {
    release_settings();
    std::filesystem::remove_all(dir_);
  }
  bool is_dir(const std::string& path) { return std::filesystem::is_directory(path); }

  std::string dir_;
};

// An unprivileged account to hand files to; empty when the test does not run as root.
std::optional<UserAccount> other_account() {
  if (geteuid() != 0) return std::nullopt;
  struct passwd* pw = getpwnam("nobody");
  if (pw == nullptr) return std::nullopt;
  return UserAccount{pw->pw_name, pw->pw_uid, pw->pw_gid};
}

TEST_F(StartupTest, MakedirsCreatesParentsButNotLastComponent) {
  EXPECT_EQ(makedirs((dir_ + "/a/b/c/file.log").c_str(), nullptr), 0);
  EXPECT_TRUE(is_dir(dir_ + "/a/b/c"));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/a/b/c/file.log"));
  EXPECT_EQ(makedirs((dir_ + "/a/b/c/file.log").c_str(), nullptr), 0);  // all exist already
  EXPECT_EQ(makedirs("relative.log", nullptr), 0);  // no directory part: nothing made
  EXPECT_EQ(makedirs("/top.log", nullptr), 0);
}

TEST_F(StartupTest, MakedirsReportsFileInTheWay) {
  std::ofstream(dir_ + "/plain") << "x";
  CaptureStderr();
  EXPECT_EQ(makedirs((dir_ + "/plain/sub/x.log").c_str(), nullptr), -1);
  EXPECT_EQ(GetCapturedStderr(), "Could not create " + dir_ + "/plain/sub: Not a directory\n");
}

TEST_F(StartupTest, NewDirectoriesAndDataFileGoToTheAccountExistingOnesKeepTheirOwner) {
  std::optional<UserAccount> account = other_account();
  if (!account) GTEST_SKIP() << "needs root and the account nobody";
  ASSERT_EQ(mkdir((dir_ + "/old").c_str(), 0755), 0);
  ASSERT_EQ(makedirs((dir_ + "/old/new/x.sock").c_str(), &*account), 0);
  struct stat st;
  ASSERT_EQ(stat((dir_ + "/old/new").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, account->uid);
  ASSERT_EQ(stat((dir_ + "/old").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);

  settings.data_path = strdup((dir_ + "/new.yaml").c_str());
  ASSERT_EQ(create_data_file(&*account), 0);
  ASSERT_EQ(stat(settings.data_path, &st), 0);
  EXPECT_EQ(st.st_uid, account->uid);
  EXPECT_EQ(st.st_gid, account->gid);
}

TEST_F(StartupTest, DataFileCreatedPrivateAndExistingOneUntouched) {
  std::string path = dir_ + "/data.yaml";
  settings.data_path = strdup(path.c_str());
  mode_t old_mask = umask(0);
  ASSERT_EQ(create_data_file(nullptr), 0);
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);

  std::ofstream(path) << "kept";
  const ino_t inode = st.st_ino;
  ASSERT_EQ(create_data_file(nullptr), 0);
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, inode);  // the segment key depends on this identity
  EXPECT_EQ(st.st_size, 4);

  free(settings.data_path);
  settings.data_path = strdup((dir_ + "/missing/data.yaml").c_str());
  CaptureStderr();
  EXPECT_EQ(create_data_file(nullptr), 1);
  EXPECT_EQ(GetCapturedStderr(),
            "Could not create data file " + dir_ + "/missing/data.yaml: No such file or directory");
}

TEST_F(StartupTest, ResolveUser) {
  std::optional<UserAccount> account;
  ASSERT_EQ(resolve_user(&account), 0);
  EXPECT_FALSE(account.has_value());

  settings.user = strdup("root");
  ASSERT_EQ(resolve_user(&account), 0);
  ASSERT_TRUE(account.has_value());
  EXPECT_EQ(account->name, "root");
  EXPECT_EQ(account->uid, 0u);
  free(settings.user);

  settings.user = strdup("no-such-quillmap-account");
  CaptureStderr();
  EXPECT_EQ(resolve_user(&account), 1);
  EXPECT_EQ(GetCapturedStderr(), "No such user: no-such-quillmap-account");
}

TEST_F(StartupTest, PrepareDirectoriesCompletesOnlyUnsetPaths) {
  settings.log_path = strdup((dir_ + "/log/q.log").c_str());
  settings.socket_path = strdup((dir_ + "/sock/q.sock").c_str());
  settings.pid_path = strdup((dir_ + "/pid/q.pid").c_str());
  ASSERT_EQ(prepare_directories(nullptr), 0);
  EXPECT_TRUE(is_dir(dir_ + "/log"));
  EXPECT_TRUE(is_dir(dir_ + "/sock"));
  EXPECT_TRUE(is_dir(dir_ + "/pid"));
  EXPECT_EQ(std::string(settings.log_path), dir_ + "/log/q.log");
}

TEST_F(StartupTest, PidFileHoldsThePidWithoutNewline) {
  std::string path = dir_ + "/q.pid";
  settings.pid_path = strdup(path.c_str());
  mode_t old_mask = umask(0);
  ASSERT_EQ(write_pid_file(), 0);
  umask(old_mask);
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_EQ(text.str(), std::to_string(getpid()));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  remove_pid_file();
  EXPECT_FALSE(std::filesystem::exists(path));
  remove_pid_file();  // already gone: no complaint
}

// Dropping to another account also sheds root's supplementary groups.
TEST_F(StartupTest, PrivilegeDropSetsIdsAndGroups) {
  std::optional<UserAccount> account = other_account();
  if (!account) GTEST_SKIP() << "needs root and the account nobody";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (drop_privileges(*account) != 0) _exit(2);
    gid_t groups[8];
    int n = getgroups(8, groups);
    bool ok = getuid() == account->uid && geteuid() == account->uid && getgid() == account->gid &&
              n <= 1 && (n == 0 || groups[0] == account->gid);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quillmap
