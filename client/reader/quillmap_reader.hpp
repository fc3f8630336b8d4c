// Reading a running quillmap dictionary straight from its shared-memory segment (C++ interface; the
// C interface is quillmap_reader.h, the same library serves both).
//
//   quillmap::Reader reader;
//   if (quillmap::Reader::open("/var/lib/quillmap/data.yaml", &reader) != quillmap::ReadStatus::kOk) ...
//   std::string value;
//   quillmap::ReadStatus s = reader.get("some-key", &value);        // one-shot, copies
//   {
//     quillmap::ReadGuard guard(reader);                            // one read share, many lookups
//     quillmap::EntryView e;
//     if (guard.match("10.20.30.40", &e) == quillmap::ReadStatus::kOk) use(e.key, e.value);
//   }                                                               // views end with the guard
//
// A Reader never changes the dictionary and never writes anything but the segment's lock word. Calls
// return a ReadStatus; nothing throws. A Reader and its guards are used by one thread at a time.
//
// Daemon restarts: a stopping daemon removes its segment and a started one creates a new one, but an
// attached reader would keep the old segment, with its old contents, alive. So a Reader checks, at
// most once per options.check_interval_ms (and after any lookup that met a change, and at refresh()),
// that its segment is still the live one: not marked for removal and still the one the data path's
// key names. A stale segment is replaced when a read share is taken (a one-shot call or a guard
// being constructed) while no other guard of this Reader holds a share: the key is derived again
// from the data path, the new segment attached and its header checked as at open. When no daemon
// runs, calls answer kNoSegment, and the Reader looks for a new segment at the same period. A
// segment found stale while guards of this Reader hold shares is not replaced under their views:
// their lookups and validate() answer kChanged, and so does a new guard, until they are released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "quillmap_reader.h"

namespace quillmap {

enum class ReadStatus : int {
  kOk = QUILLMAP_READER_OK,
  kNotFound = QUILLMAP_READER_NOT_FOUND,
  kNoSegment = QUILLMAP_READER_E_NO_SEGMENT,
  kPermission = QUILLMAP_READER_E_PERMISSION,
  kBadPath = QUILLMAP_READER_E_PATH,
  kBadConfig = QUILLMAP_READER_E_CONFIG,
  kNotLaidOut = QUILLMAP_READER_E_NOT_LAID_OUT,
  kLockUnavailable = QUILLMAP_READER_E_LOCK,
  kChanged = QUILLMAP_READER_E_CHANGED,
  kBadArgument = QUILLMAP_READER_E_ARGUMENT,
  kNoSpace = QUILLMAP_READER_E_SPACE,
  kSystemError = QUILLMAP_READER_E_SYSTEM,
  kBadState = QUILLMAP_READER_E_STATE,
};

// "changed while reading", "lock not available", ...
const char* read_status_text(ReadStatus status) noexcept;

struct ReaderOptions {
  bool hide_expired = false;  // entries whose expiry has passed (not yet swept) count as absent
  int retries = 3;            // one-shot calls repeat a lookup that met a change this many times
  // How often (milliseconds) lookups check, with a few system calls, that the segment is still the
  // daemon's live one; 0 at every lookup, negative never (only refresh() and changes met).
  int check_interval_ms = 1000;
};

// An entry as it lies in the segment; the views stay valid while the guard that produced them lives.
struct EntryView {
  std::string_view key;
  std::string_view value;
  uint64_t expires = 0;  // seconds since the epoch; 0 never
  bool is_address = false;
};

// What a copying lookup found: full lengths (also when a caller's buffer was too small), expiry, flag.
struct EntryInfo {
  size_t key_len = 0;
  size_t value_len = 0;
  uint64_t expires = 0;
  bool is_address = false;
};

// What the daemon's index segment holds for the attached dictionary (Reader::index_figures).
struct IndexFigures {
  bool present = false;  // the daemon keeps an index for this dictionary
  bool hash_valid = false;   // key lookups go through the index
  bool ipv4_valid = false;   // IPv4 matches go through the index
  bool ipv6_valid = false;   // IPv6 matches go through the index
  uint64_t bytes = 0;        // bytes of the index's structures
  uint64_t change_epoch = 0; // the dictionary's change epoch: odd while the daemon changes it
};

struct ReaderState;  // the attached segment; internal

class ReadGuard;

class Reader {
 public:
  Reader() noexcept;
  Reader(Reader&&) noexcept;
  Reader& operator=(Reader&&) noexcept;
  ~Reader();

  // Attaches the segment of the daemon whose data file is `data_path`.
  static ReadStatus open(const std::string& data_path, Reader* out, ReaderOptions options = {});
  // Attaches the segment named by the data_path line of a daemon configuration file.
  static ReadStatus open_config(const std::string& config_path, Reader* out, ReaderOptions options = {});

