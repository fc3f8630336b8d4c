#include "daemon/proctitle.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace quillmap {
namespace {

// Argument strings followed directly by environment strings, as the kernel lays them out. The title
// functions work on saved_argv and environ, which point into this fake area for the test's duration.
class FakeArea : public ::testing::Test {
 protected:
  void TearDown() override { environ = real_environ_; }
  void lay_out(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    for (const std::string& s : args) bytes_ += s + '\0';
    for (const std::string& s : env) bytes_ += s + '\0';
    char* p = bytes_.data();
    for (const std::string& s : args) argv_.push_back(p), p += s.size() + 1;
    for (const std::string& s : env) envp_.push_back(p), p += s.size() + 1;
    argv_.push_back(nullptr);
    envp_.push_back(nullptr);
    saved_argv = argv_.data();
    environ = envp_.data();
  }
  char* last() { return bytes_.data() + bytes_.size() - 1; }
  // The area up to, not including, title_end: `title` padded with NULs.
  std::string shown(const std::string& title) {
    std::string expected = title;
    expected.resize(static_cast<size_t>(title_end - bytes_.data()), '\0');
    return expected;
  }
  std::string area() { return std::string(bytes_.data(), title_end); }

  char** const real_environ_ = environ;
  std::string bytes_;
  std::vector<char*> argv_, envp_;
};

// The environment strings that follow the arguments in order move to the heap; "C=3" lies elsewhere
// and "X=" does not begin where the area has reached when its turn comes: both stay, and the area
// ends after "LANG=C.UTF-8". Master and worker titles fill it; the worker's leaves no trace of the
// master's.
TEST_F(FakeArea, TitlesOverArgumentsAndTheEnvironmentThatFollows) {
  lay_out({"/usr/sbin/quillmap", "-c", "/etc/q.conf"}, {"HOME=/root", "LANG=C.UTF-8", "X="});
  static char elsewhere[] = "C=3";
  std::vector<char*> envp = {envp_[0], elsewhere, envp_[2], envp_[1], nullptr};
  environ = envp.data();
  ASSERT_EQ(shm_init_setproctitle(), 0);
  EXPECT_EQ(title_end, envp_[2] - 1);
  const char* const expected_env[] = {"HOME=/root", "C=3", "X=", "LANG=C.UTF-8"};
  for (size_t i = 0; i < 4; ++i) EXPECT_STREQ(environ[i], expected_env[i]);
  EXPECT_TRUE(environ[0] < bytes_.data() || environ[0] > last());  // moved out of the area
  EXPECT_TRUE(environ[3] < bytes_.data() || environ[3] > last());
  EXPECT_EQ(environ[1], elsewhere);
  EXPECT_EQ(environ[2], envp_[2]);

  shm_setproctitle("master /usr/sbin/quillmap -c /etc/q.conf");
  EXPECT_EQ(area(), shown("quillmap: master /usr/sbin/quillmap -c /etc/q.conf"));
  EXPECT_EQ(saved_argv[1], nullptr);  // the vector holds the title alone
  shm_setproctitle("worker");
  EXPECT_EQ(area(), shown("quillmap: worker"));
  EXPECT_EQ(*title_end, '\0');
  shm_setproctitle(std::string(200, 'x').c_str());  // longer than the area: cut, its NUL before title_end
  EXPECT_EQ(area(), shown("quillmap: " + std::string(static_cast<size_t>(title_end - bytes_.data()) - 11, 'x')));
  EXPECT_STREQ(envp_[2], "X=");  // beyond the area: untouched
  free(environ[0]);  // the heap copy, which begins with the first string moved, for the leak checker
}

}  // namespace
}  // namespace quillmap
