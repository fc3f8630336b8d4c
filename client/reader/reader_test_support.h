// Test support for the reader library: a store laid out in a System V segment keyed like the daemon's
// (ftok of a data file in a fresh temporary directory, project id 98), so that Reader::open finds it
// by path. The segment and the directory are removed when the fixture goes away; forked children
// inherit the attachment. remove_segment() and create_segment() play a daemon stopping and starting.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "entry/store_init.h"
#include "store/layout.h"
#include "store/slab.h"
#include "util/host_params.h"

namespace quillmap::testing {

class KeyedStore {
 public:
  // A segment of `data_size` bytes with mode `mode`, laid out as the daemon's first worker does.
  // `lay_out` false leaves it zero-filled (a segment whose daemon never initialised it).
  explicit KeyedStore(int64_t data_size = 4 << 20, int mode = 0600, bool lay_out = true)
      : data_size_(data_size), mode_(mode) {
    host_params_init();
    slab_derive_sizes();
    char dir[] = "/tmp/quillmap-reader-XXXXXX";
    if (mkdtemp(dir) == nullptr) die("mkdtemp");
    dir_ = dir;
    chmod(dir_.c_str(), 0755);  // other accounts may derive the key (the permission tests)
    data_path_ = dir_ + "/data.yaml";
    FILE* f = std::fopen(data_path_.c_str(), "w");
    if (f == nullptr) die("data file");
    std::fclose(f);
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
    shmdt(base_);
    shmctl(id_, IPC_RMID, nullptr);
    id_ = -1;
    base_ = nullptr;
  }
  // A new segment under the same key (after remove_segment()), laid out unless `lay_out` is false.
  void create_segment(bool lay_out = true) {
    key_t key = ftok(data_path_.c_str(), 98);
    if (key == static_cast<key_t>(-1)) die("ftok");
    id_ = shmget(key, static_cast<size_t>(data_size_), IPC_CREAT | IPC_EXCL | mode_);
    if (id_ < 0) die("shmget");
    base_ = shmat(id_, nullptr, 0);
    if (base_ == reinterpret_cast<void*>(-1)) die("shmat");
    if (lay_out && init_memory(pool(), 0, data_size_) != kDone) die("init_memory");
  }

  const std::string& data_path() const { return data_path_; }
  const std::string& dir() const { return dir_; }
  SlabPool* pool() const { return static_cast<SlabPool*>(base_); }
  void* base() const { return base_; }
  int id() const { return id_; }

 private:
  [[noreturn]] static void die(const char* what) {
    std::perror(what);
    std::abort();
  }

  int64_t data_size_;
  int mode_;
  pid_t owner_ = getpid();
  std::string dir_;
  std::string data_path_;
  int id_ = -1;
  void* base_ = nullptr;
};

}  // namespace quillmap::testing
