#include "store/change_epoch.h"

namespace quillmap {
namespace {

const uint64_t* published_lock = nullptr;
StateHeader* state_header = nullptr;
int open_changes = 0;  // brackets open in this process; only the outermost one moves the epoch
uint64_t chain = 0;      // see published_chain
uint64_t left_epoch = 1;  // the even epoch this process's last change ended on (odd: none yet)

void set_flag(uint64_t flag, bool on) {
  if (state_header == nullptr) return;
  uint64_t f = __atomic_load_n(&state_header->flags, __ATOMIC_RELAXED);
  __atomic_store_n(&state_header->flags, on ? f | flag : f & ~flag, __ATOMIC_RELEASE);
}

}  // namespace

void publish_changes(const uint64_t* lock, StateHeader* state) {
  published_lock = state != nullptr ? lock : nullptr;
  state_header = state;
  open_changes = 0;
  ++chain;
  left_epoch = 1;
}

StateHeader* published_state() { return state_header; }

uint64_t published_chain(const uint64_t* lock) {
  return lock == published_lock && state_header != nullptr ? chain : 0;
}

void change_begins() {
  if (state_header == nullptr || open_changes++ > 0) return;
  uint64_t e = __atomic_load_n(&state_header->change_epoch, __ATOMIC_RELAXED);
  if (e != left_epoch) ++chain;
  // An odd epoch here was left by a writer that died mid-change; the next even value still differs
  // from anything a reader saw before.
  __atomic_store_n(&state_header->change_epoch, (e | 1) + ((e & 1) ? 2 : 0), __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);  // the odd epoch is visible before any store of the change
  set_flag(kStateSaved, false);
}

void change_ends() {
  if (state_header == nullptr || (open_changes > 0 && --open_changes > 0)) return;
  for (uint64_t& slot : state_header->intent.aux) __atomic_store_n(&slot, uint64_t{0}, __ATOMIC_RELAXED);  // settled
  uint64_t e = __atomic_load_n(&state_header->change_epoch, __ATOMIC_RELAXED);
  left_epoch = (e + 1) & ~uint64_t{1};
  __atomic_store_n(&state_header->change_epoch, left_epoch, __ATOMIC_RELEASE);
}

void settle_change_epoch() {
  if (state_header != nullptr && (__atomic_load_n(&state_header->change_epoch, __ATOMIC_RELAXED) & 1) != 0) {
    change_ends();
  }
}

void note_write_begins(const uint64_t* lock) {
  if (lock == published_lock) change_begins();
}

void note_write_ends(const uint64_t* lock) {
  if (lock == published_lock) change_ends();
}

void note_in_flight(int slot, uint64_t offset) {
  if (state_header == nullptr || slot < 0 || slot >= 6) return;
  __atomic_store_n(&state_header->intent.aux[slot], offset, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);  // named before the first store that could orphan it
}

void note_store_saved() { set_flag(kStateSaved, true); }
bool store_saved() { return state_header != nullptr && (__atomic_load_n(&state_header->flags, __ATOMIC_ACQUIRE) & kStateSaved); }

void note_data_file_held(bool held) { set_flag(kStateFileHeld, held); }
bool data_file_held() {
  return state_header != nullptr && (__atomic_load_n(&state_header->flags, __ATOMIC_ACQUIRE) & kStateFileHeld);
}

bool startup_load_done() {
  return state_header != nullptr && (__atomic_load_n(&state_header->flags, __ATOMIC_ACQUIRE) & kStateLoaded);
}
void note_startup_load_done() { set_flag(kStateLoaded, true); }

}  // namespace quillmap
