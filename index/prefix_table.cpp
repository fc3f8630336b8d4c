// The writer of a longest-prefix table (index/prefix_table.h).
//
// Every change is a prefix range [lo, hi] (the changed prefix's addresses, or all of them). Only the
// slots that meet that range are computed again from the shadow; the slots before and after keep
// their children and leaves (spliced around the new ones), so a change costs the nodes on its path
// plus, for a short prefix, the nodes below it that inherit its value. Writes into what stays are
// queued as patches and made only once every allocation has succeeded.
//
// What a block of slots holds is read from the shadow in one ordered walk: for a node at depth d with
// stride w, a prefix of length d < L <= d + w is "painted" over the slots it covers (longer over
// shorter), and a prefix longer than d + w makes its slot a child; the walk then skips the rest of
// that slot with one lower_bound, so a node costs its own prefixes and children, not the subtree's.
#include "index/prefix_table.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "lpctrie/cidr.h"
#include "store/slab.h"

namespace quillmap {

namespace {

using Key = unsigned __int128;

constexpr unsigned kBits = 128;

Key prefix_mask(unsigned len) noexcept { return len == 0 ? 0 : ~Key{0} << (kBits - len); }
Key range_last(Key key, unsigned len) noexcept { return key | ~prefix_mask(len); }

// Slot s of the node at `base` (depth d, stride w), and the slot of `key` there.
Key slot_base(Key base, unsigned d, unsigned w, uint64_t s) noexcept { return base | (Key{s} << (kBits - d - w)); }
uint64_t slot_of(Key key, unsigned d, unsigned w) noexcept {
  return static_cast<uint64_t>(key >> (kBits - d - w)) & ((uint64_t{1} << w) - 1);
}

unsigned log2_exact(uint64_t n) noexcept { return static_cast<unsigned>(__builtin_ctzll(n)); }

bool test_bit(const uint64_t* words, unsigned i) noexcept { return (words[i / 64] >> (i % 64) & 1) != 0; }
void set_bit(uint64_t* words, unsigned i) noexcept { words[i / 64] |= uint64_t{1} << (i % 64); }
unsigned popcount4(const uint64_t* words) noexcept { return prefix_detail::rank(words, 3, words[3]); }

// Bits [from, to) of a node's 256-bit vector that fall into word q, as a mask of that word.
uint64_t range_mask(unsigned q, unsigned from, unsigned to) noexcept {
  const unsigned lo = std::clamp(from, q * 64, q * 64 + 64) - q * 64;
  const unsigned hi = std::clamp(to, q * 64, q * 64 + 64) - q * 64;
  if (hi <= lo) return 0;
  const uint64_t below_hi = hi == 64 ? ~uint64_t{0} : (uint64_t{1} << hi) - 1;
  return below_hi & ~((uint64_t{1} << lo) - 1);
}
// Set bits among 0..p-1.
unsigned count_below(const uint64_t* words, unsigned p) noexcept {
  unsigned n = 0;
  for (unsigned q = 0; q < 4; ++q) n += prefix_detail::bits_set(words[q] & range_mask(q, 0, p));
  return n;
}
// dst takes src's bits [from, to).
void copy_bits(uint64_t* dst, const uint64_t* src, unsigned from, unsigned to) noexcept {
  for (unsigned q = 0; q < 4; ++q) {
    const uint64_t m = range_mask(q, from, to);
    dst[q] = (dst[q] & ~m) | (src[q] & m);
  }
}
// The first clear bit at or after p, or 256 when there is none.
unsigned first_clear_from(const uint64_t* words, unsigned p) noexcept {
  for (unsigned q = p / 64; q < 4; ++q) {
    const uint64_t clear = ~words[q] & range_mask(q, p, kPrefixNodeSlots);
    if (clear != 0) return q * 64 + static_cast<unsigned>(__builtin_ctzll(clear));
  }
  return kPrefixNodeSlots;
}

}  // namespace

// One update in progress: what it allocated (freed again if it fails) and what it replaced (freed
// once the new part is switched in).
struct PrefixTableWriter::Build {
  SlabPool* pool;
  const std::map<ShadowKey, uint64_t>& shadow;
  const uint32_t* lengths;  // prefixes of the shadow by length, 0..128
  Key lo;         // the changed range
  Key hi;
  unsigned len;   // its prefix length
  std::vector<void*> fresh;
  std::vector<void*> garbage;
  // Words of arrays (and node records) that stay, to be written in place once nothing can fail any
  // more: a failed update must leave the old table exactly as it was.
  std::vector<std::pair<uint64_t*, uint64_t>> patches;
  int64_t nodes_delta = 0;
  bool failed = false;

