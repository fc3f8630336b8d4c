#include "client/reader/reader_lookup.h"

#include <arpa/inet.h>

#include <cstring>
#include <ctime>

#include "index/bounded_view.h"
#include "index/hash_index.h"
#include "index/prefix_table.h"
#include "lpctrie/cidr.h"
#include "lpctrie/lpctrie_find.h"
#include "store/rbtree.h"

namespace quillmap {

namespace {

// The address bytes an address text stands for (network order, 4 or 16 of them), host bits below its
// mask cleared: 10.1.2.3/16 is looked up as 10.1.0.0, the mask takes no further part. False when the
// text is not an address.
struct AddressBytes {
  Cidr cidr;
  const void* bytes;
  size_t len;
};
bool address_bytes(std::string_view text, AddressBytes* out) noexcept {
  if (str_to_cidr(text.data(), text.size(), &out->cidr) == kFailed) return false;
  const bool v4 = out->cidr.family == kFamilyInet;
  out->bytes = v4 ? static_cast<const void*>(&out->cidr.addr4) : static_cast<const void*>(out->cidr.addr6);
  out->len = v4 ? 4 : 16;
  return true;
}

// An entry's header, then its key and value bytes, each admitted by the view: with a checked view
// they lie inside the node's chunk, with a bounded one inside the pool (confirmed by the epoch).
template <class View>
bool read_entry(View& v, uint64_t off, EntryView* out) noexcept {
  // The length check's page descriptor, while the node itself is fetched.
  if constexpr (requires { v.prefetch_chunk_of(off); }) v.prefetch_chunk_of(off);
  const RbtreeNode* node = v.template at<RbtreeNode>(off, kNodeHeaderSize);
  if (node == nullptr) return false;
  const uint64_t key_len = __atomic_load_n(&node->key_len, __ATOMIC_RELAXED);
  const uint64_t value_len = __atomic_load_n(&node->value_len, __ATOMIC_RELAXED);
  const uint8_t* bytes = v.template at<uint8_t>(off + kNodeHeaderSize, key_len + value_len);
  if (bytes == nullptr) return false;
  out->key = std::string_view(reinterpret_cast<const char*>(bytes), key_len);
  out->value = std::string_view(reinterpret_cast<const char*>(bytes + key_len), value_len);
  out->expires = __atomic_load_n(&node->expires, __ATOMIC_RELAXED);
  out->is_address = node->is_address != 0;
  return true;
}

}  // namespace

bool entry_at(CheckedView& v, uint64_t off, EntryView* out) noexcept { return read_entry(v, off, out); }

bool has_expired(const EntryView& e) noexcept {
  return e.expires != 0 && e.expires < static_cast<uint64_t>(std::time(nullptr));
}

ReadStatus lookup_key(const SegmentGeometry& g, bool hide_expired, std::string_view key, EntryView* out) noexcept {
  CheckedView v(g, kTreeFindSteps);
  const TreeRoot* tree = v.at<TreeRoot>(g.key_tree);
  if (tree == nullptr) return ReadStatus::kChanged;
  const RbtreeNode* node = rbtree_find(v, tree, key.data(), key.size());
  if (v.failed()) return ReadStatus::kChanged;
  if (node == nullptr) return ReadStatus::kNotFound;
  if (!entry_at(v, offset_of_record(g.base, node), out)) return ReadStatus::kChanged;
  return hide_expired && has_expired(*out) ? ReadStatus::kNotFound : ReadStatus::kOk;
}

namespace {

BoundedView index_view(const IndexHeader& index, uint64_t index_bytes) noexcept {
  return BoundedView(reinterpret_cast<const uint8_t*>(&index) + kIndexPoolOffset, index_bytes - kIndexPoolOffset);
}

}  // namespace

bool hash_is_valid(const IndexHeader& index, uint64_t index_bytes) noexcept {
  return (__atomic_load_n(&index.valid, __ATOMIC_ACQUIRE) & kIndexHashValid) != 0 && index_bytes >= kIndexPoolOffset;
}

void prefetch_key_slot(const IndexHeader& index, uint64_t index_bytes, uint32_t crc) noexcept {
  BoundedView iv = index_view(index, index_bytes);
  hash_prefetch(iv, index.hash, crc);
}

void prefetch_key_entry(const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes,
                        uint32_t crc) noexcept {
  BoundedView iv = index_view(index, index_bytes);
  BoundedView dv(g.base, g.pool_end);
  hash_prefetch_entry(iv, index.hash, dv, crc);
}

std::optional<ReadStatus> lookup_key_indexed(const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes,
                                             bool hide_expired, std::string_view key, EntryView* out) noexcept {
  return lookup_key_indexed(g, index, index_bytes, hide_expired, key, crc32_short(key.data(), key.size()), out);
}

// Through the index, the dictionary is read with plain bounds (every read inside the pool): the
// answer is confirmed by the change epoch, which also covers what the allocator's chunk checks of the
// plain walk would add, and it saves the page descriptor's memory access.
std::optional<ReadStatus> lookup_key_indexed(const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes,
                                             bool hide_expired, std::string_view key, uint32_t crc,
                                             EntryView* out) noexcept {
  if (!hash_is_valid(index, index_bytes)) return std::nullopt;
  BoundedView iv = index_view(index, index_bytes);
  BoundedView dv(g.base, g.pool_end);
  const uint64_t off = hash_find(iv, index.hash, dv, key.data(), key.size(), crc);
  if (iv.failed() || dv.failed()) return ReadStatus::kChanged;
  if (off == 0) return ReadStatus::kNotFound;
  if (!read_entry(dv, off, out)) return ReadStatus::kChanged;
  return hide_expired && has_expired(*out) ? ReadStatus::kNotFound : ReadStatus::kOk;
}

bool prefixes_are_valid(const IndexHeader& index, uint64_t index_bytes, size_t address_len) noexcept {
  const uint64_t bit = address_len == 4 ? kIndexPrefix4Valid : kIndexPrefix6Valid;
  return (__atomic_load_n(&index.valid, __ATOMIC_ACQUIRE) & bit) != 0 && index_bytes >= kIndexPoolOffset;
}

void prefetch_address(const IndexHeader& index, uint64_t index_bytes, const void* address, size_t len) noexcept {
  if (len != 4 && len != 16) return;
  BoundedView iv = index_view(index, index_bytes);
  prefix_prefetch(iv, len == 4 ? index.prefix4 : index.prefix6, static_cast<const uint8_t*>(address));
}

std::optional<ReadStatus> lookup_address_indexed(const SegmentGeometry& g, const IndexHeader& index,
                                                 uint64_t index_bytes, bool hide_expired, const void* address,
                                                 size_t len, EntryView* out) noexcept {
  if (address == nullptr || (len != 4 && len != 16)) return ReadStatus::kBadArgument;
  if (!prefixes_are_valid(index, index_bytes, len)) return std::nullopt;
  BoundedView iv = index_view(index, index_bytes);
  const uint64_t off = prefix_match(iv, len == 4 ? index.prefix4 : index.prefix6, static_cast<const uint8_t*>(address));
  if (iv.failed()) return ReadStatus::kChanged;
  if (off == 0) return ReadStatus::kNotFound;
  BoundedView dv(g.base, g.pool_end);
  // The table names an address entry, or the segment changed under us.
  if (!read_entry(dv, off, out) || !out->is_address || out->key.empty()) return ReadStatus::kChanged;
  return hide_expired && has_expired(*out) ? ReadStatus::kNotFound : ReadStatus::kOk;
}

std::optional<ReadStatus> lookup_text_indexed(const SegmentGeometry& g, const IndexHeader& index,
                                              uint64_t index_bytes, bool hide_expired, std::string_view address,
                                              EntryView* out) noexcept {
  AddressBytes a;
  if (!address_bytes(address, &a)) return ReadStatus::kBadArgument;
  return lookup_address_indexed(g, index, index_bytes, hide_expired, a.bytes, a.len, out);
}

std::optional<ReadStatus> lookup_address_lock_free(const SegmentGeometry& g, const IndexHeader& index,
                                                   uint64_t index_bytes, bool hide_expired, const void* address,
                                                   size_t len, EntryView* out) noexcept {
  if (len != 16) return lookup_address_indexed(g, index, index_bytes, hide_expired, address, len, out);
  // An index the worker has not (yet) rebuilt sends readers to the share, as for every other lookup.
  if (!prefixes_are_valid(index, index_bytes, len)) return std::nullopt;
  return lookup_address(g, hide_expired, address, len, out);
}

std::optional<ReadStatus> lookup_text_lock_free(const SegmentGeometry& g, const IndexHeader& index,
                                                uint64_t index_bytes, bool hide_expired, std::string_view address,
                                                EntryView* out) noexcept {
  AddressBytes a;
  if (!address_bytes(address, &a)) return ReadStatus::kBadArgument;
  return lookup_address_lock_free(g, index, index_bytes, hide_expired, a.bytes, a.len, out);
}

ReadStatus lookup_address(const SegmentGeometry& g, bool hide_expired, const void* address, size_t len,
                          EntryView* out) noexcept {
  if (address == nullptr || (len != 4 && len != 16)) return ReadStatus::kBadArgument;
  CheckedView v(g, kTrieFindSteps);
  uint64_t found;
  if (len == 4) {
    uint32_t net;
    std::memcpy(&net, address, 4);
    found = lpctrie32_find_in(v, g.trie4, ntohl(net));
  } else {
    const unsigned __int128 a = s6addr_to_uint128(static_cast<const uint8_t*>(address));
    found = lpctrie128_find_in(v, g.trie6, static_cast<uint64_t>(a), static_cast<uint64_t>(a >> 64));
  }
  if (v.failed()) return ReadStatus::kChanged;
  if (found == kLpcNotFound) return ReadStatus::kNotFound;
  // The trie names an address entry, or the segment changed under us.
  if (!entry_at(v, found, out) || !out->is_address || out->key.empty()) return ReadStatus::kChanged;
  return hide_expired && has_expired(*out) ? ReadStatus::kNotFound : ReadStatus::kOk;
}

ReadStatus lookup_text(const SegmentGeometry& g, bool hide_expired, std::string_view address,
                       EntryView* out) noexcept {
  AddressBytes a;
  if (!address_bytes(address, &a)) return ReadStatus::kBadArgument;
  return lookup_address(g, hide_expired, a.bytes, a.len, out);
}

}  // namespace quillmap
