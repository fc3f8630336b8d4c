#include "daemon/startup.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "daemon/config.h"
#include "persist/testing/persist_fixture.h"
#include "util/settings.h"

namespace quillmap {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// Directories above the last component are made (none without a directory part, nothing again when
// they exist); the data file is created private, an existing one is left untouched (the segment key
// depends on its identity); each failure says what could not be created. (Existing directories and
// data file are what every start and restart in e2e/ meets.) As root: new directories and the data
// file go to the account, existing directories keep their owner, and dropping to the account also
// sheds root's supplementary groups.
TEST(StartupTest, DirectoriesTheDataFileAndTheAccount) {
  release_settings();
  const testing::ScratchDir scratch;
  const std::string& folder = scratch.path();
  chmod(folder.c_str(), 0755);  // reachable by the unprivileged account
  EXPECT_EQ(makedirs((folder + "/a/b/file.log").c_str(), nullptr), 0);
  EXPECT_TRUE(std::filesystem::is_directory(folder + "/a/b"));
  EXPECT_EQ(makedirs("relative.log", nullptr), 0);
  testing::write_file(folder + "/plain", "x");
  CaptureStderr();
  EXPECT_EQ(makedirs((folder + "/plain/sub/x.log").c_str(), nullptr), -1);
  EXPECT_EQ(GetCapturedStderr(), "Could not create " + folder + "/plain/sub: Not a directory\n");

  settings.data_path = strdup((folder + "/missing/data.yaml").c_str());
  CaptureStderr();
  EXPECT_EQ(create_data_file(nullptr), 1);
  EXPECT_EQ(GetCapturedStderr(), "Could not create data file " + folder + "/missing/data.yaml: No such file or directory");

  struct passwd* pw = getpwnam("nobody");
  if (geteuid() != 0 || pw == nullptr) GTEST_SKIP() << "needs root and the account nobody";
  const UserAccount account{pw->pw_name, pw->pw_uid, pw->pw_gid};
  ASSERT_EQ(mkdir((folder + "/old").c_str(), 0755), 0);
  ASSERT_EQ(makedirs((folder + "/old/new/x.sock").c_str(), &account), 0);
  free(settings.data_path);
  settings.data_path = strdup((folder + "/new.yaml").c_str());
  ASSERT_EQ(create_data_file(&account), 0);
  struct stat st;
  ASSERT_EQ(stat((folder + "/old").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  for (std::string path : {folder + "/old/new", folder + "/new.yaml"}) {
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(st.st_uid == account.uid && st.st_gid == account.gid) << path;
  }
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the data file is private";
  const pid_t child = fork();
  if (child == 0) {
    gid_t groups[8];
    const bool dropped = drop_privileges(account) == 0;
    const int n = getgroups(8, groups);
    _exit(dropped && getuid() == account.uid && geteuid() == account.uid && getgid() == account.gid &&
                  (n == 0 || (n == 1 && groups[0] == account.gid))
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace quillmap
