// The reader's lookups through a checked view (internal to the reader library). They hold no lock and
// do not validate: the caller holds a read share and confirms the answer (ReadGuard::validate) before
// it hands out views of it or copies made from them, so that one validation covers lookup and copy.
// kChanged means a check refused something on the way; kBadArgument a malformed address.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "client/reader/checked_view.h"
#include "client/reader/quillmap_reader.hpp"
#include "client/reader/segment_geometry.h"
#include "index/index_layout.h"

namespace quillmap {

// The entry whose node lies at `off`: header, then key and value bytes, all inside the node's chunk.
bool entry_at(CheckedView& v, uint64_t off, EntryView* out) noexcept;

// Whether an entry's expiry has passed.
bool has_expired(const EntryView& e) noexcept;

// The entry of `key`; kNotFound when there is none (or, with `hide_expired`, it has expired).
ReadStatus lookup_key(const SegmentGeometry& g, bool hide_expired, std::string_view key, EntryView* out) noexcept;

// The entry of `key` found through the index's hash (`index` of `index_bytes` bytes), the same
// answers as lookup_key; nullopt when the index's hash is not valid (the caller walks the tree).
std::optional<ReadStatus> lookup_key_indexed(const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes,
                                             bool hide_expired, std::string_view key, EntryView* out) noexcept;
// The same with the key's CRC already computed (batches), and the prefetch stages of a batch.
std::optional<ReadStatus> lookup_key_indexed(const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes,
                                             bool hide_expired, std::string_view key, uint32_t crc,
                                             EntryView* out) noexcept;
void prefetch_key_slot(const IndexHeader& index, uint64_t index_bytes, uint32_t crc) noexcept;
void prefetch_key_entry(const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes,
                        uint32_t crc) noexcept;
// Whether the index's hash can answer.
bool hash_is_valid(const IndexHeader& index, uint64_t index_bytes) noexcept;

// lookup_address and lookup_text through the index's prefix tables; nullopt when the table of the
// address's family is not valid. prefixes_are_valid tells it for an address of `address_len` bytes;
// prefetch_address asks for a batch's first-level words ahead.
std::optional<ReadStatus> lookup_address_indexed(const SegmentGeometry& g, const IndexHeader& index,
                                                 uint64_t index_bytes, bool hide_expired, const void* address,
                                                 size_t len, EntryView* out) noexcept;
std::optional<ReadStatus> lookup_text_indexed(const SegmentGeometry& g, const IndexHeader& index,
                                              uint64_t index_bytes, bool hide_expired, std::string_view address,
                                              EntryView* out) noexcept;
bool prefixes_are_valid(const IndexHeader& index, uint64_t index_bytes, size_t address_len) noexcept;

// The route of a one-shot match without a share (validated by the change epoch): an IPv4 address
// through the index's table; an IPv6 address by the trie walk of lookup_address, which answers one
// address faster than the IPv6 table, whose node path for the usual /32-/48 prefixes is longer than
// the level-compressed trie's (the table pays off in batches, which fetch its words ahead). nullopt
// when the table of the address's family is not valid.
std::optional<ReadStatus> lookup_address_lock_free(const SegmentGeometry& g, const IndexHeader& index,
                                                   uint64_t index_bytes, bool hide_expired, const void* address,
                                                   size_t len, EntryView* out) noexcept;
std::optional<ReadStatus> lookup_text_lock_free(const SegmentGeometry& g, const IndexHeader& index,
                                                uint64_t index_bytes, bool hide_expired, std::string_view address,
                                                EntryView* out) noexcept;
void prefetch_address(const IndexHeader& index, uint64_t index_bytes, const void* address, size_t len) noexcept;

// The address entry of the longest stored prefix covering 4 (IPv4) or 16 (IPv6) address bytes in
// network order.
ReadStatus lookup_address(const SegmentGeometry& g, bool hide_expired, const void* address, size_t len,
                          EntryView* out) noexcept;

// The same for an address text ("/len" accepted; the host bits it clears take no further part).
ReadStatus lookup_text(const SegmentGeometry& g, bool hide_expired, std::string_view address,
                       EntryView* out) noexcept;

}  // namespace quillmap
