// The data file: the dictionary saved as YAML text, and read back.
//
// File layout:
//   "# This file is generated automatically by quillmap\n"
//   "# <local time of the dump, %a, %d %b %Y %T %z>\n"
//   ---
//   <key>:                      one member per entry, in key-tree order
//     value: <value bytes>
//     expires: <seconds since the epoch as %ld; 0 never>
//     is_address: <true | false>
//   ...
// The text is produced and read through libyaml's event interface; a text that cannot be written plain
// is quoted by the emitter, with the tag mark "!" in front (! 'text'). An empty dictionary is the line
// "--- {}" and the end marker. The loader reads only scalar texts, never tags or styles.
//
// The data file's identity (its inode) keys the shared segment, so it is never renamed or replaced: a
// dump rewrites it in place. To keep the last good file when a dump fails, the whole text is produced
// in memory first, written and synced to "<path>.tmp" beside the data file, and only then written
// over the data file; the temporary file is removed once the data file is synced.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <string>

#include "store/layout.h"

namespace quillmap {

// Where a data file lies: `name` relative to the directory `dir_fd` (AT_FDCWD: a path as given,
// relative names against the working directory). The descriptor stays the caller's. With no_follow,
// a symbolic link at `name` (or at the dump's temporary file beside it) is refused instead of
// followed. `shown` is the path that messages name.
struct FileLocation {
  int dir_fd = AT_FDCWD;
  std::string name;
  std::string shown;
  bool no_follow = false;

  static FileLocation at_path(const char* path) { return FileLocation{AT_FDCWD, path, path, false}; }
};

// Writes the whole dictionary to `path`. Holds the read lock while the text is produced (in memory),
// then writes it as described above. Returns the number of entries written (0 or more), -1 on a
// file, timestamp or emitter failure (the file at `path` is then left as it was, unless the in-place
// rewrite itself failed, which is logged naming the temporary file that still holds the complete
// dump), -3 when the read lock was not obtained ("rbtree_dump: could not get read lock").
// Entries are written whatever their expiry. A missing file is created with mode 0600.
int64_t rbtree_dump(SlabPool* pool, const FileLocation& file);
inline int64_t rbtree_dump(SlabPool* pool, const char* path) {
  return path != nullptr ? rbtree_dump(pool, FileLocation::at_path(path)) : kFailed;
}

// rbtree_dump to `path`, or to settings.data_path when `path` is null. On success logs INFO
// "Dumped %ld entries to %s" and returns 0; a failure returns rbtree_dump's negative result (-1, -3).
// The DUMP action calls this.
int64_t dump_tree(SlabPool* pool, const char* path);
int64_t dump_tree(SlabPool* pool, const FileLocation& file);

// Reads the data file at `path` into the store, entry by entry, each under a write hold of its own:
// other processes see the store fill up. For the worker's start. Returns the number of entries handed
// to the store; -1 when `path` is null (no message), the file cannot be opened or the YAML does not
// parse (the entries stored before a syntax error stay); -3 when a write lock was not obtained
// ("load_data: could not get write lock").
// An entry is skipped, with a message, when it expired before the load started (INFO "%s %s was not
// loaded as it was expired"; an expiry equal to the load's start time is loaded), when it has no
// "value" member, or when its key is longer than 65535 bytes. An entry whose key is already in the
// store is handed over but leaves the stored entry as it is (see load_key_locked). When the store is
// empty as the load begins, no entry is looked up before it is stored (the key tree is searched once
// per entry, not twice): a key that the file names twice is then refused by the insertion itself,
// with WARN "Could not add key %.*s because key exists", and its first entry stays.
int64_t load_data(SlabPool* pool, const char* path);

// The LOAD action as a whole: parses the file at `path` completely into process memory first; only
// when that succeeded, purges the dictionary (rbtree_purge, address entries removed through
// delete_ipaddr_by_node_locked) and stores the parsed entries, each under a write hold of its own
// (into the emptied store as load_data does into an empty one).
// Returns the number of entries handed to the store (0 or more); -1 when `path` is null, the file
// cannot be opened or does not parse (the dictionary is then left untouched), or the purge did not
// succeed (nothing loaded); -3 when a write lock for storing was not obtained after the purge (the
// entries stored until then stay; repeating the whole call is safe).
// The dispatcher logs "Loaded %ld entries from %s" for a count of 0 or more.
int64_t load_replacing(SlabPool* pool, const FileLocation& file);
inline int64_t load_replacing(SlabPool* pool, const char* path) {
  return path != nullptr ? load_replacing(pool, FileLocation::at_path(path)) : kFailed;
}

// Stores one entry read from the data file, the caller holding the write lock. Key and value are
// (pointer, length); an address entry's key must parse as an address (str_to_cidr) and its prefix is
// added to the trie of its family. Returns 0 when stored; -4 when an entry with this key is already in
// the store (it is kept unchanged: on a restart the surviving store is newer than the file); -1 when
// the key is longer than 65535 bytes, an address key does not parse, or memory ran out (in the store
// or in the trie; nothing is left behind then).
int64_t load_key_locked(SlabPool* pool, const char* key, uint64_t key_len, const char* value,
                        uint64_t value_len, uint64_t expires, bool is_address);

}  // namespace quillmap
