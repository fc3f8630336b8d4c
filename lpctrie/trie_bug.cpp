#include "lpctrie/trie_bug.h"

#include <cstdio>
#include <cstdlib>

#include "util/log.h"

namespace quillmap {

namespace {
constexpr const char* kModulePath = "./shm_lpctrie";
}

void lpctrie_bug(const char* condition, unsigned line) noexcept {
  fputc('\n', stdout);
  fflush(stdout);
  log_msg(kLogCrit, "BUG! %s (%s, line %d)", condition, kModulePath, static_cast<int>(line));
  abort();
}

}  // namespace quillmap