  // The slots [first, first + count) of the node at (base, d) with stride w: each one's longest
  // painted value (`inherited` where none is painted) and whether it is a child. count is a power of
  // two and first a multiple of it.
  void read_block(Key base, unsigned d, unsigned w, uint64_t first, uint64_t count, uint64_t inherited,
                  std::vector<uint64_t>* values, std::vector<char>* child) const {
    values->assign(count, inherited);
    child->assign(count, 0);
    Key block_lo = slot_base(base, d, w, first);
    unsigned block_len = d + w - log2_exact(count);
    Key block_hi = range_last(block_lo, block_len);
    std::vector<std::tuple<unsigned, Key, uint64_t>> painted;  // (length, key, value)
    // Prefixes that cover the whole block and start before it.
    for (unsigned l = d + 1; l < block_len; ++l) {
      if (lengths[l] == 0) continue;
      auto it = shadow.find({block_lo & prefix_mask(l), l});
      if (it != shadow.end()) painted.emplace_back(l, it->first.first, it->second);
    }
    auto it = shadow.lower_bound({block_lo, 0});
    while (it != shadow.end() && it->first.first <= block_hi) {
      auto [key, l] = it->first;
      if (l <= d) {  // covers the whole node: already in `inherited`
        ++it;
      } else if (l <= d + w) {
        painted.emplace_back(l, key, it->second);
        ++it;
      } else {
        uint64_t s = slot_of(key, d, w);
        (*child)[s - first] = 1;
        if (s + 1 == first + count) break;
        it = shadow.lower_bound({slot_base(base, d, w, s + 1), 0});
      }
    }
    std::sort(painted.begin(), painted.end(),
              [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    for (auto [l, key, value] : painted) {
      uint64_t from = slot_of(key, d, w);
      uint64_t to = from + (uint64_t{1} << (d + w - l));
      from = std::max(from, first);
      to = std::min(to, first + count);
      for (uint64_t s = from; s < to; ++s) (*values)[s - first] = value;
    }
  }

  // The slots of a node at depth d that meet the changed range (the whole node when there is no old
  // node to copy the rest from).
  std::pair<uint64_t, uint64_t> affected(unsigned d, unsigned w, bool have_old) const {
    if (!have_old || len <= d) return {0, uint64_t{1} << w};
    if (len <= d + w) return {slot_of(lo, d, w), uint64_t{1} << (d + w - len)};
    return {slot_of(lo, d, w), 1};
  }

  uint64_t store(const void* src, uint64_t bytes) {
    void* p = slab_alloc_locked(pool, bytes);
    if (p == nullptr) {
      failed = true;
      return 0;
    }
    std::memcpy(p, src, bytes);
    fresh.push_back(p);
    return offset_of_record(pool, p);
  }

  // Queues the words of `src` that differ from `dst` (bytes long, a multiple of 8).
  void patch(void* dst, const void* src, uint64_t bytes) {
    auto* d = static_cast<uint64_t*>(dst);
    const auto* s = static_cast<const uint64_t*>(src);
    for (uint64_t i = 0; i < bytes / sizeof(uint64_t); ++i) {
      if (d[i] != s[i]) patches.emplace_back(d + i, s[i]);
    }
  }

  // The array for `count` items of `bytes_each` at `src`: the old array at old_off when it has the
  // same length (changed in place at commit), otherwise a new one, the old one retired.
  uint64_t keep_or_store(uint64_t old_off, uint64_t old_count, const void* src, uint64_t count, uint64_t bytes_each) {
    if (old_off != 0 && old_count == count) {
      patch(_lfof_<void>(pool, old_off), src, count * bytes_each);
      return old_off;
    }
    if (old_off != 0) garbage.push_back(_lfof_<void>(pool, old_off));
    return count == 0 ? 0 : store(src, count * bytes_each);
  }

  void apply_patches() {
    for (auto [word, value] : patches) *word = value;
  }

  void retire_arrays(const PrefixNode& n) {
    if (n.children_off != 0) garbage.push_back(_lfof_<void>(pool, n.children_off));
    if (n.leaves_off != 0) garbage.push_back(_lfof_<void>(pool, n.leaves_off));
    --nodes_delta;
  }

  void retire_subtree(const PrefixNode& n) {
    const PrefixNode* kids = _lfof_<const PrefixNode>(pool, n.children_off);
    for (unsigned i = 0, count = popcount4(n.child_bits); i < count; ++i) retire_subtree(kids[i]);
    retire_arrays(n);
  }

  // The node at (base, d) anew into *out, given what its slots inherit and the node it replaces (or
  // nullptr). False when the pool ran out.
  bool build_node(Key base, unsigned d, uint64_t inherited, const PrefixNode* old, PrefixNode* out) {
    return old == nullptr ? build_fresh(base, d, inherited, out) : splice(base, d, inherited, *old, out);
  }

  // A node where there was none: every slot from the shadow.
  bool build_fresh(Key base, unsigned d, uint64_t inherited, PrefixNode* out) {
    constexpr unsigned w = kPrefixNodeBits;
    std::vector<uint64_t> values;
    std::vector<char> child;
    read_block(base, d, w, 0, kPrefixNodeSlots, inherited, &values, &child);
    PrefixNode n{};
    std::vector<PrefixNode> kids;
    std::vector<uint64_t> runs;
    for (unsigned s = 0; s < kPrefixNodeSlots; ++s) {
      if (child[s] != 0) {
        PrefixNode kid;
        if (!build_fresh(slot_base(base, d, w, s), d + w, values[s], &kid)) return false;
        set_bit(n.child_bits, s);
        kids.push_back(kid);
      } else if (runs.empty() || runs.back() != values[s]) {
        set_bit(n.run_bits, s);
        runs.push_back(values[s]);
      }
    }
    if (!kids.empty() && (n.children_off = store(kids.data(), kids.size() * sizeof(PrefixNode))) == 0) return false;
    if (!runs.empty() && (n.leaves_off = store(runs.data(), runs.size() * sizeof(uint64_t))) == 0) return false;
    ++nodes_delta;
    *out = n;
    return true;
  }

  // The node `old` with its affected slots [first, end) computed again; the slots before and after
  // keep their children and leaves. Only the first leaf slot after the range can change its run bit
  // (it starts a run exactly when its value differs from the last leaf value before it).
  bool splice(Key base, unsigned d, uint64_t inherited, const PrefixNode& old, PrefixNode* out) {
    constexpr unsigned w = kPrefixNodeBits;
    auto [first64, count64] = affected(d, w, true);
    const unsigned first = static_cast<unsigned>(first64);
    const unsigned end = static_cast<unsigned>(first64 + count64);
    std::vector<uint64_t> values;
    std::vector<char> child;
    read_block(base, d, w, first, count64, inherited, &values, &child);

    const PrefixNode* old_kids = _lfof_<const PrefixNode>(pool, old.children_off);
    const uint64_t* old_leaves = _lfof_<const uint64_t>(pool, old.leaves_off);
    const unsigned old_kid_count = popcount4(old.child_bits);
    const unsigned old_run_count = popcount4(old.run_bits);
    PrefixNode n{};
    copy_bits(n.child_bits, old.child_bits, 0, first);
    copy_bits(n.child_bits, old.child_bits, end, kPrefixNodeSlots);
    copy_bits(n.run_bits, old.run_bits, 0, first);
    const unsigned kids_before = count_below(old.child_bits, first);
    unsigned kid_rank = kids_before;
    std::vector<PrefixNode> kids;  // the affected slots' children; those before and after stay
    std::vector<uint64_t> runs(old_leaves, old_leaves + count_below(old.run_bits, first));
    for (unsigned s = first; s < end; ++s) {
      const PrefixNode* old_kid = test_bit(old.child_bits, s) ? &old_kids[kid_rank++] : nullptr;
      if (child[s - first] != 0) {
        PrefixNode kid;
        if (!build_node(slot_base(base, d, w, s), d + w, values[s - first], old_kid, &kid)) return false;
        set_bit(n.child_bits, s);
        kids.push_back(kid);
        continue;
      }
      if (old_kid != nullptr) retire_subtree(*old_kid);
      if (runs.empty() || runs.back() != values[s - first]) {
        set_bit(n.run_bits, s);
        runs.push_back(values[s - first]);
      }
    }
    const unsigned old_affected_kids = kid_rank - kids_before;
    if (const unsigned s0 = first_clear_from(old.child_bits, end); s0 < kPrefixNodeSlots) {
      const unsigned run = count_below(old.run_bits, s0 + 1) - 1;  // the old run holding slot s0
      if (runs.empty() || runs.back() != old_leaves[run]) {
        set_bit(n.run_bits, s0);
        runs.push_back(old_leaves[run]);
      }
      copy_bits(n.run_bits, old.run_bits, s0 + 1, kPrefixNodeSlots);
      runs.insert(runs.end(), old_leaves + run + 1, old_leaves + old_run_count);
    }
    // A change inside one slot mostly keeps the number of children and of runs: the arrays stay
    // where they are and only their changed words are written.
    if (kids.size() == old_affected_kids) {  // only the affected records can differ
      n.children_off = old.children_off;
      if (!kids.empty()) patch(const_cast<PrefixNode*>(old_kids) + kids_before, kids.data(), kids.size() * sizeof(PrefixNode));
    } else {
      kids.insert(kids.begin(), old_kids, old_kids + kids_before);
      kids.insert(kids.end(), old_kids + kid_rank, old_kids + old_kid_count);
      n.children_off = keep_or_store(old.children_off, old_kid_count, kids.data(), kids.size(), sizeof(PrefixNode));
      if (failed) return false;
    }
    n.leaves_off = keep_or_store(old.leaves_off, old_run_count, runs.data(), runs.size(), sizeof(uint64_t));
    if (failed) return false;
    *out = n;
    return true;
  }
};

PrefixTableWriter::Key PrefixTableWriter::key_of(const uint8_t* addr, unsigned len) const noexcept {
  Key k = 0;
  for (unsigned i = 0; i < key_bits_ / 8; ++i) k |= Key{addr[i]} << (kBits - 8 - 8 * i);
  return k & prefix_mask(len);
}

int64_t PrefixTableWriter::init(SlabPool* ipool, PrefixRoot* root, int family) noexcept {
  pool_ = ipool;
  root_ = root;
  shadow_.clear();
  lengths_.fill(0);
  std::memset(root, 0, sizeof(*root));
  if (family == static_cast<int>(kFamilyInet)) {
    key_bits_ = 32;
  } else if (family == static_cast<int>(kFamilyInet6)) {
    key_bits_ = 128;
  } else {
    key_bits_ = 0;
    return kFailed;
  }
  void* top = slab_calloc_locked(pool_, kPrefixTopSlots * sizeof(uint64_t));
  if (top == nullptr) return kFailed;
  root->key_bits = key_bits_;
  root->bytes = slab_allocation_size(pool_, top);
  root->top_off = offset_of_record(pool_, top);
  return kDone;
}

// Recomputes the first-level slots that meet the prefix range (lo, len), and below them what the
// change reaches; switches the slots, then frees what they no longer name.
int64_t PrefixTableWriter::update(Key lo, unsigned len) noexcept {
  constexpr unsigned w = kPrefixTopBits;
  uint64_t* top = _lfof_<uint64_t>(pool_, root_->top_off);
  Build b{pool_, shadow_, lengths_.data(), lo, range_last(lo, len), len, {}, {}, {}, 0, false};
  auto [first, count] = b.affected(0, w, true);
  auto it = shadow_.find({0, 0});
  std::vector<uint64_t> values;
  std::vector<char> child;
  b.read_block(0, 0, w, first, count, it != shadow_.end() ? it->second : 0, &values, &child);

  std::vector<uint64_t> words(count);
  for (uint64_t i = 0; i < count && !b.failed; ++i) {
    uint64_t old_word = top[first + i];
    const PrefixNode* old = (old_word & kPrefixNodeFlag) != 0
                                ? _lfof_<const PrefixNode>(pool_, old_word & ~kPrefixNodeFlag)
                                : nullptr;
    if (child[i] != 0) {
      PrefixNode n;
      if (!b.build_node(slot_base(0, 0, w, first + i), w, values[i], old, &n)) break;
      if (old != nullptr) {  // the node record stays; its changed words are written at commit
        b.patch(const_cast<PrefixNode*>(old), &n, sizeof(n));
        words[i] = old_word;
        continue;
      }
      uint64_t off = b.store(&n, sizeof(n));
      if (off == 0) break;
      words[i] = off | kPrefixNodeFlag;
    } else {
      if (old != nullptr) b.retire_subtree(*old);
      words[i] = values[i];
    }
    if (old != nullptr) b.garbage.push_back(const_cast<PrefixNode*>(old));
  }
  if (b.failed) {
    for (void* p : b.fresh) slab_free_locked(pool_, p);
    return kFailed;
  }
  b.apply_patches();
  for (uint64_t i = 0; i < count; ++i) top[first + i] = words[i];
  for (void* p : b.fresh) root_->bytes += slab_allocation_size(pool_, p);
  for (void* p : b.garbage) {
    root_->bytes -= slab_allocation_size(pool_, p);
    slab_free_locked(pool_, p);
  }
  root_->nodes += b.nodes_delta;
  root_->prefixes = shadow_.size();
  return kDone;
}

int64_t PrefixTableWriter::put(const uint8_t* addr, unsigned len, uint64_t entry_off) noexcept {
  if (root_ == nullptr || root_->top_off == 0 || len > key_bits_ || entry_off == 0 ||
      (entry_off & kPrefixNodeFlag) != 0) {
    return kFailed;
  }
  Key k = key_of(addr, len);
  auto [it, added] = shadow_.try_emplace({k, len}, entry_off);
  if (added) ++lengths_[len];
  if (!added) {
    if (it->second == entry_off) return kDone;
    it->second = entry_off;
  }
  return update(k, len);
}

int64_t PrefixTableWriter::remove(const uint8_t* addr, unsigned len) noexcept {
  if (root_ == nullptr || root_->top_off == 0 || len > key_bits_) return kFailed;
  Key k = key_of(addr, len);
  if (shadow_.erase({k, len}) == 0) return kNothingToDo;
  --lengths_[len];
  return update(k, len);
}

int64_t PrefixTableWriter::clear() noexcept {
  if (root_ == nullptr || root_->top_off == 0) return kFailed;
  shadow_.clear();
  lengths_.fill(0);
  uint64_t* top = _lfof_<uint64_t>(pool_, root_->top_off);
  Build b{pool_, shadow_, lengths_.data(), 0, ~Key{0}, 0, {}, {}, {}, 0, false};
  for (uint64_t s = 0; s < kPrefixTopSlots; ++s) {
    uint64_t word = top[s];
    top[s] = 0;
    if ((word & kPrefixNodeFlag) == 0) continue;
    PrefixNode* n = _lfof_<PrefixNode>(pool_, word & ~kPrefixNodeFlag);
    b.retire_subtree(*n);
    b.garbage.push_back(n);
  }
  for (void* p : b.garbage) slab_free_locked(pool_, p);
  root_->bytes = slab_allocation_size(pool_, top);
  root_->nodes = 0;
  root_->prefixes = 0;
  return kDone;
}

int64_t PrefixTableWriter::rebuild(const std::vector<Prefix>& prefixes) noexcept {
  if (clear() != kDone) return kFailed;
  for (const Prefix& p : prefixes) {
    if (p.len > key_bits_ || p.entry_off == 0 || (p.entry_off & kPrefixNodeFlag) != 0) {
      shadow_.clear();
      lengths_.fill(0);
      return kFailed;
    }
    if (shadow_.insert_or_assign({key_of(p.addr, p.len), p.len}, p.entry_off).second) ++lengths_[p.len];
  }
  return update(0, 0);
}

}  // namespace quillmap
