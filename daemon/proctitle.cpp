#include "daemon/proctitle.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "util/strings.h"

namespace quillmap {

char** saved_argv = nullptr;
char* title_end = nullptr;

int shm_init_setproctitle() {
  // Without an argument string there is no area to write a title into.
  if (saved_argv == nullptr || saved_argv[0] == nullptr) return 0;
  char* empty_environment[] = {nullptr};
  char** env = environ != nullptr ? environ : empty_environment;
  size_t env_bytes = 0;
  for (char** e = env; *e != nullptr; ++e) env_bytes += strlen(*e) + 1;
  // The moved strings live in this block for the rest of the process's life; the environment's
  // pointers into it keep it reachable. An empty environment needs no block.
  char* block = nullptr;
  if (env_bytes > 0) {
    block = static_cast<char*>(malloc(env_bytes));
    if (block == nullptr) return -1;
  }

  char* end = saved_argv[0];
  for (char** a = saved_argv; *a != nullptr; ++a) {
    if (*a == end) end += strlen(*a) + 1;
  }
  char* next_free = block;
  for (char** e = env; *e != nullptr; ++e) {
    if (*e != end) continue;
    size_t size = strlen(*e) + 1;
    memcpy(next_free, *e, size);
    *e = next_free;
    next_free += size;
    end += size;
  }
  if (next_free == block) free(block);  // nothing moved: no pointer keeps the block
  title_end = end - 1;
  return 0;
}

void shm_setproctitle(const char* title) {
  if (title_end == nullptr) return;
  saved_argv[1] = nullptr;
  char* p = saved_argv[0];
  p = shm_cpystrn(p, "quillmap: ", static_cast<size_t>(title_end - p));
  if (title_end - p > 0) p = shm_cpystrn(p, title, static_cast<size_t>(title_end - p));
  if (title_end - p > 0) memset(p, 0, static_cast<size_t>(title_end - p));
}

}  // namespace quillmap
