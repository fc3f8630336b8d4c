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

// What the reading step of one seqlock attempt found.
enum class SeqlockRead {
  kCannot,   // the index cannot answer (a structure not valid): the plain walk must
  kChanged,  // a check refused something on the way: try again
  kRead,     // looked up; the copy may follow once the epoch confirms it
};

// The one protocol of every lock-free lookup, single or batched: up to kLockFreeTries attempts,
// each on the live segment with an even change epoch. read(geometry, index, index_bytes) looks up;
// the epoch is confirmed, so that what copy() copies has the entries' own lengths; copy() copies
// out (false: it met a change); the epoch is confirmed again. True when an attempt went through;
// false sends the caller to the plain walk (no index, a change in progress, or changes met every
// time).
template <class Read, class Copy>
bool seqlock_read(ReaderState* st, Read&& read, Copy&& copy) {
  for (int i = 0; i < kLockFreeTries; ++i) {
    if (ensure_live_segment(st, false) != ReadStatus::kOk) return false;  // the guard reports it
    const IndexHeader* index = st->segment.index();
    if (index == nullptr || st->segment.state() == nullptr) return false;
    const uint64_t before = change_epoch(*st);
    if ((before & 1) != 0 || !segment_geometry_unchanged(st->geometry)) return false;
    const SeqlockRead r = read(st->geometry, *index, st->segment.index_size());
    if (r == SeqlockRead::kCannot) return false;
    std::atomic_thread_fence(std::memory_order_acquire);  // the reads above come before the epoch's
    if (r == SeqlockRead::kChanged || change_epoch(*st) != before) continue;
    const bool copied = copy();
    std::atomic_thread_fence(std::memory_order_acquire);
    if (copied && change_epoch(*st) == before && !st->stale) return true;
  }
  return false;
}

// `indexed(geometry, index, index_bytes, hide_expired, EntryView*)` answers through the index, or
// nullopt when the index cannot answer. The result of the lookup and the copy, or nullopt for the
// plain walk.
template <class Indexed, class Copy>
std::optional<ReadStatus> lock_free(Reader& reader, Indexed&& indexed, Copy&& copy) {
  const bool hide_expired = reader.options().hide_expired;
  EntryView e;
  std::optional<ReadStatus> s;
  const bool read = seqlock_read(
      reader.state(),
      [&](const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes) {
        s = indexed(g, index, index_bytes, hide_expired, &e);
        if (!s) return SeqlockRead::kCannot;
        return *s == ReadStatus::kChanged ? SeqlockRead::kChanged : SeqlockRead::kRead;
      },
      [&] {
        if (*s == ReadStatus::kOk) s = copy(e);
        return *s != ReadStatus::kChanged;
      });
  return read ? s : std::nullopt;
}

// The index first, then the plain walk.
template <class Indexed, class Lookup, class Copy>
ReadStatus one_shot(Reader& reader, Indexed&& indexed, Lookup&& lookup, Copy&& copy) {
  if (!reader.is_open()) return ReadStatus::kBadState;
  if (std::optional<ReadStatus> s = lock_free(reader, indexed, copy)) return *s;
  return one_shot(reader, lookup, copy);
}

}  // namespace quillmap
