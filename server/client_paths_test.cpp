// Which paths a client may have the daemon load or dump, over a real directory tree holding the data
// file, the daemon's own files, a dump_dir, symbolic links and a hard link. (The dispatcher's model
// test loads and dumps, without a dump_dir, the data file and another file beside it.)
#include "server/client_paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "persist/testing/persist_fixture.h"
#include "store/testing/log_capture.h"
#include "util/settings.h"

namespace quillmap {
namespace {

namespace fs = std::filesystem;

class ClientPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"/data/sub", "/dumps/sub", "/outside"}) fs::create_directories(dir_ + d);
    for (const char* f : {"/data/data.yaml", "/data/q.log", "/outside/secret"}) testing::write_file(dir_ + f, "x");
    fs::create_symlink(dir_ + "/outside/secret", dir_ + "/data/link");
    fs::create_directory_symlink(dir_ + "/outside", dir_ + "/dumps/linkdir");
    fs::create_hard_link(dir_ + "/data/q.log", dir_ + "/dumps/hard");
    const char* own[] = {"/data/data.yaml", "/data/q.log", "/data/run.tmp", "/data/q.sock", "/dumps"};
    char** fields[] = {&settings.data_path, &settings.log_path, &settings.pid_path, &settings.socket_path, &settings.dump_dir};
    for (int i = 0; i < 5; ++i) *fields[i] = (paths_[i] = dir_ + own[i]).data();
  }
  void TearDown() override { settings = saved_; }

  Settings saved_ = settings;
  testing::ScratchDir scratch_;
  std::string dir_ = scratch_.path(), paths_[5];
  testing::LogCapture log_;
};

TEST_F(ClientPathsTest, OnlyTheDataFolderAndDumpDirWithoutLinksOrOwnFiles) {
  const PeerIdentity owner{1234, geteuid(), getegid()};
  const PeerIdentity stranger{1234, geteuid() == 4242 ? 4243u : 4242u, 4242};
  struct Row { PeerIdentity peer; PathUse use; std::string path, refusal; };  // refusal empty: accepted
  const std::string own = "it is one of the daemon's own files", neither = "it is neither directly in the data file's folder nor under dump_dir",
                    dots = "it must be an absolute path without . or ..";
  const Row rows[] = {
      {owner, PathUse::kDump, dir_ + "/data//other.yaml", ""},
      {owner, PathUse::kDump, dir_ + "/dumps/sub/x.yaml", ""},
      {owner, PathUse::kLoad, dir_ + "/data/run", ""},  // a dump there would write the pid file's name
      {owner, PathUse::kDump, dir_ + "/data/run", "its temporary file would be one of the daemon's own files"},
      {owner, PathUse::kDump, dir_ + "/data/q.log", own},
      {owner, PathUse::kLoad, dir_ + "/data/run.tmp", own},
      {owner, PathUse::kDump, dir_ + "/data/q.sock", own},
      {owner, PathUse::kDump, dir_ + "/data/data.yaml.tmp", own},
      {owner, PathUse::kDump, dir_ + "/dumps/hard", own},
      {owner, PathUse::kDump, dir_ + "/data/link", "it is a symbolic link"},
      {owner, PathUse::kDump, dir_ + "/dumps/linkdir/x.yaml", "a symbolic link or a file is on its way"},
      {owner, PathUse::kDump, dir_ + "/data/sub/x.yaml", neither},
      {owner, PathUse::kDump, dir_ + "/outside/secret", neither},
      {owner, PathUse::kDump, dir_ + "/dumps/../data/q.log", dots},
      {owner, PathUse::kDump, "x.yaml", dots},
      {stranger, PathUse::kDump, dir_ + "/data/other.yaml", "only root or the daemon's own account may name a path"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    log_.take();
    ClientPath out;
    int64_t rc = resolve_client_path(row.peer, row.path.c_str(), row.use, &out);
    if (row.refusal.empty()) {
      ASSERT_EQ(rc, kDone) << log_.text();
      EXPECT_TRUE(out.file.no_follow && out.file.dir_fd == out.folder.get() && out.file.shown == row.path);
    } else {
      EXPECT_EQ(rc, kFailed);
      EXPECT_EQ(log_.take(), std::vector<std::string>{"[WARN]: Refused the path " + row.path +
                                                      " of client PID=1234: " + row.refusal});
    }
  }
}

}  // namespace
}  // namespace quillmap
