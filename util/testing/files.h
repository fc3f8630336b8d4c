// Test support: a private scratch directory, whole-file reads and writes, counting a text's
// occurrences, and polling with a deadline.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace quillmap::testing {

// A fresh directory /tmp/<stem>-XXXXXX, left to the caller.
inline std::string make_scratch_dir(const std::string& stem) {
  std::string path = "/tmp/" + stem + "-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) abort();
  return path;
}

// A scratch directory removed with everything in it.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& stem = "quillmap-test") : path_(make_scratch_dir(stem)) {}
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string read_file(const std::string& path) {  // empty when it cannot be read
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// Polls `done` every `every_ms` until it holds (true) or `timeout_ms` have passed (false).
inline bool wait_until(const std::function<bool()>& done, int timeout_ms, int every_ms = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(every_ms))) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
  return true;
}

}  // namespace quillmap::testing
