// Batched lookups (internal to the reader library): a batch is read in windows of a few keys or
// addresses.
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

// How the lookups of one kind are batched: keys through the hash (each key's slot, then its entry,
// fetched ahead), addresses of 4 or 16 bytes through the prefix tables (each first-level word
// fetched ahead).
struct KeyLookups {
  uint32_t crcs[kWindow];
  void prepare(const std::string_view* keys, size_t n) {
    for (size_t i = 0; i < n; ++i) crcs[i] = crc32_short(keys[i].data(), keys[i].size());
  }
  bool usable(const IndexHeader& index, uint64_t bytes) const { return hash_is_valid(index, bytes); }
  void prefetch(const SegmentGeometry& g, const IndexHeader& index, uint64_t bytes, size_t n) const {
    for (size_t i = 0; i < n; ++i) prefetch_key_slot(index, bytes, crcs[i]);
    for (size_t i = 0; i < n; ++i) prefetch_key_entry(g, index, bytes, crcs[i]);
  }
  std::optional<ReadStatus> indexed(const SegmentGeometry& g, const IndexHeader& index, uint64_t bytes, bool hide,
                                    std::string_view key, size_t i, EntryView* out) const {
    return lookup_key_indexed(g, index, bytes, hide, key, crcs[i], out);
  }
  static ReadStatus shared(ReadGuard& guard, std::string_view key, EntryView* out) { return guard.get(key, out); }
};

struct AddressLookups {
  const std::string_view* addresses = nullptr;
  void prepare(const std::string_view* a, size_t) { addresses = a; }
  bool usable(const IndexHeader&, uint64_t) const { return true; }  // per family, at the lookup
  void prefetch(const SegmentGeometry&, const IndexHeader& index, uint64_t bytes, size_t n) const {
    for (size_t i = 0; i < n; ++i) prefetch_address(index, bytes, addresses[i].data(), addresses[i].size());
  }
  std::optional<ReadStatus> indexed(const SegmentGeometry& g, const IndexHeader& index, uint64_t bytes, bool hide,
                                    std::string_view address, size_t, EntryView* out) const {
    return lookup_address_indexed(g, index, bytes, hide, address.data(), address.size(), out);
  }
  static ReadStatus shared(ReadGuard& guard, std::string_view address, EntryView* out) {
    return guard.match_binary(address.data(), address.size(), out);
  }
};

// One window of a batch: items base .. base + n - 1 of the batch, their statuses (window-relative),
// and copy(batch index, entry) for each entry found.
template <class Copy>
struct Window {
  size_t base;
  size_t n;
  const std::string_view* items;
  ReadStatus* statuses;
  Copy& copy;
};

// One window through the index without a share (seqlock_read). False when the index cannot answer
// it, or changes met it every time (the caller then reads it under a share).
template <class Lookups, class Copy>
bool window_lock_free(Reader& reader, Lookups& lookups, const Window<Copy>& w) {
  const bool hide = reader.options().hide_expired;
  lookups.prepare(w.items, w.n);
  EntryView found[kWindow];
  return seqlock_read(
      reader.state(),
      [&](const SegmentGeometry& g, const IndexHeader& index, uint64_t bytes) {
        if (!lookups.usable(index, bytes)) return SeqlockRead::kCannot;
        lookups.prefetch(g, index, bytes, w.n);
        for (size_t i = 0; i < w.n; ++i) {
          std::optional<ReadStatus> s = lookups.indexed(g, index, bytes, hide, w.items[i], i, &found[i]);
          if (!s) return SeqlockRead::kCannot;
          if (*s == ReadStatus::kChanged) return SeqlockRead::kChanged;
          w.statuses[i] = *s;
        }
        return SeqlockRead::kRead;
      },
      [&] {
        for (size_t i = 0; i < w.n; ++i) {
          if (w.statuses[i] == ReadStatus::kOk) w.statuses[i] = w.copy(w.base + i, found[i]);
        }
        return true;
      });
}

// One window under a read share, repeated while it meets a change (after the reader's retries its
// items answer kChanged). kOk, or why no share could be had.
template <class Lookups, class Copy>
ReadStatus window_shared(Reader& reader, const Window<Copy>& w) {
  const int attempts = reader.options().retries < 0 ? 1 : reader.options().retries + 1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    ReadGuard guard(reader);
    if (guard.status() != ReadStatus::kOk) return guard.status();
    bool changed = false;
    for (size_t i = 0; i < w.n && !changed; ++i) {
      EntryView e;
      ReadStatus s = Lookups::shared(guard, w.items[i], &e);
      if (s == ReadStatus::kOk) s = w.copy(w.base + i, e);
      changed = s == ReadStatus::kChanged;
      w.statuses[i] = s;
    }
    if (!changed && guard.validate() == ReadStatus::kOk) return ReadStatus::kOk;
  }
  std::fill(w.statuses, w.statuses + w.n, ReadStatus::kChanged);
  return ReadStatus::kOk;
}

// The whole batch, window by window: item_at(i) gives item i (a key, or an address's bytes),
// answer(i, status) takes its status. kBadArgument items (a malformed address) answer so alone.
template <class Lookups, class ItemAt, class Answer, class Copy>
ReadStatus read_batch(Reader& reader, size_t n, ItemAt&& item_at, Answer&& answer, Copy&& copy) {
  if (!reader.is_open()) return ReadStatus::kBadState;
  std::string_view items[kWindow];
  ReadStatus statuses[kWindow];
  Lookups lookups;
  for (size_t done = 0; done < n;) {
    const Window<Copy> w{done, std::min(kWindow, n - done), items, statuses, copy};
    for (size_t i = 0; i < w.n; ++i) items[i] = item_at(done + i);
    ReadStatus failure = ReadStatus::kOk;
    if (!window_lock_free(reader, lookups, w)) failure = window_shared<Lookups>(reader, w);
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
