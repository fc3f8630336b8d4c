// Test support: captures the log of the current process in a temporary file, at every level, for as
// long as the object lives.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "util/log.h"
#include "util/settings.h"

namespace quillmap::testing {

class LogCapture {
 public:
  LogCapture() {
    settings.log_level = kLogDebug;
    log_setfp(fp_);
  }
  LogCapture(const LogCapture&) = delete;
  ~LogCapture() {
    log_setfp(nullptr);
    settings.log_level = saved_level_;
    std::fclose(fp_);
  }

  // Every line logged so far, whole ("date time [LEVEL]: message"). Safe from another thread: the log
  // stream is unbuffered and the file is read by position.
  std::string text() const {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = pread(fileno(fp_), buf, sizeof buf, out.size())) > 0;) out.append(buf, n);
    return out;
  }
  bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }

  // "[LEVEL]: message" of each line logged since the last call.
  std::vector<std::string> take() {
    const std::string all = text();
    std::vector<std::string> lines;
    for (size_t nl; (nl = all.find('\n', seen_)) != std::string::npos; seen_ = nl + 1) {
      const std::string line = all.substr(seen_, nl - seen_);
      lines.push_back(line.substr(line.find(" [") == std::string::npos ? 0 : line.find(" [") + 1));
    }
    return lines;
  }

  // Forgets what was logged so far.
  void clear() {
    if (ftruncate(fileno(fp_), 0) == 0) std::rewind(fp_);
    seen_ = 0;
  }

 private:
  FILE* fp_ = std::tmpfile();
  unsigned saved_level_ = settings.log_level;
  size_t seen_ = 0;
};

}  // namespace quillmap::testing
