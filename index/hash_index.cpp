#include "index/hash_index.h"

#include "store/rbtree.h"
#include "store/slab.h"

namespace quillmap {
namespace {

// Load bounds, as fractions of the capacity: grow past 7/8 to 5/8, shrink below 1/3 to 5/8.
constexpr uint64_t kGrowNum = 7, kGrowDen = 8;
constexpr uint64_t kTargetNum = 5, kTargetDen = 8;
constexpr uint64_t kShrinkNum = 1, kShrinkDen = 3;
// A shrink must save at least a quarter of the table; smaller savings are not worth a rehash.
constexpr uint64_t kShrinkGainNum = 3, kShrinkGainDen = 4;

bool entry_fits_slot(uint64_t entry_off) noexcept {
  return entry_off != 0 && entry_off % kHashEntryAlign == 0 && (entry_off / kHashEntryAlign) <= kHashEntryMask;
}

const RbtreeNode* entry_at(const void* dict_base, uint64_t entry_off) noexcept {
  return _lfof_<const RbtreeNode>(dict_base, entry_off);
}

uint64_t* slots_of(SlabPool* ipool, const HashRoot* root) noexcept { return _lfof_<uint64_t>(ipool, root->table); }

bool over_grow_load(uint64_t count, uint64_t capacity) noexcept { return count * kGrowDen > capacity * kGrowNum; }

// Slots wanted for n entries at the target load; 0 when more than the slot format allows.
uint64_t slots_wanted(uint64_t n) noexcept {
  if (n > kHashMaxSlots / kTargetDen * kTargetNum) return 0;
  const uint64_t want = (n * kTargetDen + kTargetNum - 1) / kTargetNum;
  return want < kHashMinSlots ? kHashMinSlots : want;
}

// Places `slot` in Robin Hood order; the table has an empty slot.
void place(uint64_t* slots, uint64_t capacity, uint64_t slot) noexcept {
  uint64_t i = hash_home(hash_slot_hash(slot), capacity);
  uint64_t dist = 0;
  for (;;) {
    const uint64_t here = slots[i];
    if (here == 0) {
      slots[i] = slot;
      return;
    }
    const uint64_t here_dist = hash_displacement(i, hash_home(hash_slot_hash(here), capacity), capacity);
    if (here_dist < dist) {  // the richer occupant moves on; the poorer one takes its place
      slots[i] = slot;
      slot = here;
      dist = here_dist;
    }
    if (++i == capacity) i = 0;
    ++dist;
  }
}

// A fresh zeroed table of at least `want` slots (it takes all its allocation offers); false when the
// pool has no memory. Nothing of root changes.
bool allocate_table(SlabPool* ipool, uint64_t want, HashRoot* out) noexcept {
  void* p = slab_calloc_locked(ipool, want * sizeof(uint64_t));
  if (p == nullptr) return false;
  uint64_t bytes = slab_allocation_size(ipool, p);
  uint64_t capacity = bytes / sizeof(uint64_t);
  if (capacity > kHashMaxSlots) capacity = kHashMaxSlots;
  // slab_calloc_locked zeroed what was asked for; the rest of the allocation becomes slots too.
  std::memset(static_cast<uint8_t*>(p) + want * sizeof(uint64_t), 0, (capacity - want) * sizeof(uint64_t));
  *out = HashRoot{};
  out->table = offset_of_record(ipool, p);
  out->capacity = capacity;
  out->bytes = bytes;
  return true;
}

// Builds a table of at least `want` slots beside the current one, re-places every slot by its own
// hash, switches root to it and frees the old table. False when the pool has no memory (root and its
// table unchanged).
bool rebuild(SlabPool* ipool, HashRoot* root, uint64_t want) noexcept {
  HashRoot next;
  if (!allocate_table(ipool, want, &next)) return false;
  uint64_t* to = slots_of(ipool, &next);
  if (root->table != 0) {
    const uint64_t* from = slots_of(ipool, root);
    for (uint64_t i = 0; i < root->capacity; ++i)
      if (from[i] != 0) place(to, next.capacity, from[i]);
  }
  next.count = root->count;
  const uint64_t old_table = root->table;
  *root = next;
  if (old_table != 0) slab_free_locked(ipool, _lfof_<void>(ipool, old_table));
  return true;
}

// Index of the slot that names entry_off, searching from the home of h; capacity when there is none.
uint64_t find_slot(const uint64_t* slots, uint64_t capacity, uint32_t h, uint64_t entry_off) noexcept {
  uint64_t i = hash_home(h, capacity);
  for (uint64_t dist = 0; dist < capacity; ++dist) {
    const uint64_t slot = slots[i];
    if (slot == 0 || hash_displacement(i, hash_home(hash_slot_hash(slot), capacity), capacity) < dist) break;
    if (hash_slot_entry(slot) == entry_off) return i;
    if (++i == capacity) i = 0;
  }
  return capacity;
}

}  // namespace

int64_t hash_init_locked(SlabPool* ipool, HashRoot* root, uint64_t expected_entries) {
  *root = HashRoot{};
  const uint64_t want = slots_wanted(expected_entries);
  if (want == 0 || !allocate_table(ipool, want, root)) {
    *root = HashRoot{};
    return kFailed;
  }
  return kDone;
}

int64_t hash_insert_locked(SlabPool* ipool, HashRoot* root, const void* dict_base, uint64_t entry_off) {
  if (!entry_fits_slot(entry_off)) return kFailed;
  if (root->table == 0 || over_grow_load(root->count + 1, root->capacity)) {
    const uint64_t want = slots_wanted(root->count + 1);
    if (want == 0 || !rebuild(ipool, root, want)) return kFailed;
  }
  const auto crc = static_cast<uint32_t>(entry_at(dict_base, entry_off)->key_crc);
  place(slots_of(ipool, root), root->capacity, hash_slot(hash_of_crc(crc), entry_off));
  ++root->count;
  return kDone;
}

int64_t hash_remove_locked(SlabPool* ipool, HashRoot* root, const void* dict_base, uint64_t entry_off) {
  if (root->table == 0 || !entry_fits_slot(entry_off)) return kNothingToDo;
  const RbtreeNode* entry = entry_at(dict_base, entry_off);
  const uint32_t h = hash_of_crc(crc32_short(node_key(entry), entry->key_len));
  uint64_t* slots = slots_of(ipool, root);
  const uint64_t capacity = root->capacity;
  uint64_t hole = find_slot(slots, capacity, h, entry_off);
  if (hole == capacity) return kNothingToDo;
  // Backward shift: pull each following displaced slot one step nearer its home, up to the first
  // empty slot or slot at home. No tombstones, so probes stay as short as the entries make them.
  for (;;) {
    uint64_t next = hole + 1 == capacity ? 0 : hole + 1;
    const uint64_t slot = slots[next];
    if (slot == 0 || hash_home(hash_slot_hash(slot), capacity) == next) break;
    slots[hole] = slot;
    hole = next;
  }
  slots[hole] = 0;
  --root->count;
  if (capacity > kHashMinSlots && root->count * kShrinkDen < capacity * kShrinkNum) {
    const uint64_t want = slots_wanted(root->count);
    if (want * kShrinkGainDen <= capacity * kShrinkGainNum) (void)rebuild(ipool, root, want);
  }
  return kDone;
}

int64_t hash_replace_locked(SlabPool* ipool, HashRoot* root, const void* dict_base, uint64_t old_off,
                            uint64_t new_off) {
  if (root->table == 0 || !entry_fits_slot(old_off)) return kNothingToDo;
  if (!entry_fits_slot(new_off)) return kFailed;
  const uint32_t h = hash_of_crc(static_cast<uint32_t>(entry_at(dict_base, new_off)->key_crc));
  uint64_t* slots = slots_of(ipool, root);
  const uint64_t i = find_slot(slots, root->capacity, h, old_off);
  if (i == root->capacity) return kNothingToDo;
  slots[i] = hash_slot(h, new_off);
  return kDone;
}

void hash_clear_locked(SlabPool* ipool, HashRoot* root) {
  const uint64_t table = root->table;
  *root = HashRoot{};
  if (table != 0) slab_free_locked(ipool, _lfof_<void>(ipool, table));
}

}  // namespace quillmap
