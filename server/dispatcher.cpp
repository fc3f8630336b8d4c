#include "server/dispatcher.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "entry/entry_lookup.h"
#include "entry/ipaddr_ops.h"
#include "entry/key_ops.h"
#include "persist/data_file.h"
#include "proto/msg.pb-c.h"
#include "proto/wire_enums.h"
#include "server/client_paths.h"
#include "server/frame_reader.h"
#include "server/frame_writer.h"
#include "server/lock_recovery.h"
#include "store/change_epoch.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/sweeps.h"
#include "store/tree_neighbours.h"
#include "util/io.h"
#include "util/log.h"
#include "util/settings.h"
#include "util/signal_flags.h"
#include "util/strings.h"

namespace quillmap {
namespace {

enum ActionCode : int {
  kGet = SHARED_DICT__SEND_INFO__ACTION__GET,
  kAdd = SHARED_DICT__SEND_INFO__ACTION__ADD,
  kSet = SHARED_DICT__SEND_INFO__ACTION__SET,
  kDel = SHARED_DICT__SEND_INFO__ACTION__DEL,
  kInfo = SHARED_DICT__SEND_INFO__ACTION__INFO,
  kHash = SHARED_DICT__SEND_INFO__ACTION__HASH,
  kClear = SHARED_DICT__SEND_INFO__ACTION__CLEAR,
  kLoad = SHARED_DICT__SEND_INFO__ACTION__LOAD,
  kDump = SHARED_DICT__SEND_INFO__ACTION__DUMP,
};

using Batch = RequestBatch::Counts;

// One decoded request in the terms the operations take.
struct DecodedRequest {
  int action;
  bool is_address;
  StrRef key;
  StrRef value;
  uint64_t expires;

