// The dump: exact file text, in-place rewriting, and a failed dump that leaves the old file alone.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "persist/data_file.h"
#include "persist/data_file_writer.h"
#include "persist/testing/persist_fixture.h"

namespace quillmap {
namespace {

using testing::LogCapture;
using testing::PersistStore;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

constexpr char kFirstLine[] = "# This file is generated automatically by quillmap\n";

// Splits off the two comment lines; checks the first and the timestamp's shape.
std::string body_after_header(const std::string& text) {
  EXPECT_EQ(text.compare(0, strlen(kFirstLine), kFirstLine), 0) << text;
  size_t stamp_end = text.find('\n', strlen(kFirstLine));
  EXPECT_NE(stamp_end, std::string::npos);
  std::string stamp = text.substr(strlen(kFirstLine), stamp_end - strlen(kFirstLine));
  const std::regex shape(R"(# \w{3}, \d{2} \w{3} \d{4} \d{2}:\d{2}:\d{2} [+-]\d{4})");
  EXPECT_TRUE(std::regex_match(stamp, shape)) << stamp;
  return text.substr(stamp_end + 1);
}

TEST(Dump, EmptyStoreText) {
  PersistStore store;
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  EXPECT_EQ(rbtree_dump(store.pool(), path.c_str()), 0);
  EXPECT_EQ(body_after_header(read_file(path)), "--- {}\n...\n");
  EXPECT_EQ(load_data(store.pool(), path.c_str()), 0);
}

TEST(Dump, EntryTexts) {
  PersistStore store;
  ASSERT_EQ(store.put("k", "v", 0, false), 0);
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  EXPECT_EQ(rbtree_dump(store.pool(), path.c_str()), 1);
  EXPECT_EQ(body_after_header(read_file(path)), "---\nk:\n  value: v\n  expires: 0\n  is_address: false\n...\n");

  // Texts that cannot stay plain are quoted with the "!" mark; an address entry says true.
  PersistStore second;
  ASSERT_EQ(second.put(" lead", "", 1800000000, false), 0);
  ASSERT_EQ(second.put("10.0.0.0/8", "a: b", 0, true), 0);
  EXPECT_EQ(rbtree_dump(second.pool(), path.c_str()), 2);
  std::string body = body_after_header(read_file(path));
  EXPECT_NE(body.find("! ' lead':\n  value:\n  expires: 1800000000\n  is_address: false\n"), std::string::npos)
      << body;
  EXPECT_NE(body.find("10.0.0.0/8:\n  value: ! 'a: b'\n  expires: 0\n  is_address: true\n"), std::string::npos)
      << body;
}

TEST(Dump, RewritesInPlace) {
  PersistStore store;
  ASSERT_EQ(store.put("k", "v", 0, false), 0);
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, std::string(10000, '#') + "\n");  // longer than the dump: the tail must go
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  struct stat before, after;
  ASSERT_EQ(stat(path.c_str(), &before), 0);

