#include "daemon/proctitle.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace quillmap {
namespace {

// The title functions rewrite process-wide state (environ, the argument area), so every scenario runs
// in a forked child on a fake argument area; the child reports the first mismatch through a pipe.
std::string run_in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string error = body();
    (void)!write(fds[1], error.data(), error.size());
    _exit(0);
  }
  close(fds[1]);
  std::string error;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) error.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) error += " (child did not exit cleanly)";
  return error;
}

// Argument strings followed directly by environment strings, as the kernel lays them out.
struct FakeArea {
  std::vector<char> bytes;
  std::vector<char*> argv, envp;

  FakeArea(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    size_t size = 0;
    for (const auto& s : args) size += s.size() + 1;
    for (const auto& s : env) size += s.size() + 1;
    bytes.assign(size, '\0');
    char* p = bytes.data();
    for (const auto& s : args) {
      argv.push_back(p);
      memcpy(p, s.c_str(), s.size() + 1);
      p += s.size() + 1;
    }
    for (const auto& s : env) {
      envp.push_back(p);
      memcpy(p, s.c_str(), s.size() + 1);
      p += s.size() + 1;
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
  char* begin() { return bytes.data(); }
  char* last() { return bytes.data() + bytes.size() - 1; }
  // The area's text from the start up to, not including, title_end.
  std::string title_bytes() { return std::string(begin(), title_end); }
};

std::string padded(const std::string& text, size_t size) {
  std::string out = text;
  out.resize(size, '\0');
  return out;
}

TEST(ProcTitle, MasterThenWorkerOverArgumentsAndEnvironment) {
  std::string error = run_in_child([]() -> std::string {
    const std::vector<std::string> env = {"HOME=/root", "LANG=C.UTF-8", "X="};
    FakeArea area({"/usr/sbin/quillmap", "-c", "/etc/q.conf"}, env);
    saved_argv = area.argv.data();
    environ = area.envp.data();
    if (shm_init_setproctitle() != 0) return "init failed";
    if (title_end != area.last()) return "title_end is not the last byte of the area";
    for (size_t i = 0; i < env.size(); ++i) {
      if (environ[i] == nullptr || env[i] != environ[i]) return "environment changed: " + env[i];
      if (environ[i] >= area.begin() && environ[i] <= area.last()) return "not moved: " + env[i];
    }
    const size_t room = static_cast<size_t>(title_end - area.begin());
    shm_setproctitle("master /usr/sbin/quillmap -c /etc/q.conf");
    if (area.title_bytes() != padded("quillmap: master /usr/sbin/quillmap -c /etc/q.conf", room)) {
      return "master title: " + area.title_bytes();
    }
    if (saved_argv[1] != nullptr) return "argument vector not cut to the title";
    shm_setproctitle("worker");
    if (area.title_bytes() != padded("quillmap: worker", room)) return "worker title not cleared";
    if (*title_end != '\0') return "the area's last byte was changed";
    return "";
  });
  EXPECT_EQ(error, "");
}

TEST(ProcTitle, EmptyEnvironmentCutsLongTitleAtArgumentsEnd) {
  std::string error = run_in_child([]() -> std::string {
    FakeArea area({"/q", "-D"}, {});
    saved_argv = area.argv.data();
    environ = area.envp.data();
    if (shm_init_setproctitle() != 0) return "init failed";
    if (title_end != area.last()) return "title_end is not the end of the arguments";
    shm_setproctitle("master /q -D");
    // 6 bytes of area: 4 characters, the NUL on the byte before title_end, title_end untouched.
    if (std::string(area.begin(), 6) != std::string("quil\0\0", 6)) return "not cut: " + area.title_bytes();
    return "";
  });
  EXPECT_EQ(error, "");
}

TEST(ProcTitle, EnvironmentStringsElsewhereStayInPlace) {
  std::string error = run_in_child([]() -> std::string {
    FakeArea area({"/q"}, {"A=1", "B=2"});
    static char elsewhere[] = "C=3";
    // "C=3" lies elsewhere and "B=2" does not begin where the area has reached when its turn comes:
    // both stay; "A=1" follows the arguments and moves, so the area ends after it.
    std::vector<char*> envp = {elsewhere, area.envp[1], area.envp[0], nullptr};
    saved_argv = area.argv.data();
    environ = envp.data();
    if (shm_init_setproctitle() != 0) return "init failed";
    if (title_end != area.begin() + strlen("/q") + strlen("A=1") + 1) return "wrong title_end";
    if (environ[0] != elsewhere || environ[1] != area.envp[1]) return "unrelated strings moved";
    if (strcmp(environ[2], "A=1") != 0 || environ[2] == area.envp[0]) return "A=1 not moved";
    return "";
  });
  EXPECT_EQ(error, "");
}

}  // namespace
}  // namespace quillmap
