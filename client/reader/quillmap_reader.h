/* Reading a running quillmap dictionary straight from its shared-memory segment.
 *
 * A reader attaches the daemon's segment (found from the daemon's data path, or from its configuration
 * file), takes read shares of the segment lock and looks entries up in place: values by exact key,
 * entries by longest stored prefix covering an address, and every entry in key-tree order. It never
 * changes the dictionary and never writes anything but the lock word.
 *
 * Every call returns QUILLMAP_READER_OK (0), QUILLMAP_READER_NOT_FOUND (1) or a negative error code;
 * quillmap_reader_strerror() gives its text. A handle may be used by one thread at a time; open one
 * handle per thread for parallel lookups.
 *
 * A handle outlives daemon restarts. A stopping daemon removes its segment and a started one creates
 * a new one; at most once a second (and after any lookup that met a change, and at
 * quillmap_reader_refresh()) the handle checks that its segment is still the live one, and when it
 * is not, the next one-shot call or quillmap_reader_begin() attaches the live one (key derived again
 * from the data path, header checked as at open) and answers from it. While no daemon runs, calls
 * answer QUILLMAP_READER_E_NO_SEGMENT. An open read section is never re-attached under its views: a
 * segment found stale during it makes its lookups and quillmap_reader_validate() answer
 * QUILLMAP_READER_E_CHANGED; end it and begin again.
 */
#ifndef QUILLMAP_READER_H
#define QUILLMAP_READER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QUILLMAP_READER_OK 0
#define QUILLMAP_READER_NOT_FOUND 1
#define QUILLMAP_READER_E_NO_SEGMENT (-1)    /* no segment for this data path: the daemon is not running */
#define QUILLMAP_READER_E_PERMISSION (-2)    /* the segment belongs to an account we may not read */
#define QUILLMAP_READER_E_PATH (-3)          /* the data path does not exist or cannot be used */
#define QUILLMAP_READER_E_CONFIG (-4)        /* configuration file unreadable, or no data_path in it */
#define QUILLMAP_READER_E_NOT_LAID_OUT (-5)  /* the segment holds no sane dictionary layout */
#define QUILLMAP_READER_E_LOCK (-6)          /* a writer held the lock too long: lock not available */
#define QUILLMAP_READER_E_CHANGED (-7)       /* the dictionary changed while being read; try again */
#define QUILLMAP_READER_E_ARGUMENT (-8)      /* bad argument: not an address, null handle, ... */
#define QUILLMAP_READER_E_SPACE (-9)         /* a caller's buffer is too small; lengths are reported */
#define QUILLMAP_READER_E_SYSTEM (-10)       /* another system error (see errno) */
#define QUILLMAP_READER_E_STATE (-11)        /* call not allowed now (no read section open, or one is) */

/* Flags of quillmap_reader_open*(). */
#define QUILLMAP_READER_HIDE_EXPIRED 1 /* report entries whose expiry has passed as absent */

typedef struct quillmap_reader quillmap_reader;

/* One entry. In quillmap_reader_for_each() and the *_view calls, key and value point into the segment
 * and stay valid only until quillmap_reader_end() (or the callback's return). */
typedef struct quillmap_reader_entry {
  const char* key;
  size_t key_len;
  const void* value;
  size_t value_len;
  uint64_t expires; /* seconds since the epoch; 0 never */
  int is_address;   /* 1 for an address entry */
} quillmap_reader_entry;

/* What a copying lookup found: the full lengths (also when a buffer was too small), expiry and flag. */
typedef struct quillmap_reader_info {
  size_t key_len;
  size_t value_len;
  uint64_t expires;
  int is_address;
} quillmap_reader_info;

/* Opens the segment of the daemon whose data file is data_path. */
int quillmap_reader_open(const char* data_path, int flags, quillmap_reader** out);
/* Opens the segment named by the data_path line of a daemon configuration file. */
int quillmap_reader_open_config(const char* config_path, int flags, quillmap_reader** out);
/* Detaches; ends an open read section first. NULL is ignored. */
void quillmap_reader_close(quillmap_reader* reader);
/* Checks now that the handle reads the daemon's live segment, attaching the live one if not. OK when
 * it does; E_NO_SEGMENT (or another open error) when no daemon runs; E_CHANGED when the segment is
 * stale but a read section is open (it is replaced after quillmap_reader_end()). */
