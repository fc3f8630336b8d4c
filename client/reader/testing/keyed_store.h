// Test support for the reader library: a dictionary, state and index segment keyed like the daemon's (from
// a data file in a fresh temporary directory), written by this process as the worker does (change epoch,
// index kept). remove_segment() and create_segment() play a daemon stopping and starting.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
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
#include "store/slab.h"
#include "store/state_layout.h"
#include "util/host_params.h"

namespace quillmap::testing {

class KeyedStore {
 public:
  // `lay_out` false: a segment whose daemon never initialised it; `huge_pages` must be reserved.
  explicit KeyedStore(int64_t data_size = 4 << 20, int mode = 0600, bool lay_out = true, bool huge_pages = false)
      : data_size_(data_size), mode_(mode), huge_(huge_pages) {
    host_params_init();
    slab_derive_sizes();
    // The keys come from the data file's inode, which a tmpfs reuses: a directory whose keys are taken is
    // kept (so that its inode is not reused) until a free one is found.
    std::vector<std::string> refused;
    for (int tries = 0;; ++tries) {
      char dir[] = "/tmp/quillmap-reader-XXXXXX";
      if (mkdtemp(dir) == nullptr) die("mkdtemp");
      dir_ = dir;
      chmod(dir, 0755);  // other accounts may derive the key (the permission tests)
      data_path_ = dir_ + "/data.yaml";
      if (FILE* f = std::fopen(data_path_.c_str(), "w")) std::fclose(f);
      bool free = true;
      for (int project : {kDictProjectId, kStateProjectId, kIndexProjectId})
        free = free && find_segment(data_path_.c_str(), project) < 0;
      if (free || tries == 16) break;
      refused.push_back(dir_);
    }
    for (const std::string& d : refused) unlink((d + "/data.yaml").c_str()), rmdir(d.c_str());
    create_segment(lay_out);
  }
  KeyedStore(const KeyedStore&) = delete;
  KeyedStore& operator=(const KeyedStore&) = delete;
  ~KeyedStore() {
    if (getpid() == owner_) remove_segment(), unlink(data_path_.c_str()), rmdir(dir_.c_str());  // not in a child
  }

  // Marks the segments for removal and detaches them (a reader's attachment keeps them alive).
  void remove_segment() {
    if (id_ < 0) return;
    publish_changes(nullptr, nullptr);
    stop_index();
    for (auto [id, addr] : {std::pair{index_id_, static_cast<void*>(index_)}, {state_id_, state_}, {id_, base_}}) {
      shmdt(addr);
      shmctl(id, IPC_RMID, nullptr);
    }
    id_ = -1, base_ = nullptr;
  }
  // Marks every segment for removal, attached as they are.
  void mark_for_removal() const {
    for (int id : ids()) shmctl(id, IPC_RMID, nullptr);
  }
  // New segments under the same keys (after remove_segment()), laid out unless `lay_out` is false.
  void create_segment(bool lay_out = true) {
    const uint64_t unit = huge_ ? 2 << 20 : 4096, index_bytes = (index_segment_bytes(data_size_) + unit - 1) / unit * unit;
    base_ = attach(kDictProjectId, {static_cast<uint64_t>(data_size_), mode_, huge_}, &id_);
    state_ = static_cast<StateHeader*>(attach(kStateProjectId, {kStateSegmentSize, mode_}, &state_id_));
    index_ = static_cast<IndexHeader*>(attach(kIndexProjectId, {index_bytes, mode_, huge_, true}, &index_id_));
    shmid_ds ds;
    if (shmctl(id_, IPC_STAT, &ds) != 0) die("IPC_STAT");
    const DictIdentity identity{id_, static_cast<int64_t>(ds.shm_ctime)};
    init_companion_header(state_, kStateMagic, kStateVersion, identity);
    publish_changes(&pool()->lock, state_);
    init_companion_header(index_, kIndexMagic, kIndexVersion, identity);
    index_->pool_bytes = index_bytes - kIndexPoolOffset;
    if (lay_out && init_memory(pool(), 0, data_size_) != kDone) die("init_memory");
    if (lay_out && start_index(pool(), index_) != kDone) die("start_index");
  }

  const std::string& data_path() const { return data_path_; }
  const std::string& dir() const { return dir_; }
  SlabPool* pool() const { return static_cast<SlabPool*>(base_); }
  std::array<int, 3> ids() const { return {id_, state_id_, index_id_}; }  // dictionary, state, index
  IndexHeader* index() const { return index_; }

 private:
  [[noreturn]] static void die(const char* what) { std::perror(what), std::abort(); }
  void* attach(int project, const SegmentCreation& how, int* id) const {
    bool existed = false;
    *id = get_segment(segment_key(data_path_.c_str(), project), how, &existed);
    void* addr = *id < 0 || existed ? reinterpret_cast<void*>(-1) : shmat(*id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) die("shmget/shmat");
    return addr;
  }

  int64_t data_size_;
  int mode_;
  bool huge_;
  pid_t owner_ = getpid();
  std::string dir_, data_path_;
  int id_ = -1, state_id_ = -1, index_id_ = -1;
  void* base_ = nullptr;
  StateHeader* state_ = nullptr;
  IndexHeader* index_ = nullptr;
};

}  // namespace quillmap::testing
