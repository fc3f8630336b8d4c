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

// The address entry of the longest stored prefix covering 4 (IPv4) or 16 (IPv6) address bytes in
// network order.
ReadStatus lookup_address(const SegmentGeometry& g, bool hide_expired, const void* address, size_t len,
                          EntryView* out) noexcept;

// The same for an address text ("/len" accepted; the host bits it clears take no further part).
ReadStatus lookup_text(const SegmentGeometry& g, bool hide_expired, std::string_view address,
                       EntryView* out) noexcept;

}  // namespace quillmap
