// The dump: exact file text, in-place rewriting, and a failed dump that leaves the old file alone.

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <regex>

#include "persist/data_file.h"
#include "persist/data_file_writer.h"
#include "persist/testing/persist_fixture.h"
#include "util/signal_flags.h"

namespace quillmap {
namespace {

using testing::PersistStore;
using testing::read_file;

const std::string kOldText = "---\nold:\n  value: kept\n  expires: 0\n  is_address: false\n...\n";

// The folder syncs seen by fsync below: what the data file and its temporary file held at each.
struct FolderSyncs {
  std::string data_path;  // empty: not watching
  bool fail = false;
  std::vector<std::pair<std::string, std::string>> seen;
} folder_syncs;

// Splits off the two comment lines, checking the first and the timestamp's shape.
std::string body_after_header(const std::string& text) {
  std::smatch m;
  EXPECT_TRUE(std::regex_search(text, m, std::regex(R"(^# This file is generated automatically by quillmap\n)"
                                                    R"(# \w{3}, \d{2} \w{3} \d{4} \d{2}:\d{2}:\d{2} [+-]\d{4}\n)")))
      << text;
  return m.suffix();
}

class Dump : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(store_.put("k", "v", 0, false), 0);
    testing::write_file(path_, kOldText);
  }
  static bool no_temp_file(const std::string& path) { return access(dump_temp_path(path).c_str(), F_OK) != 0; }
  PersistStore store_;
  testing::ScratchDir dir_;
  std::string path_ = dir_.file("data.yaml");
  testing::LogCapture log_;
};

TEST_F(Dump, EmptyStore) {
  PersistStore empty;
  EXPECT_EQ(rbtree_dump(empty.pool(), path_.c_str()), 0);
  EXPECT_EQ(body_after_header(read_file(path_)), "--- {}\n...\n");
  EXPECT_EQ(load_data(empty.pool(), path_.c_str()), 0);
}