  // True from a successful open to close(), also while the daemon is stopped (calls then answer
  // kNoSegment until a new segment is attached).
  bool is_open() const noexcept { return state_ != nullptr; }
  void close() noexcept;

  // Checks now whether the segment is still the live one and attaches the live one if not. kOk when
  // the Reader reads the live segment; kNoSegment (or another open error) when there is none;
  // kChanged when the segment is stale but guards of this Reader hold shares (re-attached once they
  // are released); kBadState when not open.
  ReadStatus refresh() noexcept;

  // The index's figures and the change epoch, read from the attached segments.
  ReadStatus index_figures(IndexFigures* out) noexcept;

  // One-shot lookups: take a share, look up, copy, release; repeated on kChanged up to
  // options.retries times. The std::string forms reuse the string's capacity; the buffer forms copy
  // nothing and return kNoSpace when the buffer is too small (info then holds the lengths needed).
  ReadStatus get(std::string_view key, std::string* value, EntryInfo* info = nullptr);
  ReadStatus get(std::string_view key, void* value_buf, size_t value_cap, EntryInfo* info);
  // Longest stored prefix covering an IPv4/IPv6 address text ("/len" accepted, host bits ignored).
  ReadStatus match(std::string_view address, std::string* key, std::string* value, EntryInfo* info = nullptr);
  // The same for 4 (IPv4) or 16 (IPv6) address bytes in network order.
  ReadStatus match_binary(const void* address, size_t len, std::string* key, std::string* value,
                          EntryInfo* info = nullptr);
  // Many gets at once: statuses[i] answers keys[i] as get would (kOk, kNotFound, kChanged), and
  // values[i] (when values is not null) holds its value. Independent lookups are overlapped (their
  // memory is fetched ahead of use), so a batch costs far less than as many one-shot calls. The
  // result is kOk when every key was answered, else the first failure that stopped the batch
  // (kNoSegment, kLockUnavailable, ...: statuses then say kChanged for the keys not answered).
  ReadStatus get_many(const std::string_view* keys, size_t n, std::string* values, ReadStatus* statuses,
                      EntryInfo* infos = nullptr);
  // Many binary matches at once, as get_many: addresses[i] holds 4 (IPv4) or 16 (IPv6) address
  // bytes in network order, as match_binary takes them; keys[i] and values[i] (each array may be
  // null) get the matching entry's key text and value.
  ReadStatus match_many(const std::string_view* addresses, size_t n, std::string* keys, std::string* values,
                        ReadStatus* statuses, EntryInfo* infos = nullptr);

  // Every entry in key-tree order under one share; fn returns false to stop. No repetition: a change
  // met part-way returns kChanged after the entries already delivered.
  ReadStatus for_each(bool (*fn)(const EntryView& entry, void* arg), void* arg);
  template <class F>
  ReadStatus for_each(F&& fn) {
    return for_each(
        [](const EntryView& e, void* arg) {
          return static_cast<bool>((*static_cast<std::remove_reference_t<F>*>(arg))(e));
        },
        const_cast<void*>(static_cast<const void*>(&fn)));
  }

  const ReaderOptions& options() const noexcept { return options_; }
  ReaderState* state() const noexcept { return state_.get(); }

 private:
  std::unique_ptr<ReaderState> state_;
  ReaderOptions options_;
};

// One read share of the segment lock, held for the guard's life; lookups under it return views into
// the segment. Keep guards short-lived: the daemon clears a lock that it waited for too long, and every
// later call of the guard then answers kChanged. Constructing a guard makes the Reader's liveness
// check (see above): it re-attaches a stale segment when no other guard of the Reader holds a share,
// and fails with kChanged when one does. A segment found stale while the guard lives is kept attached
// (its views stay readable) and the guard's lookups and validate() answer kChanged.
class ReadGuard {
 public:
  explicit ReadGuard(Reader& reader) noexcept;
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  ~ReadGuard() { release(); }

  // kOk when the share was taken; kLockUnavailable, kNotLaidOut, kBadState, or what re-attaching a
  // stale segment answered (kNoSegment: the daemon is not running; kChanged: other guards read it).
  ReadStatus status() const noexcept { return status_; }

  ReadStatus get(std::string_view key, EntryView* out) noexcept;
  ReadStatus match(std::string_view address, EntryView* out) noexcept;
  ReadStatus match_binary(const void* address, size_t len, EntryView* out) noexcept;
  ReadStatus for_each(bool (*fn)(const EntryView& entry, void* arg), void* arg) noexcept;

  // kOk while everything read under this guard is still as it was read; kChanged once a writer may
  // have been in (the share was cleared by force) or the segment was found removed or replaced.
  ReadStatus validate() const noexcept;

  // Gives the share back (also done by the destructor); views end here.
  void release() noexcept;

 private:
  ReaderState* state_;
  bool hide_expired_;
  ReadStatus status_;
  uint64_t mark_[3];  // the change epoch when the guard began, and whether it holds a share
};

}  // namespace quillmap
