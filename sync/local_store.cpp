#include "sync/local_store.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "store/rbtree.h"
#include "store/segment_identity.h"
#include "store/sha1.h"

namespace quillmap::sync {

bool read_local_entries(const std::string& data_path, LocalEntries* out, std::string* error) {
  ReaderOptions options;
  options.check_interval_ms = 0;
  Reader reader;
  ReadStatus s = Reader::open(data_path, &reader, options);
  for (int attempt = 0; s == ReadStatus::kOk; ++attempt) {
    out->clear();
    s = reader.for_each([&](const EntryView& e) {
      out->emplace(std::string(e.key), LocalEntry{std::string(e.value), e.expires, e.is_address});
      return true;
    });
    if (s != ReadStatus::kChanged || attempt == 20) break;
    reader.refresh();
    s = ReadStatus::kOk;
  }
  if (s != ReadStatus::kOk) {
    *error = "cannot read the dictionary of " + data_path + ": " + read_status_text(s);
    return false;
  }
  return true;
}

std::string daemon_identity(const std::string& data_path, const std::string& socket_path) {
  const int id = find_segment(data_path.c_str(), kDictProjectId);
  if (id == -1) return "";
  shmid_ds ds{};
  if (shmctl(id, IPC_STAT, &ds) != 0) return "";
  struct stat st {};
  if (stat(socket_path.c_str(), &st) != 0) return "";
  return "segment " + std::to_string(id) + "/" + std::to_string(ds.shm_ctime) + " socket " +
         std::to_string(st.st_ino) + "/" + std::to_string(st.st_ctim.tv_sec) + "." +
         std::to_string(st.st_ctim.tv_nsec);
}

std::string key_set_digest(const std::vector<std::string>& keys) {
  struct Ordered {
    uint32_t crc;
    const std::string* key;
  };
  std::vector<Ordered> order;
  order.reserve(keys.size());
  for (const std::string& k : keys) order.push_back({crc32_short(k.data(), k.size()), &k});
  std::sort(order.begin(), order.end(), [](const Ordered& a, const Ordered& b) {
    if (a.crc != b.crc) return a.crc < b.crc;
    const size_t common = std::min(a.key->size(), b.key->size());
    const int c = common == 0 ? 0 : std::memcmp(a.key->data(), b.key->data(), common);
    if (c != 0) return c < 0;
    return a.key->size() < b.key->size();
  });
  Sha1Context ctx;
  shm_sha1_init(&ctx);
  for (const Ordered& o : order) shm_sha1_update(&ctx, o.key->data(), o.key->size());
  uint8_t digest[kSha1DigestSize];
  shm_sha1_final(digest, &ctx);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace quillmap::sync
