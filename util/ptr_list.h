// A process-local list of pointer-sized values in heap blocks of 1024, read back newest first.
// The key-tree walks gather nodes here before removing them, since a walk must not change the tree
// it walks. 0 marks "nothing left", so 0 is never pushed.
#pragma once

#include <cstdint>

namespace quillmap {

struct PtrListBlock {
  PtrListBlock* older;  // the block that was the head before this one
  uint64_t count;       // values in this block, 0..1024
  uintptr_t slots[1024];
};

struct PtrList {
  PtrListBlock* head = nullptr;    // the block written last
  PtrListBlock* cursor = nullptr;  // the block shm_llist_fetch reads from; null until the first fetch
};

// Appends a value; on allocation failure logs an ERROR and drops the value.
void shm_llist_push(PtrList* list, uintptr_t value);

// The most recently pushed value not yet fetched; 0 when none is left. Fetching consumes the list.
uintptr_t shm_llist_fetch(PtrList* list);

// Releases every block and empties the list.
void shm_llist_clear(PtrList* list);

// Owns a PtrList and releases its blocks on every path out of the owner's scope.
class ScopedPtrList {
 public:
  ScopedPtrList() = default;
  ScopedPtrList(const ScopedPtrList&) = delete;
  ScopedPtrList& operator=(const ScopedPtrList&) = delete;
  ~ScopedPtrList() { shm_llist_clear(&list_); }
  PtrList* get() { return &list_; }

 private:
  PtrList list_;
};

}  // namespace quillmap