int quillmap_reader_refresh(quillmap_reader* reader);

/* One-shot calls: each takes a read share, looks up, copies, releases; a lookup that met a change is
 * repeated a few times before QUILLMAP_READER_E_CHANGED is returned. A buffer may be NULL with capacity
 * 0; when a buffer is too small nothing is copied into it, QUILLMAP_READER_E_SPACE is returned and
 * info holds the lengths needed. */
int quillmap_reader_get(quillmap_reader* reader, const char* key, size_t key_len, void* value_buf,
                        size_t value_cap, quillmap_reader_info* info);
/* Longest stored prefix covering an address given as IPv4/IPv6 text (a "/len" suffix is accepted and
 * its host bits are ignored): copies the entry's key text and value. */
int quillmap_reader_match(quillmap_reader* reader, const char* address, size_t address_len, char* key_buf,
                          size_t key_cap, void* value_buf, size_t value_cap, quillmap_reader_info* info);
/* The same for a binary address: 4 bytes (IPv4) or 16 bytes (IPv6), network order. */
int quillmap_reader_match_binary(quillmap_reader* reader, const void* address, size_t address_len,
                                 char* key_buf, size_t key_cap, void* value_buf, size_t value_cap,
                                 quillmap_reader_info* info);
/* One key of a batched get: the caller fills key, key_len, value_buf and value_cap; the call fills
 * status (as quillmap_reader_get would answer) and info. */
typedef struct quillmap_reader_get_item {
  const char* key;
  size_t key_len;
  void* value_buf;
  size_t value_cap;
  quillmap_reader_info info;
  int status;
} quillmap_reader_get_item;

/* Gets n keys at once, overlapping their lookups: much cheaper than n calls of quillmap_reader_get.
 * Returns QUILLMAP_READER_OK when every item was answered (see each status), else the failure that
 * stopped the batch (the items not answered then hold QUILLMAP_READER_E_CHANGED). */
int quillmap_reader_get_many(quillmap_reader* reader, quillmap_reader_get_item* items, size_t n);

/* One address of a batched match: the caller fills address (4 or 16 bytes, network order),
 * address_len and the buffers; the call fills status (as quillmap_reader_match_binary would answer)
 * and info. */
typedef struct quillmap_reader_match_item {
  const void* address;
  size_t address_len;
  char* key_buf;
  size_t key_cap;
  void* value_buf;
  size_t value_cap;
  quillmap_reader_info info;
  int status;
} quillmap_reader_match_item;

/* Matches n binary addresses at once, as quillmap_reader_get_many gets keys. */
int quillmap_reader_match_many(quillmap_reader* reader, quillmap_reader_match_item* items, size_t n);

/* Calls fn for every entry in key-tree order under one read share; fn returns 0 to go on, anything
 * else to stop. The entry's pointers are valid during the call only. A change met part-way returns
 * QUILLMAP_READER_E_CHANGED after the entries already delivered (no repetition). */
int quillmap_reader_for_each(quillmap_reader* reader, int (*fn)(const quillmap_reader_entry* entry, void* arg),
                             void* arg);

/* Read sections: many lookups under one read share, with no copying. Keep sections short: a writer
 * that waits too long may clear the lock, and the section then reports QUILLMAP_READER_E_CHANGED. */
int quillmap_reader_begin(quillmap_reader* reader);
int quillmap_reader_get_view(quillmap_reader* reader, const char* key, size_t key_len, quillmap_reader_entry* out);
int quillmap_reader_match_view(quillmap_reader* reader, const char* address, size_t address_len,
                               quillmap_reader_entry* out);
/* OK when everything read in the open section is still as it was read, E_CHANGED otherwise. */
int quillmap_reader_validate(quillmap_reader* reader);
int quillmap_reader_end(quillmap_reader* reader);

/* The text of a result code ("changed while reading", ...); never NULL. */
const char* quillmap_reader_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMAP_READER_H */
