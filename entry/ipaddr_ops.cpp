#include "entry/ipaddr_ops.h"

#include <arpa/inet.h>

#include "entry/entry_text.h"
#include "entry/intent.h"
#include "entry/key_ops.h"
#include "entry/lock_steps.h"
#include "index/index_upkeep.h"
#include "lpctrie/lpctrie.h"
#include "store/rbtree.h"
#include "store/slab.h"
#include "util/log.h"

namespace quillmap {

namespace {

LpcNode32* trie4_of(SlabPool* pool) { return _lfof_<LpcNode32>(pool, pool->trie4); }
LpcNode128* trie6_of(SlabPool* pool) { return _lfof_<LpcNode128>(pool, pool->trie6); }

struct Halves {
  uint64_t lo;
  uint64_t hi;
};

Halves halves_of(const uint8_t* s6) {
  const unsigned __int128 v = s6addr_to_uint128(s6);
  return {static_cast<uint64_t>(v), static_cast<uint64_t>(v >> 64)};
}

// Removes the prefix of `cidr` from its trie: kDone, or kNothingToDo when it was not stored.
int64_t delete_prefix_locked(SlabPool* pool, const Cidr* cidr) {
  if (cidr->family == kFamilyInet6) {
    const Halves addr = halves_of(cidr->addr6);
    const Halves mask = halves_of(cidr->mask6);
    const int64_t rc = lpctrie128_delete(pool, trie6_of(pool), addr.lo, addr.hi, mask.lo, mask.hi);
    if (rc == kDone) index_prefix_removed(pool, *cidr);
    return rc;
  }
  const int64_t rc = lpctrie32_delete(pool, trie4_of(pool), cidr->addr4, cidr->mask4);
  if (rc == kDone) index_prefix_removed(pool, *cidr);
  return rc;
}

const char* key_chars(const RbtreeNode* node) { return reinterpret_cast<const char*>(node_key(node)); }

// Links a new address entry and its prefix (write lock held). kDone, or kFailed with nothing kept of
// the new entry (the trie is unchanged by a failed insertion).
int64_t add_both_homes_locked(SlabPool* pool, const char* key, uint64_t key_len, const char* value,
                              uint64_t value_len, uint64_t expires, const Cidr* cidr) {
  RbtreeNode* node = nullptr;
  if (insert_key_locked(pool, key, key_len, value, value_len, expires, 1, &node) != kDone) return kFailed;
  if (add_cidr_locked(pool, cidr, offset_of_record(pool, node)) != kDone) {
    log_msg(kLogWarn, "Could not allocate memory for %.*s in lpctrie", log_len(key_len), log_ptr(key));
    rbtree_delete(pool, key_tree_of(pool), node);
    slab_free_locked(pool, node);
    return kFailed;
  }
  return kDone;
}

}  // namespace

int64_t parse_address_key(const char* key, uint64_t key_len, Cidr* out) {
  if (key == nullptr && key_len != 0) return kFailed;
  // -4 (host bits were set and have been cleared) is as good as 0: the cleared prefix is indexed.
  if (str_to_cidr(log_ptr(key), key_len, out) == kFailed) return kFailed;
  if (out->family != kFamilyInet6) {
    out->addr4 = ntohl(out->addr4);
    out->mask4 = ntohl(out->mask4);
  }
  return kDone;
}

int64_t get_ipaddr(SlabPool* pool, const char* key, uint64_t key_len) {
  Cidr cidr;
  if (parse_address_key(key, key_len, &cidr) != kDone) return kFailed;
  ReadHold share(pool, "get_ipaddr");
  if (!share) return kLockTimeout;
  uint64_t value;
  if (cidr.family == kFamilyInet6) {
    const Halves addr = halves_of(cidr.addr6);
    value = lpctrie128_find(pool, trie6_of(pool), addr.lo, addr.hi);
  } else {
    value = lpctrie32_find(pool, trie4_of(pool), cidr.addr4);
  }
  return value != kLpcNotFound ? kDone : kNothingToDo;
}

int64_t add_ipaddr(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                   uint64_t expires) {
  if (const int64_t rc = admit_new_key(pool, "add_ipaddr", key, key_len, value, value_len); rc != kDone) return rc;
  Cidr cidr;
  if (parse_address_key(key, key_len, &cidr) != kDone) return kFailed;
  return _add_ipaddr(pool, key, key_len, value, value_len, expires, &cidr);
}

int64_t _add_ipaddr(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                    uint64_t expires, const Cidr* cidr) {
  WriteHold hold(pool, "_add_ipaddr");
  if (!hold) return kLockTimeout;
  return add_both_homes_locked(pool, key, key_len, value, value_len, expires, cidr);
}

int64_t set_ipaddr(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                   uint64_t expires) {
  if (check_storable("set_ipaddr", key, key_len, value, value_len) != kDone) return kFailed;
  RbtreeNode* found = nullptr;
  if (lookup_entry(pool, "set_ipaddr", key, key_len, &found) != kDone) return kLockTimeout;
  Cidr cidr;
  if (parse_address_key(key, key_len, &cidr) != kDone) return kFailed;
  if (found == nullptr) {
    const int64_t rc = _add_ipaddr(pool, key, key_len, value, value_len, expires, &cidr);
    return rc == kDone ? kNothingToDo : rc;
  }
  // Replacement within one write hold, so that no reader ever follows the prefix to the released old
  // entry. The new entry and its prefix exist before the old entry goes, so a failure keeps the old
  // entry and its prefix as they were. The prefix text is the same: storing it again only points it
  // at the new entry. A new value that fits the old entry's chunk replaces it in place.
  WriteHold hold(pool, "set_ipaddr");
  if (!hold) return kLockTimeout;
  if (found->is_address != 0 && value_len <= kIntentBytes && value_fits_in_place(pool, found, value_len)) {
    // The prefix is stored again first: another text of the same prefix may own it now, and a SET
    // makes this text its owner (a failure changes nothing).
    if (add_cidr_locked(pool, &cidr, offset_of_record(pool, found)) != kDone) {
      log_msg(kLogWarn, "Could not allocate memory for %.*s in lpctrie", log_len(key_len), log_ptr(key));
      return kFailed;
    }
    overwrite_value_in_place_locked(pool, found, value, value_len, expires);
    return kDone;
  }
  RbtreeNode* fresh = new_entry_locked(pool, key, key_len, value, value_len, expires, 1);
  if (fresh == nullptr) return kFailed;
  if (add_cidr_locked(pool, &cidr, offset_of_record(pool, fresh)) != kDone) {
    log_msg(kLogWarn, "Could not allocate memory for %.*s in lpctrie", log_len(key_len), log_ptr(key));
    slab_free_locked(pool, fresh);
    return kFailed;
  }
  note_entry_in_flight(pool, fresh);
  rbtree_delete(pool, key_tree_of(pool), found);
  slab_free_locked(pool, found);
  rbtree_insert(pool, key_tree_of(pool), fresh);
  return kDone;
}

int64_t delete_ipaddr(SlabPool* pool, const char* key, uint64_t key_len) {
  RbtreeNode* found = nullptr;
  if (lookup_entry(pool, "delete_ipaddr", key, key_len, &found) != kDone) return kLockTimeout;
  if (found == nullptr) {
    log_msg(kLogWarn, "Could not delete non-existent key %.*s", log_len(key_len), log_ptr(key));
    return kNothingToDo;
  }
  Cidr cidr;
  if (parse_address_key(key, key_len, &cidr) != kDone) return kFailed;
  WriteHold hold(pool, "delete_ipaddr");
  if (!hold) return kLockTimeout;
  return _del_ipaddr_locked(pool, found, &cidr);
}

int64_t add_cidr_locked(SlabPool* pool, const Cidr* cidr, uint64_t entry_offset) {
  int64_t rc;
  if (cidr->family == kFamilyInet6) {
    const Halves addr = halves_of(cidr->addr6);
    const Halves mask = halves_of(cidr->mask6);
    rc = lpctrie128_insert(pool, trie6_of(pool), addr.lo, addr.hi, mask.lo, mask.hi, entry_offset);
  } else {
    rc = lpctrie32_insert(pool, trie4_of(pool), cidr->addr4, cidr->mask4, entry_offset);
  }
  if (rc != kDone) return kFailed;
  index_prefix_stored(pool, *cidr, entry_offset);
  return kDone;
}

int64_t _del_ipaddr_locked(SlabPool* pool, RbtreeNode* node, const Cidr* cidr) {
  if (delete_prefix_locked(pool, cidr) == kNothingToDo) {
    log_msg(kLogWarn, "CIDR value for '%.*s' is missing: nothing to clear", static_cast<int>(node->key_len),
            key_chars(node));
  }
  rbtree_delete(pool, key_tree_of(pool), node);
  slab_free_locked(pool, node);
  return kDone;
}

int64_t delete_ipaddr_by_node_locked(SlabPool* pool, RbtreeNode* node) {
  if (node == nullptr) {
    log_msg(kLogWarn, "Could not delete node by NULL pointer");
    return kNothingToDo;
  }
  Cidr cidr;
  if (parse_address_key(key_chars(node), node->key_len, &cidr) != kDone) {
    log_msg(kLogError, "Could not convert key to CIDR for '%.*s'", static_cast<int>(node->key_len), key_chars(node));
    return kFailed;
  }
  return _del_ipaddr_locked(pool, node, &cidr);
}

}  // namespace quillmap