  const char* kind() const { return is_address ? "Address" : "Key"; }
  int key_len() const { return static_cast<int>(key.len); }
  const char* key_text() const { return key.ptr != nullptr ? key.ptr : ""; }
};

DecodedRequest make_request(const SharedDict__SendInfo& m) {
  return DecodedRequest{
      .action = wire_enum_value(m.action),
      .is_address = m.has_ktype && wire_enum_value(m.ktype) == SHARED_DICT__SEND_INFO__KEY_TYPE__IPADDR,
      .key = mkstr(m.key),
      .value = mkstr(m.value),
      .expires = m.has_expires ? static_cast<uint64_t>(m.expires) : 0,
  };
}

// LOAD replaces the dictionary only once the file has been read whole without error.
int64_t load_action(SlabPool* pool, const DecodedRequest& r, const PeerIdentity& peer) {
  int64_t count;
  const char* shown;
  ClientPath client;
  if (r.value.ptr == nullptr) {
    shown = settings.data_path;
    count = load_replacing(pool, shown);
  } else {
    if (resolve_client_path(peer, r.value.ptr, PathUse::kLoad, &client) != kDone) return kFailed;
    shown = r.value.ptr;
    count = load_replacing(pool, client.file);
  }
  if (count == kLockTimeout) return kLockTimeout;
  if (count < 0) return kFailed;
  log_msg(kLogInfo, "Loaded %ld entries from %s", static_cast<long>(count), shown);
  return kDone;
}

int64_t dump_action(SlabPool* pool, const DecodedRequest& r, const PeerIdentity& peer) {
  if (r.value.ptr == nullptr) {
    int64_t rc = dump_tree(pool, static_cast<const char*>(nullptr));
    if (rc == kDone) note_store_saved();  // the data file holds the store now
    return rc;
  }
  ClientPath client;
  if (resolve_client_path(peer, r.value.ptr, PathUse::kDump, &client) != kDone) return kFailed;
  return dump_tree(pool, client.file);
}

// Runs the operation of a known action once; its result code (INFO and HASH only raise their flag).
int64_t execute(SlabPool* pool, const DecodedRequest& r, const PeerIdentity& peer, Batch* batch) {
  const char* k = r.key.ptr;
  const uint64_t kl = r.key.len;
  const char* v = r.value.ptr;
  const uint64_t vl = r.value.len;
  switch (r.action) {
    case kGet:
      return r.is_address ? get_ipaddr(pool, k, kl) : get_key(pool, k, kl);
    case kAdd:
      return r.is_address ? add_ipaddr(pool, k, kl, v, vl, r.expires) : add_key(pool, k, kl, v, vl, r.expires);
    case kSet:
      return r.is_address ? set_ipaddr(pool, k, kl, v, vl, r.expires) : set_key(pool, k, kl, v, vl, r.expires);
    case kDel:
      return r.is_address ? delete_ipaddr(pool, k, kl) : delete_key(pool, k, kl);
    case kInfo:
      batch->info_wanted = true;
      return kDone;
    case kHash:
      batch->hash_wanted = true;
      return kDone;
    case kClear:
      return rbtree_purge(pool, delete_ipaddr_by_node_locked);
    case kLoad:
      return load_action(pool, r, peer);
    case kDump:
      return dump_action(pool, r, peer);
    default:
      return kFailed;
  }
}

// Logs and counts a definite outcome (any result but -3).
void record_outcome(const DecodedRequest& r, int64_t rc, Batch* batch) {
  if (rc != kDone && rc != kNothingToDo) return;  // failed: neither logged nor counted
  const char* kind = r.kind();
  int len = r.key_len();
  const char* key = r.key_text();
  bool found = rc == kDone;
  switch (r.action) {
    case kGet:
      if (found) log_msg(kLogInfo, "%s %.*s successfully found", kind, len, key);
      else log_msg(kLogInfo, "%s %.*s is missing", kind, len, key);
      (found ? batch->affected : batch->unaffected)++;
      return;
    case kAdd:
      if (found) log_msg(kLogInfo, "%s %.*s successfully added", kind, len, key);
      (found ? batch->affected : batch->unaffected)++;
      return;
    case kSet:
      if (found) log_msg(kLogInfo, "%s %.*s successfully updated", kind, len, key);
      else log_msg(kLogInfo, "%s %.*s successfully added", kind, len, key);
      batch->affected++;
      return;
    case kDel:
      if (found) log_msg(kLogInfo, "%s %.*s successfully deleted", kind, len, key);
      else log_msg(kLogInfo, "Missing %s %.*s was not deleted but it is OK", kind, len, key);
      (found ? batch->affected : batch->unaffected)++;
      return;
    case kInfo:
    case kHash:
      batch->unaffected++;
      return;
    default:  // CLEAR, LOAD, DUMP
      if (found) batch->affected++;
      return;
  }
}

// Runs one request with the once-per-connection forced unlock.
void run_request(SlabPool* pool, const DecodedRequest& r, const PeerIdentity& peer, Batch* batch) {
  if (r.action < kGet || r.action > kDump) {
    log_msg(kLogError, "Unknown action :%d", r.action);
    return;
  }
  for (;;) {
    int64_t rc = execute(pool, r, peer, batch);
    if (rc != kLockTimeout) {
      record_outcome(r, rc, batch);
      return;
    }
    if (batch->forced) {
      log_msg(kLogWarn, "Could not forcibly remove a lock. Gave up.");
      return;
    }
    break_lock(pool);
    batch->forced = true;
  }
}

}  // namespace

bool RequestBatch::queue_body(std::span<const uint8_t> body) {
  if (waiting_count_ == kAhead) run_oldest();
  Waiting& w = waiting_[(first_ + waiting_count_) % kAhead];
  const SharedDict__SendInfo* m = shared_dict__send_info__unpack(w.arena.allocator(), body.size(), body.data());
  if (m == nullptr) {
    w.arena.rewind();
    run_waiting();
    log_msg(kLogError, "Could not process message. Skipped");
    return false;
  }
  w.message = m;
  ++waiting_count_;
  // Fetching ahead, in stages two requests apart, each once the one before has had time to arrive:
  // the key's hash slot (and an ADD's or DEL's bucket in the writer's copy of the tree order), then
  // the entry it names (and the bucket's pairs), then what the tree change reads next (a DEL's parent,
  // children and successor, an ADD's neighbour nodes), then a DEL's successor's links. Only this
  // process writes the store, and it is between changes.
  // An address GET is a match in the trie, not a lookup of its text: it fetches nothing.
  const DecodedRequest r = make_request(*m);
  w.fetch = r.key.ptr == nullptr || (r.is_address && r.action == kGet) ? Fetch::kNothing
            : r.action == kAdd                                       ? Fetch::kAdd
            : r.action == kDel                                       ? Fetch::kDel
            : r.action == kGet || r.action == kSet                   ? Fetch::kEntry
                                                                     : Fetch::kNothing;
  w.key_crc = w.fetch != Fetch::kNothing ? crc32_short(r.key.ptr, r.key.len) : 0;
  for (size_t stage = 0; stage < 4 && 2 * stage < waiting_count_; ++stage) {
    const Waiting& x = waiting_[(first_ + waiting_count_ - 1 - 2 * stage) % kAhead];
    if (x.fetch == Fetch::kNothing) continue;
    if (stage == 0) prefetch_entry_slot(pool_, x.key_crc);
    if (stage == 1) prefetch_entry_node(pool_, x.key_crc);
    if (stage == 2 && x.fetch == Fetch::kDel) prefetch_entry_links(pool_, x.key_crc);
    if (x.fetch == Fetch::kAdd || x.fetch == Fetch::kDel)
      prefetch_neighbours(x.key_crc, x.fetch == Fetch::kDel, static_cast<int>(stage));
  }
  return true;
}

void RequestBatch::run_oldest() {
  Waiting& w = waiting_[first_];
  run_request(pool_, make_request(*static_cast<const SharedDict__SendInfo*>(w.message)), peer_, &counts_);
  w.message = nullptr;
  w.arena.rewind();
  first_ = (first_ + 1) % kAhead;
  --waiting_count_;
}

void RequestBatch::run_waiting() {
  while (waiting_count_ != 0) run_oldest();
}

bool RequestBatch::run_body(std::span<const uint8_t> body) {
  const bool decoded = queue_body(body);
  run_waiting();
  return decoded;
}

bool RequestBatch::feed(FrameReader& reader, std::span<const uint8_t> piece) {
  const bool going = reader.feed(piece, [this](std::span<const uint8_t> body) { return queue_body(body); });
  run_waiting();
  return going;
}

std::vector<uint8_t> RequestBatch::answer_frame() {
  run_waiting();
  SharedDict__RecvInfo reply = SHARED_DICT__RECV_INFO__INIT;
  reply.success = 0;

  char message[64];
  if (counts_.affected + counts_.unaffected != 0) {
    reply.success = 1;
    snprintf(message, sizeof message, "%u affected entries", static_cast<uint32_t>(counts_.affected));
    reply.message = message;
  }

  SharedDict__InfoData info = SHARED_DICT__INFO_DATA__INIT;
  if (counts_.info_wanted) {
    StatRecord stat{};  // stays zero when the statistics cannot be read at all
    if (get_stat(pool_, &stat) == kLockTimeout) {
      break_lock(pool_);
      get_stat(pool_, &stat);
    }
    info.pages_total = stat.pages_total;
    info.pages_free = stat.pages_free;
    info.bytes_total = stat.bytes_total;
    info.bytes_alloc = stat.bytes_alloc;
    info.bytes_used = stat.bytes_used;
    reply.info = &info;
  }

  char hashsum[41] = {};  // stays empty when the digest cannot be computed
  if (counts_.hash_wanted) {
    reply.hashsum = hashsum;
    if (rbtree_get_hashsum(pool_, hashsum) == kLockTimeout) {
      break_lock(pool_);
      rbtree_get_hashsum(pool_, hashsum);
    }
  }
  return pack_frame(&reply.base);
}

void report_answer_failure(int err) {
  if (signal_flags.got_pipe) {
    log_msg(kLogWarn, "Could not write answer: socket closed");
    signal_flags.got_pipe = 0;
  } else {
    log_msg(kLogWarn, "Could not write full data: %s", strerror(err));
  }
}

void handle_request(int fd, SlabPool* pool) {
  UniqueFd conn(fd);
  PeerIdentity peer;
  if (!read_peer_identity(conn.get(), &peer)) peer = PeerIdentity{getpid(), geteuid(), getegid()};
  RequestBatch batch(pool, peer);
  FrameReader reader;
  std::array<uint8_t, FrameReader::kBlockSize> block;
  for (;;) {
    // A block read returns short only at the end of the stream.
    int64_t n = shm_readn(conn.get(), block.data(), block.size());
    if (n <= 0) break;
    if (!batch.feed(reader, {block.data(), static_cast<size_t>(n)})) break;
    if (static_cast<size_t>(n) < block.size()) break;
  }
  std::vector<uint8_t> frame = batch.answer_frame();
  if (shm_writen(conn.get(), frame.data(), frame.size()) < 0) report_answer_failure(errno);
}

}  // namespace quillmap