// The file's text, where texts that cannot stay plain are quoted with the "!" mark and an address entry
// says true; the copy's folder is synced before the data file is touched.
TEST_F(Dump, TextRewrittenInPlaceAfterADurableCopyAndCreatedPrivately) {
  ASSERT_EQ(store_.put(" lead", "", 1800000000, false), 0);
  ASSERT_EQ(store_.put("10.0.0.0/8", "a: b", 0, true), 0);
  const std::string old_text = std::string(10000, '#') + "\n";  // longer than the dump: the tail must go
  testing::write_file(path_, old_text);
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  struct stat before, after;
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  folder_syncs = {path_, false, {}};
  EXPECT_EQ(rbtree_dump(store_.pool(), path_.c_str()), 3);
  const std::string text = read_file(path_);
  EXPECT_EQ(folder_syncs.seen, (decltype(folder_syncs.seen){{old_text, text + dump_trailer(text, 3)}}));
  folder_syncs = {};
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // the inode keys the segment
  EXPECT_EQ(after.st_mode & 0777, 0640u);
  EXPECT_EQ(body_after_header(text), "---\nk:\n  value: v\n  expires: 0\n  is_address: false\n"
                                     "! ' lead':\n  value:\n  expires: 1800000000\n  is_address: false\n"
                                     "10.0.0.0/8:\n  value: ! 'a: b'\n  expires: 0\n  is_address: true\n...\n");
  EXPECT_TRUE(no_temp_file(path_));

  const std::string fresh = dir_.file("new.yaml");
  const mode_t old_mask = umask(0);
  EXPECT_EQ(rbtree_dump(store_.pool(), fresh.c_str()), 3);
  umask(old_mask);
  ASSERT_EQ(stat(fresh.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 0777, 0600u);
}

TEST_F(Dump, FailedDumpLeavesTheOldFileAlone) {
  // A directory in the data file's place is left as it is.
  const std::string as_dir = dir_.file("dir.yaml");
  ASSERT_EQ(mkdir(as_dir.c_str(), 0700), 0);
  EXPECT_EQ(rbtree_dump(store_.pool(), as_dir.c_str()), -1);
  EXPECT_TRUE(std::filesystem::is_directory(as_dir));
  EXPECT_TRUE(no_temp_file(as_dir));
  // A writer elsewhere holds the lock.
  store_.pool()->lock = kLockWriter;
  EXPECT_EQ(rbtree_dump(store_.pool(), path_.c_str()), -3);
  EXPECT_EQ(dump_tree(store_.pool(), path_.c_str()), -3);
  store_.pool()->lock = 0;
  EXPECT_TRUE(log_.contains("[ERROR]: rbtree_dump: could not get read lock") && !log_.contains("Dumped"));
  EXPECT_EQ(read_file(path_), kOldText);
  // A failed sync of the copy's folder; a file size limit that makes every write past it fail as a full
  // disk would (EFBIG).
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(store_.put("key" + std::to_string(i), std::string(40, 'v'), 0, false), 0);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const struct rlimit limit = {16384, saved.rlim_max};
  ASSERT_EQ(init_signals(), 0);  // the daemon's dispositions: a limit fails the write
  for (bool sync_fails : {true, false}) {
    folder_syncs = {path_, sync_fails, {}};
    ASSERT_EQ(sync_fails ? 0 : setrlimit(RLIMIT_FSIZE, &limit), 0);
    const int64_t failed = rbtree_dump(store_.pool(), path_.c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    folder_syncs = {};
    EXPECT_EQ(failed, -1) << sync_fails;
    EXPECT_EQ(read_file(path_), kOldText) << sync_fails;
    EXPECT_TRUE(no_temp_file(path_)) << sync_fails;
  }
  EXPECT_TRUE(log_.contains("[ERROR]: Could not sync the folder of " + dump_temp_path(path_) + ": " + strerror(EIO)));
  EXPECT_TRUE(log_.contains("[ERROR]: Could not dump to " + dump_temp_path(path_.c_str()) + ": File too large"));
}

// No temporary file in a folder the daemon may not write, so no rewrite (one without the copy could
// be cut short and lose both).
TEST_F(Dump, DirectoryRefusingTheTempFileFailsTheDump) {
  constexpr uid_t kNobody = 65534;
  ASSERT_TRUE(geteuid() != 0 || chown(path_.c_str(), kNobody, kNobody) == 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), geteuid() == 0 ? 0755 : 0555), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(2);
    testing::LogCapture log;
    const int64_t r = rbtree_dump(store_.pool(), path_.c_str());
    _exit(r == -1 && log.contains("[ERROR]: Could not create " + dump_temp_path(path_.c_str())) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  chmod(dir_.path().c_str(), 0700);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(read_file(path_), kOldText);
}

// After a rewrite cut short, only a complete temporary file (its trailer checks out) is copied in.
TEST_F(Dump, InterruptedRewriteIsFinishedOnlyFromACompleteCopy) {
  const std::string text = "# head\n---\na:\n  value: 1\n...\n";
  const std::string whole = text + dump_trailer(text, 1);
  const std::string temp = dump_temp_path(path_);
  const auto put = testing::write_file;
  std::string flipped = whole;
  flipped[5] ^= 1;
  for (size_t cut = 0; cut <= whole.size(); ++cut) {  // every shorter copy, then the whole one with a bit flipped
    put(path_, "stale");
    put(temp, cut < whole.size() ? whole.substr(0, cut) : flipped);
    EXPECT_EQ(finish_interrupted_dump(path_.c_str()), 0) << cut;
    EXPECT_EQ(read_file(path_), "stale") << cut;
    EXPECT_TRUE(no_temp_file(path_)) << cut;
  }
  put(path_, "half of the new text and the rest of a longer old one, longer than the new text");
  put(temp, whole);
  EXPECT_EQ(finish_interrupted_dump(path_.c_str()), 1);
  EXPECT_EQ(read_file(path_), text);
  EXPECT_TRUE(no_temp_file(path_));
  EXPECT_TRUE(log_.contains("[WARN]: The last dump of " + path_ + " was cut short; it was completed from " + temp + " (1 entries)"));
  EXPECT_EQ(finish_interrupted_dump(path_.c_str()), 0);  // nothing left to finish
}

}  // namespace
}  // namespace quillmap

// Every fsync of the test passes through here; a folder's is noted while a test watches.
extern "C" int fsync(int fd) {
  quillmap::FolderSyncs& w = quillmap::folder_syncs;
  struct stat st;
  if (!w.data_path.empty() && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    w.seen.emplace_back(quillmap::testing::read_file(w.data_path),
                        quillmap::testing::read_file(quillmap::dump_temp_path(w.data_path)));
    if (w.fail) {
      errno = EIO;
      return -1;
    }
  }
  return static_cast<int>(syscall(SYS_fsync, fd));
}
