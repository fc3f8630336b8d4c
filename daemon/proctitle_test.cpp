#include "daemon/proctitle.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace quillmap {
namespace {

// Argument strings followed directly by environment strings, as the kernel lays them out, with
// saved_argv and environ pointing into them for the test's duration. The environment strings that
// follow the arguments in order move to the heap; "C=3" lies elsewhere and "X=" does not begin where
// the area has reached when its turn comes: both stay, and the area ends after "LANG=C.UTF-8". A title
// fills it and leaves no trace of what was there. (e2e reads both daemon titles from /proc.)
TEST(FakeArea, TitlesOverArgumentsAndTheEnvironmentThatFollows) {
  struct RestoreEnviron {
    char** const saved = environ;
    ~RestoreEnviron() { environ = saved; }
  } restore;
  std::string bytes;
  for (const char* s : {"/usr/sbin/quillmap", "-c", "/etc/q.conf", "HOME=/root", "LANG=C.UTF-8", "X="}) {
    bytes += s + std::string(1, '\0');
  }
  std::vector<char*> at;  // where each string begins
  for (char* p = bytes.data(); p < bytes.data() + bytes.size(); p += strlen(p) + 1) at.push_back(p);
  std::vector<char*> argv = {at[0], at[1], at[2], nullptr};
  static char elsewhere[] = "C=3";
  std::vector<char*> envp = {at[3], elsewhere, at[5], at[4], nullptr};
  saved_argv = argv.data();
  environ = envp.data();
  const auto outside = [&](const char* p) { return p < bytes.data() || p >= bytes.data() + bytes.size(); };
  // The area up to, not including, title_end; `title` padded with NULs to that length.
  const auto area = [&] { return std::string(bytes.data(), title_end); };
  const auto padded = [&](std::string title) {
    title.resize(static_cast<size_t>(title_end - bytes.data()), '\0');
    return title;
  };

  ASSERT_EQ(shm_init_setproctitle(), 0);
  EXPECT_EQ(title_end, at[5] - 1);
  const char* const expected_env[] = {"HOME=/root", "C=3", "X=", "LANG=C.UTF-8"};
  for (size_t i = 0; i < 4; ++i) EXPECT_STREQ(environ[i], expected_env[i]);
  EXPECT_TRUE(outside(environ[0]) && outside(environ[3])) << "moved out of the area";
  EXPECT_EQ(environ[1], elsewhere);
  EXPECT_EQ(environ[2], at[5]);

  shm_setproctitle("worker");  // shorter than the arguments it replaces
  EXPECT_EQ(area(), padded("quillmap: worker"));
  EXPECT_EQ(saved_argv[1], nullptr);  // the vector holds the title alone
  shm_setproctitle(std::string(200, 'x').c_str());  // longer than the area: cut, its NUL before title_end
  EXPECT_EQ(area(), padded("quillmap: " + std::string(static_cast<size_t>(title_end - bytes.data()) - 11, 'x')));
  EXPECT_EQ(*title_end, '\0');
  EXPECT_STREQ(at[5], "X=");  // beyond the area: untouched
  free(environ[0]);  // the heap copy, which begins with the first string moved, for the leak checker
}

}  // namespace
}  // namespace quillmap
