// Address key operations (GET, ADD, SET, DEL on address requests) and the locked routines that keep
// an address entry's two homes consistent.
//
// An address entry lives
//   1. in the key tree, as an entry with is_address 1 whose key is the request's text exactly as
//      received (10.0.0.0/8 and 10.0.0.1/8 are two keys), and
//   2. in the prefix trie of its family (trie4 or trie6 of the SlabPool header), as the prefix that
//      str_to_cidr makes of that text (host bits cleared), whose value is the entry's offset.
// Both homes change under one write hold. Adding puts the entry in the key tree first and the prefix
// second, undoing the first when the second fails; removing takes the prefix out first. Invariant:
// every trie value names a live entry whose own text parses to that prefix. Several entries may
// share one prefix (10.0.0.0/8, 10.0.0.1/8); the prefix then names the one added or set last, and
// removing any of them removes the prefix.
//
// GET answers whether a stored prefix covers the key's address (longest-prefix match; the request's
// own mask only clears host bits); ADD, SET and DEL work on the exact key text. A key that is not an
// address fails with -1 and no message.
//
// An IPv4 Cidr handed to the *_locked routines has addr4 and mask4 in host order already (see
// parse_address_key); an IPv6 one stays in network order.
//
// Result codes: kDone 0, kFailed -1, kLockTimeout -3, kNothingToDo -4.
#pragma once

#include <cstdint>

#include "lpctrie/cidr.h"
#include "store/layout.h"

namespace quillmap {

// str_to_cidr, treating "bits below the prefix were cleared" as success, then IPv4 address and mask
// converted to host order. 0, or -1 when the text is not an address key.
int64_t parse_address_key(const char* key, uint64_t key_len, Cidr* out);

// 0 a stored prefix of the key's family covers its address; -4 none does; -1 not an address (no lock
// taken); -3 read lock not obtained.
int64_t get_ipaddr(SlabPool* pool, const char* key, uint64_t key_len);

// 0 added; -4 the key text exists already, as either kind of entry (WARN "Could not add key %.*s
// because key exists"); -1 refused (key over 65535 bytes, key or value not valid UTF-8: ERROR, no
// lock taken), not an address, or no memory; -3.
int64_t add_ipaddr(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                   uint64_t expires);

// 0 an existing entry was replaced; -4 the key was absent and has been added; -1 refused as for
// add_ipaddr, not an address, or no memory; -3. Replacing happens under one write hold: the old entry
// goes, the new one comes and the prefix is pointed at it; if the new one cannot be stored, the prefix
// goes too.
int64_t set_ipaddr(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                   uint64_t expires);

// 0 removed (prefix and entry); -4 no entry with this text (WARN "Could not delete non-existent key
// %.*s"); -1 not an address; -3.
int64_t delete_ipaddr(SlabPool* pool, const char* key, uint64_t key_len);

// Takes the write lock and creates both homes of a new entry for the parsed key. 0; -1 no memory in
// the key tree or in the trie (WARN "Could not allocate memory for %.*s in lpctrie"; the key-tree
// entry is removed again); -3 ("_add_ipaddr: could not get write lock").
int64_t _add_ipaddr(SlabPool* pool, const char* key, uint64_t key_len, const char* value, uint64_t value_len,
                    uint64_t expires, const Cidr* cidr);

// Stores the prefix of `cidr` in the trie of its family with `entry_offset` as its value (an existing
// equal prefix gets the new value). 0, or -1 when the trie could not take it. Write lock held.
int64_t add_cidr_locked(SlabPool* pool, const Cidr* cidr, uint64_t entry_offset);

// Removes the prefix of `cidr` from its trie (a missing one is a WARN "CIDR value for '%.*s' is
// missing: nothing to clear"), then takes `node` out of the key tree and releases it. 0. Write lock
// held.
int64_t _del_ipaddr_locked(SlabPool* pool, RbtreeNode* node, const Cidr* cidr);

// Removes an address entry from its prefix trie and from the key tree and releases it, its prefix
// computed from its own key text. 0; -1 the text does not parse (ERROR "Could not convert key to CIDR
// for '%.*s'", entry kept); -4 null node (WARN "Could not delete node by NULL pointer"). Write lock
// held. Matches AddressEntryRemover (store/sweeps.h) for the expiry sweep and the purge.
int64_t delete_ipaddr_by_node_locked(SlabPool* pool, RbtreeNode* node);

}  // namespace quillmap