  EXPECT_EQ(rbtree_dump(store.pool(), path.c_str()), 1);
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // the inode keys the segment
  EXPECT_EQ(after.st_mode & 0777, 0640u);
  EXPECT_EQ(body_after_header(read_file(path)), "---\nk:\n  value: v\n  expires: 0\n  is_address: false\n...\n");
  EXPECT_NE(access(dump_temp_path(path.c_str()).c_str(), F_OK), 0);
}

TEST(Dump, NewFileIsPrivate) {
  PersistStore store;
  ScratchDir dir;
  std::string path = dir.file("new.yaml");
  mode_t old_mask = umask(0);
  EXPECT_EQ(rbtree_dump(store.pool(), path.c_str()), 0);
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Dump, DumpTreeDefaultsToDataPath) {
  PersistStore store;
  ASSERT_EQ(store.put("a", "1", 0, false), 0);
  ASSERT_EQ(store.put("b", "2", 0, false), 0);
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  char* saved = settings.data_path;
  settings.data_path = path.data();
  LogCapture log;
  EXPECT_EQ(dump_tree(store.pool(), nullptr), 0);
  settings.data_path = saved;
  EXPECT_TRUE(log.has("[INFO]: Dumped 2 entries to " + path + "\n")) << log.text();
  EXPECT_EQ(store.image().size(), 2u);
  PersistStore loaded;
  EXPECT_EQ(load_data(loaded.pool(), path.c_str()), 2);
  EXPECT_EQ(loaded.image(), store.image());
}

const std::string kOldText = "---\nold:\n  value: kept\n  expires: 0\n  is_address: false\n...\n";

TEST(Dump, UnopenablePathFails) {
  PersistStore store;
  ASSERT_EQ(store.put("k", "v", 0, false), 0);
  ScratchDir dir;
  LogCapture log;
  std::string missing = dir.file("no/such/dir/data.yaml");
  EXPECT_EQ(rbtree_dump(store.pool(), missing.c_str()), -1);
  EXPECT_EQ(dump_tree(store.pool(), missing.c_str()), -1);
  EXPECT_TRUE(log.has("[ERROR]: Could not dump to " + dir.file("no/such/dir/data.yaml")));
  EXPECT_FALSE(log.has("Dumped"));

  // A directory in the data file's place: the dump fails and the directory is untouched.
  std::string as_dir = dir.file("dir.yaml");
  ASSERT_EQ(mkdir(as_dir.c_str(), 0700), 0);
  EXPECT_EQ(rbtree_dump(store.pool(), as_dir.c_str()), -1);
  struct stat st;
  ASSERT_EQ(stat(as_dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_NE(access(dump_temp_path(as_dir.c_str()).c_str(), F_OK), 0);
}

TEST(Dump, HeldLockLeavesFileAlone) {
  PersistStore store;
  ASSERT_EQ(store.put("k", "v", 0, false), 0);
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, kOldText);
  LogCapture log;
  store.pool()->lock = ~uint64_t{0};  // a writer elsewhere
  EXPECT_EQ(rbtree_dump(store.pool(), path.c_str()), -3);
  EXPECT_EQ(dump_tree(store.pool(), path.c_str()), -3);
  store.pool()->lock = 0;
  EXPECT_TRUE(log.has("[ERROR]: rbtree_dump: could not get read lock"));
  EXPECT_EQ(read_file(path), kOldText);
}

// A file size limit makes every write past it fail as a full disk would (EFBIG).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = saved_;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  struct rlimit saved_;
  sighandler_t old_handler_;
};

TEST(Dump, FullDiskLeavesOldFileIntact) {
  PersistStore store;
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(store.put("key" + std::to_string(i), std::string(40, 'v'), 0, false), 0);
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, kOldText);
  LogCapture log;
  {
    FileSizeLimit limit(16384);
    EXPECT_EQ(rbtree_dump(store.pool(), path.c_str()), -1);
  }
  EXPECT_EQ(read_file(path), kOldText);
  EXPECT_NE(access(dump_temp_path(path.c_str()).c_str(), F_OK), 0);
  EXPECT_TRUE(log.has("[ERROR]: Could not dump to " + dump_temp_path(path.c_str()) + ": File too large")) << log.text();

  PersistStore loaded;
  EXPECT_EQ(load_data(loaded.pool(), path.c_str()), 1);
  EXPECT_EQ(loaded.image().at("old").value, "kept");
}

// A data file in a directory the daemon's account may not write (the start-up never creates that
// directory): no temporary file can be made there, and the dump still reaches the data file.
TEST(Dump, DirectoryRefusingTheTempFileStillDumps) {
  PersistStore store;
  ASSERT_EQ(store.put("k", "v", 0, false), 0);
  ScratchDir dir;
  std::string path = dir.file("data.yaml");
  write_file(path, kOldText);
  constexpr uid_t kNobody = 65534;
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  } else {
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(2);
    LogCapture log;
    int64_t r = rbtree_dump(store.pool(), path.c_str());
    bool warned = log.has("[WARN]: Could not create " + dump_temp_path(path.c_str()));
    _exit(r == 1 && warned ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  chmod(dir.path().c_str(), 0700);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(body_after_header(read_file(path)), "---\nk:\n  value: v\n  expires: 0\n  is_address: false\n...\n");
}

}  // namespace
}  // namespace quillmap
