// The one retry-and-validate loop of every one-shot lookup, C++ and C alike (internal to the reader
// library): take a guard, look up, copy out, validate; repeated while the lookup or the validation
// meets a change, up to the reader's retries. Lookups the index can answer first try it without any
// share, as a seqlock read: an even change epoch before, the lookup and the copy, the same epoch after.
#pragma once

#include <atomic>
#include <optional>

#include "client/reader/quillmap_reader.hpp"
#include "client/reader/reader_state.h"
#include "client/reader/segment_geometry.h"

namespace quillmap {

// `lookup(geometry, hide_expired, EntryView*)` is a lookup of reader_lookup.h, which does not
// validate; `copy(const EntryView&)` runs while the guard still holds and its result counts only
// when the guard validates afterwards, one validation confirming both the lookup and the copy.
template <class Lookup, class Copy>
ReadStatus one_shot(Reader& reader, Lookup&& lookup, Copy&& copy) {
  if (!reader.is_open()) return ReadStatus::kBadState;
  const int attempts = reader.options().retries < 0 ? 1 : reader.options().retries + 1;
  const bool hide_expired = reader.options().hide_expired;
  for (int i = 0; i < attempts; ++i) {
    ReadGuard guard(reader);
    if (guard.status() != ReadStatus::kOk) return guard.status();
    EntryView e;
    ReadStatus s = lookup(reader.state()->geometry, hide_expired, &e);
    if (s == ReadStatus::kBadArgument) return s;
    if (s == ReadStatus::kOk) s = copy(e);
    if (s == ReadStatus::kChanged) reader.state()->check_soon();
    if (s == ReadStatus::kChanged || guard.validate() != ReadStatus::kOk) continue;
    return s;
  }
  return ReadStatus::kChanged;
}

// Lock-free attempts before the plain walk takes over.
inline constexpr int kLockFreeTries = 3;

// `indexed(geometry, index, index_bytes, hide_expired, EntryView*)` answers through the index, or
// nullopt when the index cannot answer. The result is that of the lookup and the copy when the
// epoch was even and unchanged around both; nullopt sends the caller to the plain walk (no index, a
// change in progress, or changes met kLockFreeTries times).
template <class Indexed, class Copy>
std::optional<ReadStatus> lock_free(Reader& reader, Indexed&& indexed, Copy&& copy) {
  ReaderState* st = reader.state();
  const bool hide_expired = reader.options().hide_expired;
  for (int i = 0; i < kLockFreeTries; ++i) {
    if (ensure_live_segment(st, false) != ReadStatus::kOk) return std::nullopt;  // the guard reports it
    const IndexHeader* index = st->segment.index();
    if (index == nullptr || st->segment.state() == nullptr) return std::nullopt;
    const uint64_t before = change_epoch(*st);
    if ((before & 1) != 0 || !segment_geometry_unchanged(st->geometry)) return std::nullopt;
    EntryView e;
    std::optional<ReadStatus> s = indexed(st->geometry, *index, st->segment.index_size(), hide_expired, &e);
    if (!s) return std::nullopt;
    if (*s == ReadStatus::kOk) s = copy(e);
    std::atomic_thread_fence(std::memory_order_acquire);  // the reads above come before the epoch's
    if (*s != ReadStatus::kChanged && change_epoch(*st) == before && !st->stale) return s;
  }
  return std::nullopt;
}

// The index first, then the plain walk.
template <class Indexed, class Lookup, class Copy>
ReadStatus one_shot(Reader& reader, Indexed&& indexed, Lookup&& lookup, Copy&& copy) {
  if (!reader.is_open()) return ReadStatus::kBadState;
  if (std::optional<ReadStatus> s = lock_free(reader, indexed, copy)) return *s;
  return one_shot(reader, lookup, copy);
}

}  // namespace quillmap
