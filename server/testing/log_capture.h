// Test support: sends the log to a temporary file at the DEBUG level and hands back the messages
// (the text after "[LEVEL]: ") written since the last look.
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
  LogCapture() : file_(tmpfile()) {
    settings.log_level = kLogDebug;
    log_setfp(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() {
    log_setfp(nullptr);
    fclose(file_);
  }

  // Every line written so far, whole ("date time [LEVEL]: message"). Safe from another thread.
  std::string all() const {
    std::string text;
    char buf[4096];
    off_t off = 0;
    for (ssize_t n; (n = pread(fileno(file_), buf, sizeof buf, off)) > 0; off += n) text.append(buf, n);
    return text;
  }

  // "[LEVEL]: message" of each line written since the last call.
  std::vector<std::string> take() {
    std::string text = all();
    std::vector<std::string> lines;
    size_t start = seen_;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string line = text.substr(start, nl - start);
      size_t bracket = line.find(" [");
      lines.push_back(bracket == std::string::npos ? line : line.substr(bracket + 1));
    }
    seen_ = start;
    return lines;
  }

  bool contains(const std::string& needle) const { return all().find(needle) != std::string::npos; }

 private:
  FILE* file_;
  size_t seen_ = 0;
};

}  // namespace quillmap::testing
