#include "entry/intent.h"

#include <algorithm>
#include <cstring>

#include "store/change_epoch.h"
#include "store/crash_hook.h"
#include "store/slab.h"
#include "util/log.h"

namespace quillmap {
namespace {

void fence() { __atomic_thread_fence(__ATOMIC_RELEASE); }

// Copies `n` bytes one step at a time, so that the crash hook can end the copy at any byte.
void stepped_copy(uint8_t* to, const uint8_t* from, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    crash_step();
    to[i] = from[i];
  }
}

void set_op(IntentRecord* intent, uint64_t op) {
  crash_step();
  fence();
  __atomic_store_n(&intent->op, op, __ATOMIC_RELEASE);
}

// A writer that died mid-change left the epoch odd; the change is over now (undone or whole).
void close_epoch(StateHeader* state) {
  uint64_t e = __atomic_load_n(&state->change_epoch, __ATOMIC_RELAXED);
  if (e & 1) __atomic_store_n(&state->change_epoch, e + 1, __ATOMIC_RELEASE);
}

}  // namespace

bool value_fits_in_place(const SlabPool* pool, const RbtreeNode* node, uint64_t value_len) {
  return kNodeHeaderSize + node->key_len + value_len <= slab_allocation_size(pool, node);
}

void overwrite_value_in_place_locked(SlabPool* pool, RbtreeNode* node, const char* value, uint64_t value_len,
                                     uint64_t expires) {
  StateHeader* state = published_state();
  uint8_t* bytes = node_value(node);
  if (state != nullptr) {
    IntentRecord* intent = &state->intent;
    const uint64_t saved = std::min<uint64_t>(value_len, kIntentBytes);
    crash_step();
    intent->node = offset_of_record(pool, node);
    intent->old_value_len = node->value_len;
    intent->old_expires = node->expires;
    intent->key_len = std::min<uint64_t>(node->key_len, kIntentBytes);
    std::memcpy(intent->key, node_key(node), intent->key_len);
    intent->saved_len = saved;
    stepped_copy(intent->old_bytes, bytes, saved);
    set_op(intent, kIntentValueInPlace);
  }
  stepped_copy(bytes, reinterpret_cast<const uint8_t*>(value), value_len);
  crash_step();
  node->value_len = static_cast<uint32_t>(value_len);
  crash_step();
  node->expires = expires;
  if (state != nullptr) set_op(&state->intent, kIntentNone);
}

void undo_interrupted_change(SlabPool* pool, StateHeader* state) {
  if (state == nullptr) return;
  IntentRecord* intent = &state->intent;
  const uint64_t op = __atomic_load_n(&intent->op, __ATOMIC_ACQUIRE);
  // Without a record the dead writer's change cannot be undone here: the epoch stays odd until the
  // store has been rebuilt (settle_change_epoch), so that lock-free readers do not trust it before.
  if (op == kIntentNone) return;
  const int key_len = static_cast<int>(intent->key_len);
  const char* key = reinterpret_cast<const char*>(intent->key);
  if (op == kIntentValueInPlace && intent->node >= pool->data_start && intent->node < pool->pool_end &&
      intent->saved_len <= kIntentBytes) {
    RbtreeNode* node = _lfof_<RbtreeNode>(pool, intent->node);
    std::memcpy(node_value(node), intent->old_bytes, intent->saved_len);
    node->value_len = static_cast<uint32_t>(intent->old_value_len);
    node->expires = intent->old_expires;
    log_msg(kLogCrit, "The previous worker died while replacing the value of '%.*s' in place; the old value was restored",
            key_len, key);
  } else {
    log_msg(kLogCrit, "The previous worker left an unknown or damaged change record (%lu); it was ignored",
            static_cast<unsigned long>(op));
  }
  clear_intent(state);
  close_epoch(state);
}

void note_entry_in_flight(const SlabPool* pool, const RbtreeNode* node) { note_in_flight(0, offset_of_record(pool, node)); }

void note_replacement_in_flight(const SlabPool* pool, const RbtreeNode* node) {
  note_in_flight(4, offset_of_record(pool, node));
}

void clear_intent(StateHeader* state) {
  if (state != nullptr) __atomic_store_n(&state->intent.op, uint64_t{kIntentNone}, __ATOMIC_RELEASE);
}

}  // namespace quillmap
