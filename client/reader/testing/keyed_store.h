// Test support for the reader library: a store laid out in a System V segment keyed like the daemon's
// (the dictionary segment's key of a data file in a fresh temporary directory), with its companion
// state segment and an index segment, so that Reader::open finds them by path; this process publishes
// its write holds in the state segment's change epoch and keeps the index, as the worker does. The segments and the directory are removed when
// the fixture goes away; forked children inherit the attachments. remove_segment() and create_segment() play a daemon stopping and starting.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "entry/store_init.h"
#include "index/index_upkeep.h"
#include "store/change_epoch.h"
#include "store/companion_header.h"
#include "store/layout.h"
#include "store/segment_identity.h"
#include "store/state_layout.h"
#include "store/slab.h"
#include "util/host_params.h"

namespace quillmap::testing {

class KeyedStore {
 public:

  // A segment of `data_size` bytes with mode `mode`, laid out as the daemon's first worker does.
  // `lay_out` false leaves it zero-filled (a segment whose daemon never initialised it).
  // `huge_pages`: the dictionary and index segments in huge pages (which must be reserved).
  explicit KeyedStore(int64_t data_size = 4 << 20, int mode = 0600, bool lay_out = true, bool huge_pages = false)
      : data_size_(data_size), mode_(mode), huge_pages_(huge_pages) {
    host_params_init();
    slab_derive_sizes();
    // The keys come from the data file's inode, which a tmpfs reuses soon: a segment that another
    // program left under one of them sends us to another directory instead of failing.
    // The refused files are kept until a free one is found, so that their inodes are not reused.
    std::vector<std::string> refused;
    for (int tries = 0;; ++tries) {
      char dir[] = "/tmp/quillmap-reader-XXXXXX";
      if (mkdtemp(dir) == nullptr) die("mkdtemp");
      dir_ = dir;
      chmod(dir_.c_str(), 0755);  // other accounts may derive the key (the permission tests)
      data_path_ = dir_ + "/data.yaml";
      FILE* f = std::fopen(data_path_.c_str(), "w");
      if (f == nullptr) die("data file");
      std::fclose(f);
      if (keys_are_free() || tries == 16) break;
      refused.push_back(dir_);
    }
    for (const std::string& d : refused) {
      unlink((d + "/data.yaml").c_str());
      rmdir(d.c_str());
    }
    create_segment(lay_out);
  }
  KeyedStore(const KeyedStore&) = delete;
  KeyedStore& operator=(const KeyedStore&) = delete;
  ~KeyedStore() {
    if (getpid() != owner_) return;  // a forked child leaves the cleanup to the test process
    remove_segment();
    unlink(data_path_.c_str());
    rmdir(dir_.c_str());
  }

  // Marks the segment for removal and detaches it (a reader's attachment keeps it alive).
  void remove_segment() {
    if (id_ < 0) return;
    publish_changes(nullptr, nullptr);
    stop_index();
    shmdt(index_);
    shmctl(index_id_, IPC_RMID, nullptr);
    shmdt(state_);
    shmctl(state_id_, IPC_RMID, nullptr);
    shmdt(base_);
    shmctl(id_, IPC_RMID, nullptr);
    id_ = -1;
    base_ = nullptr;
  }
  // Gives every segment to group `gid` (as the daemon does for reader_group).
  void share_with_group(gid_t gid) const {
    for (int id : {id_, state_id_, index_id_}) {
      shmid_ds ds;
      if (shmctl(id, IPC_STAT, &ds) != 0) die("IPC_STAT");
      ds.shm_perm.gid = gid;
      if (shmctl(id, IPC_SET, &ds) != 0) die("IPC_SET");
    }
  }
  // Marks every segment for removal, attached as they are (they go when the last process detaches).
  void mark_for_removal() const {
    for (int id : {id_, state_id_, index_id_}) shmctl(id, IPC_RMID, nullptr);
  }
  // A new segment under the same key (after remove_segment()), laid out unless `lay_out` is false.
  void create_segment(bool lay_out = true) {
    bool existed = false;
    id_ = get_segment(segment_key(data_path_.c_str(), kDictProjectId), {static_cast<uint64_t>(data_size_), mode_, huge_pages_},
                      &existed);
    if (id_ < 0 || existed) die("shmget");
    base_ = shmat(id_, nullptr, 0);
    if (base_ == reinterpret_cast<void*>(-1)) die("shmat");
    state_id_ = get_segment(segment_key(data_path_.c_str(), kStateProjectId), {kStateSegmentSize, mode_}, &existed);
    if (state_id_ < 0 || existed) die("shmget state");
    state_ = static_cast<StateHeader*>(shmat(state_id_, nullptr, 0));
    if (state_ == reinterpret_cast<void*>(-1)) die("shmat state");
    shmid_ds ds;
    if (shmctl(id_, IPC_STAT, &ds) != 0) die("IPC_STAT");
    init_companion_header(state_, kStateMagic, kStateVersion, DictIdentity{id_, static_cast<int64_t>(ds.shm_ctime)});
    publish_changes(&pool()->lock, state_);
    index_id_ = get_segment(segment_key(data_path_.c_str(), kIndexProjectId), {index_bytes(), mode_, huge_pages_, true}, &existed);
    if (index_id_ < 0 || existed) die("shmget index");
    index_ = static_cast<IndexHeader*>(shmat(index_id_, nullptr, 0));
    if (index_ == reinterpret_cast<void*>(-1)) die("shmat index");
    init_companion_header(index_, kIndexMagic, kIndexVersion, DictIdentity{id_, static_cast<int64_t>(ds.shm_ctime)});
    index_->pool_bytes = index_bytes() - kIndexPoolOffset;
    if (lay_out && init_memory(pool(), 0, data_size_) != kDone) die("init_memory");
    if (lay_out && start_index(pool(), index_) != kDone) die("start_index");
  }

  const std::string& data_path() const { return data_path_; }
  const std::string& dir() const { return dir_; }
  SlabPool* pool() const { return static_cast<SlabPool*>(base_); }
  void* base() const { return base_; }
  int id() const { return id_; }
  StateHeader* state() const { return state_; }
  IndexHeader* index() const { return index_; }

 private:
  [[noreturn]] static void die(const char* what) {
    std::perror(what);
    std::abort();
  }

  bool keys_are_free() const {
    for (int project : {kDictProjectId, kStateProjectId, kIndexProjectId}) {
      if (find_segment(data_path_.c_str(), project) >= 0) return false;
    }
    return true;
  }

  uint64_t index_bytes() const {
    const uint64_t unit = huge_pages_ ? 2 << 20 : 4096;
    return (index_segment_bytes(data_size_) + unit - 1) / unit * unit;
  }

  int64_t data_size_;
  int mode_;
  bool huge_pages_;
  pid_t owner_ = getpid();
  std::string dir_;
  std::string data_path_;
  int id_ = -1;
  void* base_ = nullptr;
  int state_id_ = -1;
  StateHeader* state_ = nullptr;
  int index_id_ = -1;
  IndexHeader* index_ = nullptr;
};

}  // namespace quillmap::testing
