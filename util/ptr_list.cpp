#include "util/ptr_list.h"

#include <cstdlib>

#include "util/log.h"

namespace quillmap {
namespace {

PtrListBlock* new_block(PtrListBlock* older) {
  auto* block = static_cast<PtrListBlock*>(calloc(1, sizeof(PtrListBlock)));
  if (block == nullptr) {
    log_msg(kLogError, "Could not allocate memory for linked list node\n");
    return nullptr;
  }
  block->older = older;
  return block;
}

}  // namespace

void shm_llist_push(PtrList* list, uintptr_t value) {
  if (list->head == nullptr || list->head->count == 1024) {
    PtrListBlock* block = new_block(list->head);
    if (block == nullptr) return;
    list->head = block;
  }
  list->head->slots[list->head->count++] = value;
}

uintptr_t shm_llist_fetch(PtrList* list) {
  if (list->head == nullptr) return 0;
  if (list->cursor == nullptr) list->cursor = list->head;
  while (list->cursor->count == 0) {
    if (list->cursor->older == nullptr) return 0;
    list->cursor = list->cursor->older;
  }
  return list->cursor->slots[--list->cursor->count];
}

void shm_llist_clear(PtrList* list) {
  PtrListBlock* block = list->head;
  while (block != nullptr) {
    PtrListBlock* older = block->older;
    free(block);
    block = older;
  }
  list->head = nullptr;
  list->cursor = nullptr;
}

}  // namespace quillmap
