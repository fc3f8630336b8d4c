// The data file loader (persist/data_file.h, persist/data_file_reader.h) with a dump-and-reload round
// trip. The input is a data file. It is loaded into a fresh store; the store must be sound afterwards
// (allocator, key tree, tries, and the link between them). What loaded is dumped and the dump loaded
// into a second, fresh store, then once more by LOAD's replacing path: every time the store holds
// exactly what the first load left (key, value, expiry, kind), bar entries that expired in between.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "entry/testing/entry_store.h"
#include "persist/data_file.h"
#include "persist/testing/persist_fixture.h"
#include "util/log.h"
#include "util/settings.h"

namespace {

using quillmap::testing::DictImage;
using quillmap::testing::PersistStore;

// The second store is larger, so that a different order of allocations cannot run it out of memory.
constexpr int64_t kFirstPool = 1 << 20;
constexpr int64_t kSecondPool = 3 << 20;

void check(bool ok, const char* what, const std::string& detail = "") {
  if (!ok) {
    fprintf(stderr, "data file check failed: %s %s\n", what, detail.c_str());
    abort();
  }
}

void check_sound(PersistStore& store, const char* which) {
  const std::string err = quillmap::testing::entry_store_check(store.pool());
  check(err.empty(), which, err);
}

// `got` holds what `want` holds, less entries that have expired by now.
void check_same(const DictImage& want, const DictImage& got, const char* which) {
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  for (const auto& [key, entry] : want) {
    auto it = got.find(key);
    if (it == got.end()) {
      check(entry.expires != 0 && entry.expires < now, which, "lost the entry '" + key + "'");
    } else {
      check(it->second == entry, which, "changed the entry '" + key + "'");
    }
  }
  for (const auto& [key, entry] : got) check(want.count(key) == 1, which, "gained the entry '" + key + "'");
}

struct Files {
  Files() {
    // Messages are formatted and written, to nowhere.
    log = fopen("/dev/null", "w");
    quillmap::log_setfp(log);
    quillmap::settings.log_level = quillmap::kLogDebug;
    check(memfd >= 0, "memfd");
  }
  FILE* log;
  int memfd = memfd_create("data", 0);
  std::string input = "/proc/self/fd/" + std::to_string(memfd);
  quillmap::testing::ScratchDir dir;
  std::string dump = dir.file("dump.yaml");
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Files files;
  check(ftruncate(files.memfd, 0) == 0 && pwrite(files.memfd, data, size, 0) == static_cast<ssize_t>(size),
        "write the input");

  PersistStore first(kFirstPool);
  const int64_t loaded = quillmap::load_data(first.pool(), files.input.c_str());
  check(loaded >= -1, "load_data result");
  check_sound(first, "first load");
  const DictImage image = first.image();

  const int64_t dumped = quillmap::rbtree_dump(first.pool(), files.dump.c_str());
  check(dumped == static_cast<int64_t>(image.size()), "rbtree_dump writes every entry");

  PersistStore second(kSecondPool);
  check(quillmap::load_data(second.pool(), files.dump.c_str()) >= 0, "the dump loads");
  check_sound(second, "reload");
  check_same(image, second.image(), "reload");

  check(quillmap::load_replacing(second.pool(), files.dump.c_str()) >= 0, "the dump loads replacing");
  check_sound(second, "replacing reload");
  check_same(image, second.image(), "replacing reload");
  return 0;
}
