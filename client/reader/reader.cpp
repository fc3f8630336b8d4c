#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "client/reader/checked_view.h"
#include "client/reader/quillmap_reader.hpp"
#include "client/reader/reader_lookup.h"
#include "client/reader/reader_one_shot.h"
#include "client/reader/reader_state.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "util/host_params.h"

namespace quillmap {
namespace {

// A read-only reader meeting a change in progress waits for it this often, this long, at most.
constexpr int kOddEpochWaits = 200;
constexpr useconds_t kOddEpochWaitUs = 500;

uint64_t load_word(const uint64_t* word) noexcept {
  return std::atomic_ref<uint64_t>(*const_cast<uint64_t*>(word)).load(std::memory_order_acquire);
}

void fill_info(const EntryView& e, EntryInfo* info) noexcept {
  if (info == nullptr) return;
  info->key_len = e.key.size();
  info->value_len = e.value.size();
  info->expires = e.expires;
  info->is_address = e.is_address;
}

// The key is derived again at every re-attach, and the process may change directory meanwhile.
std::string absolute_path(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// Copies into a caller's buffer when it is large enough (nothing is copied otherwise).
bool copy_into(std::string_view bytes, void* buf, size_t cap) noexcept {
  if (bytes.size() > cap) return false;
  if (!bytes.empty()) std::memcpy(buf, bytes.data(), bytes.size());
  return true;
}

}  // namespace

const char* read_status_text(ReadStatus status) noexcept {
  switch (status) {
    case ReadStatus::kOk: return "ok";
    case ReadStatus::kNotFound: return "not found";
    case ReadStatus::kNoSegment: return "no segment for this data path (is the daemon running?)";
    case ReadStatus::kPermission: return "permission denied";
    case ReadStatus::kBadPath: return "data path does not exist or cannot be used";
    case ReadStatus::kBadConfig: return "configuration file unreadable or without data_path";
    case ReadStatus::kNotLaidOut: return "segment not laid out";
    case ReadStatus::kLockUnavailable: return "lock not available";
    case ReadStatus::kChanged: return "changed while reading";
    case ReadStatus::kBadArgument: return "bad argument";
    case ReadStatus::kNoSpace: return "buffer too small";
    case ReadStatus::kSystemError: return "system error";
    case ReadStatus::kBadState: return "not allowed in this state";
  }
  return "unknown result";
}

// ---- Reader ----

Reader::Reader() noexcept = default;
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;
Reader::~Reader() = default;

void Reader::close() noexcept { state_.reset(); }

ReadStatus Reader::open(const std::string& data_path, Reader* out, ReaderOptions options) {
  if (out == nullptr) return ReadStatus::kBadArgument;
  host_params_init();  // the lock spins only on a multi-processor host
  auto state = std::make_unique<ReaderState>();
  state->data_path = absolute_path(data_path);
  state->check_interval_ns = options.check_interval_ms < 0 ? -1 : int64_t{options.check_interval_ms} * 1000000;
  ReadStatus s = attach_segment(state.get());
  if (s != ReadStatus::kOk) return s;
  state->schedule_check(coarse_now_ns());
  out->state_ = std::move(state);
  out->options_ = options;
  return ReadStatus::kOk;
}

ReadStatus Reader::open_config(const std::string& config_path, Reader* out, ReaderOptions options) {
  std::string data_path;
  ReadStatus s = data_path_from_config(config_path.c_str(), &data_path);
  if (s != ReadStatus::kOk) return s;
  return open(data_path, out, options);
}

ReadStatus Reader::index_figures(IndexFigures* out) noexcept {
  if (out == nullptr) return ReadStatus::kBadArgument;
  if (state_ == nullptr) return ReadStatus::kBadState;
  if (ReadStatus s = ensure_live_segment(state_.get(), false); s != ReadStatus::kOk) return s;
  *out = IndexFigures{};
  out->change_epoch = change_epoch(*state_);
  const IndexHeader* index = state_->segment.index();
  if (index == nullptr) return ReadStatus::kOk;
  const uint64_t valid = __atomic_load_n(&index->valid, __ATOMIC_ACQUIRE);
  out->present = true;
  out->hash_valid = (valid & kIndexHashValid) != 0;
  out->ipv4_valid = (valid & kIndexPrefix4Valid) != 0;
  out->ipv6_valid = (valid & kIndexPrefix6Valid) != 0;
  out->bytes = index_structure_bytes(*index);
  return ReadStatus::kOk;
}

ReadStatus Reader::refresh() noexcept {
  if (state_ == nullptr) return ReadStatus::kBadState;
  return ensure_live_segment(state_.get(), /*force=*/true);
}

ReadStatus Reader::get(std::string_view key, std::string* value, EntryInfo* info) {
  return one_shot(
      *this,
      [&](const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes, bool hide, EntryView* e) {
        return lookup_key_indexed(g, index, index_bytes, hide, key, e);
      },
      [&](const SegmentGeometry& g, bool hide, EntryView* e) { return lookup_key(g, hide, key, e); },
      [&](const EntryView& e) {
        if (value != nullptr) value->assign(e.value);
        fill_info(e, info);
        return ReadStatus::kOk;
      });
}

ReadStatus Reader::get(std::string_view key, void* value_buf, size_t value_cap, EntryInfo* info) {
  return one_shot(
      *this,
      [&](const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes, bool hide, EntryView* e) {
        return lookup_key_indexed(g, index, index_bytes, hide, key, e);
      },
      [&](const SegmentGeometry& g, bool hide, EntryView* e) { return lookup_key(g, hide, key, e); },
      [&](const EntryView& e) {
        fill_info(e, info);
        return copy_into(e.value, value_buf, value_cap) ? ReadStatus::kOk : ReadStatus::kNoSpace;
      });
}

ReadStatus Reader::match(std::string_view address, std::string* key, std::string* value, EntryInfo* info) {
  return one_shot(
      *this,
      [&](const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes, bool hide, EntryView* e) {
        return lookup_text_lock_free(g, index, index_bytes, hide, address, e);
      },
      [&](const SegmentGeometry& g, bool hide, EntryView* e) { return lookup_text(g, hide, address, e); },
      [&](const EntryView& e) {
        if (key != nullptr) key->assign(e.key);
        if (value != nullptr) value->assign(e.value);
        fill_info(e, info);
        return ReadStatus::kOk;
      });
}

ReadStatus Reader::match_binary(const void* address, size_t len, std::string* key, std::string* value,
                                EntryInfo* info) {
  return one_shot(
      *this,
      [&](const SegmentGeometry& g, const IndexHeader& index, uint64_t index_bytes, bool hide, EntryView* e) {
        return lookup_address_lock_free(g, index, index_bytes, hide, address, len, e);
      },
      [&](const SegmentGeometry& g, bool hide, EntryView* e) { return lookup_address(g, hide, address, len, e); },
      [&](const EntryView& e) {
        if (key != nullptr) key->assign(e.key);
        if (value != nullptr) value->assign(e.value);
        fill_info(e, info);
        return ReadStatus::kOk;
      });
}

ReadStatus Reader::for_each(bool (*fn)(const EntryView& entry, void* arg), void* arg) {
  if (!is_open()) return ReadStatus::kBadState;
  ReadGuard guard(*this);
  if (guard.status() != ReadStatus::kOk) return guard.status();
  return guard.for_each(fn, arg);
}

// ---- ReadGuard ----

// mark_[0]: the change epoch when the guard began; mark_[1]: 1 when the guard holds a read share (a
// read-only attachment takes none and relies on the epoch alone).
ReadGuard::ReadGuard(Reader& reader) noexcept
    : state_(reader.state()), hide_expired_(reader.options().hide_expired), status_(ReadStatus::kBadState), mark_{} {
  if (state_ == nullptr) return;
  // Only the live segment is read; a stale one is replaced here unless other guards still read it.
  if (ReadStatus live = ensure_live_segment(state_, false); live != ReadStatus::kOk) {
    state_ = nullptr;
    status_ = live;
    return;
  }
  const bool share = !state_->segment.read_only();
  if (share && rwlock_rlock(state_->lock_word()) != kDone) {
    state_ = nullptr;
    status_ = ReadStatus::kLockUnavailable;
    return;
  }
  uint64_t epoch = change_epoch(*state_);
  if (!share) {
    // No share keeps the writer out: wait (bounded) for a change in progress to end.
    for (int i = 0; (epoch & 1) != 0 && i < kOddEpochWaits; ++i) {
      usleep(kOddEpochWaitUs);
      epoch = change_epoch(*state_);
    }
    if ((epoch & 1) != 0) {
      state_ = nullptr;
      status_ = ReadStatus::kLockUnavailable;
      return;
    }
  }
  // The header is rewritten only by a store being laid out anew; take its new geometry if it is sane.
  if (!segment_geometry_unchanged(state_->geometry)) {
    SegmentGeometry g;
    if (!read_segment_geometry(state_->segment.base(), state_->segment.size(), &g)) {
      if (share) rwlock_read_unlock(state_->lock_word());
      state_ = nullptr;
      status_ = ReadStatus::kNotLaidOut;
      return;
    }
    state_->geometry = g;
  }
  mark_[0] = epoch;
  mark_[1] = share ? 1 : 0;
  ++state_->guards;
  status_ = ReadStatus::kOk;
}

void ReadGuard::release() noexcept {
  if (state_ != nullptr) {
    // A share cleared by force is simply gone: the reader's release never touches a 0 or a writer's word.
    if (mark_[1] != 0) rwlock_read_unlock(state_->lock_word());
    --state_->guards;
    state_ = nullptr;
  }
  if (status_ == ReadStatus::kOk) status_ = ReadStatus::kBadState;
}

ReadStatus ReadGuard::validate() const noexcept {
  if (state_ == nullptr) return status_ == ReadStatus::kOk ? ReadStatus::kBadState : status_;
  // Everything read so far is ordered before the epoch and lock loads below.
  std::atomic_thread_fence(std::memory_order_acquire);
  // A writer that got in made the epoch odd and then even again: it differs from the guard's.
  // With a share, the word stays between 1 and all ones minus one; 0 or all ones means it was cleared.
  const uint64_t word = mark_[1] != 0 ? load_word(state_->lock_word()) : 1;
  if (change_epoch(*state_) != mark_[0] || (mark_[0] & 1) != 0 || word == 0 || word == kLockWriter) {
    state_->check_soon();  // a writer got in: perhaps a new daemon's, so the segment is checked next
    return ReadStatus::kChanged;
  }
  // A segment found removed or replaced during the guard: what was read is no longer the dictionary.
  return state_->stale ? ReadStatus::kChanged : ReadStatus::kOk;
}

namespace {

// A guard's lookup, confirmed by the guard's validation before any view of its answer is handed out.
template <class Lookup>
ReadStatus confirmed(const ReadGuard& guard, ReaderState* state, ReadStatus status, Lookup&& lookup,
                     EntryView* out) noexcept {
  if (state == nullptr) return status == ReadStatus::kOk ? ReadStatus::kBadState : status;
  // The periodic check; under a guard it only finds the segment stale (validate then says so).
  ensure_live_segment(state, false);
  EntryView e;
  const ReadStatus s = lookup(state->geometry, &e);
  if (s == ReadStatus::kBadArgument) return s;
  if (s == ReadStatus::kChanged) state->check_soon();
  if (s == ReadStatus::kChanged || guard.validate() != ReadStatus::kOk) return ReadStatus::kChanged;
  if (s == ReadStatus::kOk && out != nullptr) *out = e;
  return s;
}

}  // namespace

ReadStatus ReadGuard::get(std::string_view key, EntryView* out) noexcept {
  return confirmed(
      *this, state_, status_,
      [&](const SegmentGeometry& g, EntryView* e) {
        if (const IndexHeader* index = state_->segment.index()) {
          if (auto s = lookup_key_indexed(g, *index, state_->segment.index_size(), hide_expired_, key, e)) return *s;
        }
        return lookup_key(g, hide_expired_, key, e);
      },
      out);
}

ReadStatus ReadGuard::match(std::string_view address, EntryView* out) noexcept {
  return confirmed(
      *this, state_, status_,
      [&](const SegmentGeometry& g, EntryView* e) {
        if (const IndexHeader* index = state_->segment.index()) {
          if (auto s = lookup_text_indexed(g, *index, state_->segment.index_size(), hide_expired_, address, e)) return *s;
        }
        return lookup_text(g, hide_expired_, address, e);
      },
      out);
}

ReadStatus ReadGuard::match_binary(const void* address, size_t len, EntryView* out) noexcept {
  return confirmed(
      *this, state_, status_,
      [&](const SegmentGeometry& g, EntryView* e) {
        if (const IndexHeader* index = state_->segment.index()) {
          if (auto s = lookup_address_indexed(g, *index, state_->segment.index_size(), hide_expired_, address, len, e)) {
            return *s;
          }
        }
        return lookup_address(g, hide_expired_, address, len, e);
      },
      out);
}

ReadStatus ReadGuard::for_each(bool (*fn)(const EntryView& entry, void* arg), void* arg) noexcept {
  if (state_ == nullptr) return status_ == ReadStatus::kOk ? ReadStatus::kBadState : status_;
  if (fn == nullptr) return ReadStatus::kBadArgument;
  ensure_live_segment(state_, false);  // a stale segment fails the first validation
  const SegmentGeometry& g = state_->geometry;
  CheckedView v(g, tree_walk_steps(g));
  const TreeRoot* tree = v.at<TreeRoot>(g.key_tree);
  if (tree == nullptr) return ReadStatus::kChanged;
  rbtree_walk_inorder(v, tree, [&](const RbtreeNode* node) {
    EntryView e;
    if (!entry_at(v, offset_of_record(g.base, node), &e)) return false;
    if (hide_expired_ && has_expired(e)) return true;
    // Each entry is confirmed before the caller sees it.
    if (validate() != ReadStatus::kOk) {
      v.fail();
      return false;
    }
    return fn(e, arg);
  });
  if (v.failed() || validate() != ReadStatus::kOk) return ReadStatus::kChanged;
  return ReadStatus::kOk;
}

}  // namespace quillmap
