// Where a daemon's segments are found: one home for the key derivation, the project ids and the
// attachment of a System V segment, shared by the daemon, the reader library, the tools, the
// benchmarks and the tests.
//
// Every segment of a daemon is keyed by ftok(data_path, project id), so that any process that knows
// the data path finds them:
//   kDictProjectId   the dictionary segment (the store's layout)
//   kStateProjectId  the companion state segment (store/state_layout.h)
//   kIndexProjectId  the index segment (index/index_layout.h)
// The daemon creates all of them with the same owner, group and mode, and removes them together.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace quillmap {

inline constexpr int kDictProjectId = 98;   // the character 'b'
inline constexpr int kStateProjectId = 99;  // 'c'
inline constexpr int kIndexProjectId = 100; // 'd'

// The key of `project_id`'s segment for `data_path`, or -1 (errno set) when the path cannot be used.
key_t segment_key(const char* data_path, int project_id) noexcept;

// The id of the existing segment of `project_id` for `data_path`, or -1 (errno set: ENOENT when there
// is none).
int find_segment(const char* data_path, int project_id) noexcept;

// How a segment is created when missing.
struct SegmentCreation {
  uint64_t bytes = 0;
  int mode = 0600;        // permission bits
  bool huge_pages = false;
  bool no_reserve = false;  // memory is committed only as pages are touched
};

// Gets the segment of `key`, creating it as `how` says when missing: its id, or -1 (errno set).
// *existed tells whether it was there already (an existing one is taken whatever its size is when
// how.bytes is 0, else only when it is at least how.bytes).
int get_segment(key_t key, const SegmentCreation& how, bool* existed) noexcept;

// One process's attachment of a segment; detaches when it goes out of scope.
class SegmentAttachment {
 public:
  SegmentAttachment() = default;
  SegmentAttachment(const SegmentAttachment&) = delete;
  SegmentAttachment& operator=(const SegmentAttachment&) = delete;
  SegmentAttachment(SegmentAttachment&& other) noexcept { *this = static_cast<SegmentAttachment&&>(other); }
  SegmentAttachment& operator=(SegmentAttachment&& other) noexcept;
  ~SegmentAttachment() { detach(); }

  // Attaches segment `id` (read-only when asked): 0, or the errno of the failing call.
  int attach(int id, bool read_only = false) noexcept;
  void detach() noexcept;
  // Forgets the attachment without detaching (the mapping then lives as long as the process).
  void release() noexcept;

  void* base() const noexcept { return base_; }
  uint64_t size() const noexcept { return size_; }
  int id() const noexcept { return id_; }
  int64_t ctime() const noexcept { return ctime_; }  // the segment's creation time (shm_ctime at attach)
  bool read_only() const noexcept { return read_only_; }
  bool attached() const noexcept { return base_ != nullptr; }

 private:
  void* base_ = nullptr;
  uint64_t size_ = 0;
  int id_ = -1;
  int64_t ctime_ = 0;
  bool read_only_ = false;
};

}  // namespace quillmap
