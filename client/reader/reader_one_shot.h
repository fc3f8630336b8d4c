// The one retry-and-validate loop of every one-shot lookup, C++ and C alike (internal to the reader
// library): take a guard, look up, copy out, validate; repeated while the lookup or the validation
// meets a change, up to the reader's retries.
#pragma once

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

}  // namespace quillmap
