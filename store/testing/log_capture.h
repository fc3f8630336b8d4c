// Test support: captures the log of the current process in a temporary file, at every level, for as
// long as the object lives.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "util/log.h"
#include "util/settings.h"

namespace quillmap::testing {

class LogCapture {
 public:
  LogCapture() : fp_(std::tmpfile()), saved_level_(settings.log_level) {
    settings.log_level = kLogDebug;
    log_setfp(fp_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() {
    log_setfp(nullptr);
    settings.log_level = saved_level_;
    if (fp_ != nullptr) std::fclose(fp_);
  }

  // Everything logged so far.
  std::string text() const {
    std::string out;
    if (fp_ == nullptr) return out;
    std::fflush(fp_);
    std::rewind(fp_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp_)) > 0) out.append(buf, n);
    std::fseek(fp_, 0, SEEK_END);
    return out;
  }
  bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
  // Forgets what was logged so far.
  void clear() {
    if (fp_ == nullptr) return;
    std::fflush(fp_);
    if (ftruncate(fileno(fp_), 0) == 0) std::rewind(fp_);
  }

 private:
  FILE* fp_;
  unsigned saved_level_;
};

}  // namespace quillmap::testing
