// The reader over mutated segment images: a store holding string and address entries is laid out
// once; each input is a list of patches (4-byte little-endian offset, 1 byte) written over a copy of
// it, then the copy is read as an outside reader would: the header accepted or refused, lookups of
// every key the store held and of addresses, and a walk of the whole key tree. Checked by
// AddressSanitizer and the harness: no read outside the image, every walk ends, every entry handed
// out lies inside the image.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/reader/checked_view.h"
#include "client/reader/reader_lookup.h"
#include "client/reader/segment_geometry.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "store/rbtree.h"

namespace {

using namespace quillmap;

constexpr int64_t kImageBytes = 256 << 10;

std::vector<std::string> keys;

struct Image {
  testing::EntryStore store{kImageBytes};
  Image() {
    for (int i = 0; i < 200; ++i) {
      std::string key = "key" + std::to_string(i * 7919);
      std::string value(static_cast<size_t>(i % 50), static_cast<char>('a' + i % 26));
      if (add_key(store.pool(), key.data(), key.size(), value.data(), value.size(), i % 3 == 0 ? 0 : 2000000000) == 0) {
        keys.push_back(key);
      }
    }
    for (const char* a : {"10.0.0.0/8", "10.1.0.0/16", "10.1.2.0/24", "192.168.7.7", "0.0.0.0/0", "2001:db8::/32",
                          "2001:db8:1::/48", "::ffff:1.2.3.4", "::/0", "fe80::1"}) {
      if (add_ipaddr(store.pool(), a, std::strlen(a), "v", 1, 0) == 0) keys.push_back(a);
    }
  }
};

void inside(const EntryView& e, const uint8_t* base) {
  const auto* k = reinterpret_cast<const uint8_t*>(e.key.data());
  const auto* v = reinterpret_cast<const uint8_t*>(e.value.data());
  if (k < base || k + e.key.size() > base + kImageBytes || v < base || v + e.value.size() > base + kImageBytes) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Image* image = new Image;
  static uint8_t* copy = static_cast<uint8_t*>(std::aligned_alloc(4096, kImageBytes));
  std::memcpy(copy, image->store.pool(), kImageBytes);
  for (size_t at = 0; at + 5 <= size; at += 5) {
    uint32_t off;
    std::memcpy(&off, data + at, 4);
    copy[off % kImageBytes] = data[at + 4];
  }
  SegmentGeometry g;
  if (!read_segment_geometry(copy, kImageBytes, &g)) return 0;
  EntryView e;
  for (const std::string& key : keys) {
    if (lookup_key(g, true, key, &e) == ReadStatus::kOk) inside(e, copy);
    if (lookup_text(g, false, key, &e) == ReadStatus::kOk) inside(e, copy);
  }
  for (size_t at = 0; at + 16 <= size; at += 16) {
    if (lookup_address(g, false, data + at, 4, &e) == ReadStatus::kOk) inside(e, copy);
    if (lookup_address(g, false, data + at, 16, &e) == ReadStatus::kOk) inside(e, copy);
  }
  CheckedView v(g, tree_walk_steps(g));
  if (const TreeRoot* tree = v.at<TreeRoot>(g.key_tree)) {
    rbtree_walk_inorder(v, tree, [&](const RbtreeNode* node) {
      if (!entry_at(v, offset_of_record(g.base, node), &e)) return false;
      inside(e, copy);
      return true;
    });
  }
  return 0;
}
