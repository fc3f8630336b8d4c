// Batched lookups (internal to the reader library): a batch is read in windows of a few keys.
// Through the index, a window is one seqlock read whose lookups overlap: every key's slot is
// fetched, then every entry, then each is looked up and copied, and the epoch confirms the whole
// window. Without the index (or after repeated changes) a window is read under one read share and
// confirmed by one validation.
#pragma once

#include <algorithm>
#include <atomic>
#include <optional>
#include <string_view>

#include "client/reader/quillmap_reader.hpp"
#include "client/reader/reader_lookup.h"
#include "client/reader/reader_one_shot.h"
#include "client/reader/reader_state.h"
#include "store/rbtree.h"

namespace quillmap {


inline constexpr size_t kWindow = 16;

// One window of a batch: keys base .. base + n - 1 of the batch, its statuses (window-relative), and
// copy(batch index, entry) for each entry found.
template <class Copy>
struct Window {
  size_t base;
  size_t n;
  const std::string_view* keys;
  ReadStatus* statuses;
  Copy& copy;
};

// One window through the index without a share. False when the index cannot answer it, or changes
// met it kLockFreeTries times (the caller then reads it under a share).
template <class Copy>
bool window_lock_free(Reader& reader, const Window<Copy>& w) {
  ReaderState* st = reader.state();
  const bool hide = reader.options().hide_expired;
  uint32_t crcs[kWindow];
  for (size_t i = 0; i < w.n; ++i) crcs[i] = crc32_short(w.keys[i].data(), w.keys[i].size());
  for (int attempt = 0; attempt < kLockFreeTries; ++attempt) {
    if (ensure_live_segment(st, false) != ReadStatus::kOk) return false;
    const IndexHeader* index = st->segment.index();
    const uint64_t bytes = st->segment.index_size();
    if (index == nullptr || st->segment.state() == nullptr || !hash_is_valid(*index, bytes)) return false;
    const uint64_t before = change_epoch(*st);
    if ((before & 1) != 0 || !segment_geometry_unchanged(st->geometry)) return false;
    const SegmentGeometry& g = st->geometry;
    for (size_t i = 0; i < w.n; ++i) prefetch_key_slot(*index, bytes, crcs[i]);
    for (size_t i = 0; i < w.n; ++i) prefetch_key_entry(g, *index, bytes, crcs[i]);
    EntryView found[kWindow];
    bool changed = false;
    for (size_t i = 0; i < w.n && !changed; ++i) {
      std::optional<ReadStatus> s = lookup_key_indexed(g, *index, bytes, hide, w.keys[i], crcs[i], &found[i]);
      if (!s) return false;
      changed = *s == ReadStatus::kChanged;
      w.statuses[i] = *s;
    }
    // Confirmed before the copies, so that the lengths copied are the entries' own, and after them.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (changed || change_epoch(*st) != before) continue;
    for (size_t i = 0; i < w.n; ++i) {
      if (w.statuses[i] == ReadStatus::kOk) w.statuses[i] = w.copy(w.base + i, found[i]);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (change_epoch(*st) == before && !st->stale) return true;
  }
  return false;
}

// One window under a read share, repeated while it meets a change (after the reader's retries its
// keys answer kChanged). kOk, or why no share could be had.
template <class Copy>
ReadStatus window_shared(Reader& reader, const Window<Copy>& w) {
  const int attempts = reader.options().retries < 0 ? 1 : reader.options().retries + 1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    ReadGuard guard(reader);
    if (guard.status() != ReadStatus::kOk) return guard.status();
    bool changed = false;
    for (size_t i = 0; i < w.n && !changed; ++i) {
      EntryView e;
      ReadStatus s = guard.get(w.keys[i], &e);
      if (s == ReadStatus::kOk) s = w.copy(w.base + i, e);
      changed = s == ReadStatus::kChanged;
      w.statuses[i] = s;
    }
    if (!changed && guard.validate() == ReadStatus::kOk) return ReadStatus::kOk;
  }
  std::fill(w.statuses, w.statuses + w.n, ReadStatus::kChanged);
  return ReadStatus::kOk;
}

// The whole batch, window by window: key_at(i) gives key i, answer(i, status) takes its status.
template <class KeyAt, class Answer, class Copy>
ReadStatus get_batch(Reader& reader, size_t n, KeyAt&& key_at, Answer&& answer, Copy&& copy) {
  if (!reader.is_open()) return ReadStatus::kBadState;
  std::string_view keys[kWindow];
  ReadStatus statuses[kWindow];
  for (size_t done = 0; done < n;) {
    const Window<Copy> w{done, std::min(kWindow, n - done), keys, statuses, copy};
    for (size_t i = 0; i < w.n; ++i) keys[i] = key_at(done + i);
    ReadStatus failure = ReadStatus::kOk;
    if (!window_lock_free(reader, w)) failure = window_shared(reader, w);
    if (failure != ReadStatus::kOk) {
      for (size_t i = done; i < n; ++i) answer(i, ReadStatus::kChanged);
      return failure;
    }
    for (size_t i = 0; i < w.n; ++i) answer(done + i, statuses[i]);
    done += w.n;
  }
  return ReadStatus::kOk;
}

inline EntryInfo info_of(const EntryView& e) noexcept { return EntryInfo{e.key.size(), e.value.size(), e.expires, e.is_address}; }

}  // namespace quillmap
