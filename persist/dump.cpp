// The dump: the whole dictionary as YAML text, produced in memory under the read lock, then written
// over the data file (data_file_writer.h).

#include <yaml.h>

#include <charconv>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "persist/data_file.h"
#include "persist/data_file_writer.h"
#include "persist/yaml_owners.h"
#include "store/rbtree.h"
#include "store/rwlock.h"
#include "store/segment_view.h"
#include "store/slab.h"
#include "util/log.h"
#include "util/settings.h"

namespace quillmap {
namespace {

constexpr char kFirstLine[] = "# This file is generated automatically by quillmap\n";
constexpr char kTimestampFormat[] = "%a, %d %b %Y %T %z";
constexpr size_t kTimestampSize = 64;

constexpr char kMapTag[] = "tag:yaml.org,2002:map";
constexpr char kStrTag[] = "tag:yaml.org,2002:str";
constexpr char kIntTag[] = "tag:yaml.org,2002:int";
constexpr char kBoolTag[] = "tag:yaml.org,2002:bool";

const yaml_char_t* yaml_text(const char* s) { return reinterpret_cast<const yaml_char_t*>(s); }
const yaml_char_t* yaml_text(const uint8_t* s) { return reinterpret_cast<const yaml_char_t*>(s); }

// libyaml's output handler: appends to the std::string behind `data`. 0 (a write error for the
// emitter) when memory runs out.
int append_output(void* data, unsigned char* buffer, size_t size) noexcept {
  try {
    static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), size);
    return 1;
  } catch (...) {
    return 0;
  }
}

// Emits the events of one dump into a text in memory, with libyaml's default emitter settings.
class DumpEmitter {
 public:
  explicit DumpEmitter(std::string* out) noexcept {
    if (emitter_.ok()) yaml_emitter_set_output(emitter_.get(), append_output, out);
  }
  bool ok() const noexcept { return emitter_.ok(); }

  // Hands an initialised event to the emitter. false after ERROR "YAML: failed to emit event %d: %s\n".
  bool emit(YamlEvent& event) noexcept {
    int type = event->type;
    int done = yaml_emitter_emit(emitter_.get(), event.get());
    event.release();
    if (!done) log_msg(kLogError, "YAML: failed to emit event %d: %s\n", type, emitter_.problem());
    return done != 0;
  }

  bool stream_start() noexcept {
    YamlEvent e;
    return yaml_stream_start_event_initialize(e.get(), YAML_UTF8_ENCODING) && emit(e);
  }
  bool document_start() noexcept {
    YamlEvent e;
    return yaml_document_start_event_initialize(e.get(), nullptr, nullptr, nullptr, 0) && emit(e);
  }
  bool mapping_start() noexcept {
    YamlEvent e;
    return yaml_mapping_start_event_initialize(e.get(), nullptr, yaml_text(kMapTag), 1, YAML_ANY_MAPPING_STYLE) &&
           emit(e);
  }
  bool mapping_end() noexcept {
    YamlEvent e;
    return yaml_mapping_end_event_initialize(e.get()) && emit(e);
  }
  bool document_end() noexcept {
    YamlEvent e;
    return yaml_document_end_event_initialize(e.get(), 0) && emit(e);
  }
  bool stream_end() noexcept {
    YamlEvent e;
    return yaml_stream_end_event_initialize(e.get()) && emit(e);
  }
  bool scalar(const char* tag, std::string_view text) noexcept {
    YamlEvent e;
    return init_scalar(e, tag, yaml_text(text.data()), text.size()) && emit(e);
  }

  // Prepares a scalar event: plain style, plain-implicit, not quoted-implicit, so that a text that
  // cannot stay plain is quoted with its tag mark. false when libyaml refuses the text (not UTF-8)
  // or memory runs out; nothing is emitted then.
  static bool init_scalar(YamlEvent& e, const char* tag, const yaml_char_t* text, uint64_t len) noexcept {
    if (len > INT_MAX) return false;
    return yaml_scalar_event_initialize(e.get(), nullptr, yaml_text(tag), text, static_cast<int>(len), 1, 0,
                                        YAML_PLAIN_SCALAR_STYLE) != 0;
  }

 private:
  YamlEmitter emitter_;
};

enum class EntryResult { kWritten, kSkipped, kFailed };

// Emits one entry: its key, then the mapping of value, expires and is_address. Key and value events
// are prepared before anything is emitted, so an entry libyaml refuses is skipped whole and the text
// stays well formed. An emitter failure ends the dump.
EntryResult emit_entry(DumpEmitter& out, const RbtreeNode* node, const uint8_t* key) noexcept {
  YamlEvent key_event;
  YamlEvent value_event;
  if (!DumpEmitter::init_scalar(key_event, kStrTag, yaml_text(key), node->key_len) ||
      !DumpEmitter::init_scalar(value_event, kStrTag, yaml_text(key + node->key_len), node->value_len)) {
    log_msg(kLogError, "YAML: failed to emit event %d: %s\n", static_cast<int>(YAML_SCALAR_EVENT),
            "key or value is not valid UTF-8, entry skipped");
    log_msg(kLogError, "Entry '%.*s' was not dumped", static_cast<int>(node->key_len), key);
    return EntryResult::kSkipped;
  }
  using namespace std::string_view_literals;
  // The expiry as "%ld" would write it: the stored 64 bits read as a signed number.
  char expires[24];
  const std::string_view expires_text(expires,
                                      std::to_chars(expires, expires + sizeof expires,
                                                    static_cast<int64_t>(node->expires)).ptr - expires);
  bool ok = out.emit(key_event) && out.mapping_start() && out.scalar(kStrTag, "value"sv) && out.emit(value_event) &&
            out.scalar(kStrTag, "expires"sv) && out.scalar(kIntTag, expires_text) &&
            out.scalar(kStrTag, "is_address"sv) && out.scalar(kBoolTag, node->is_address ? "true"sv : "false"sv) &&
            out.mapping_end();
  return ok ? EntryResult::kWritten : EntryResult::kFailed;
}

// The daemon's own view of the segment for the dump's walk, which also asks early for what the walk
// will need later. Tree order is not memory order, so a node is usually far from the cache when the
// walk reaches it. The walk reads a node when it descends to it, goes through its whole left
// subtree, then on to its right child and down that child's left children. So at each descent the
// right child is asked for, and a few descents later, when it has arrived, that child's left child.
class PrefetchingView {
 public:
  explicit PrefetchingView(const SlabPool* pool) noexcept : view_(pool), base_(reinterpret_cast<const char*>(pool)) {}
  template <class T>
  const T* at(uint64_t off, uint64_t bytes = sizeof(T)) noexcept {
    const T* p = view_.at<T>(off, bytes);
    if constexpr (std::is_same_v<T, RbtreeNode>) {
      fetch(p->right);
      if (queued_ == kLag) fetch(view_.at<RbtreeNode>(asked_[next_])->left);
      else ++queued_;
      asked_[next_] = p->right;
      next_ = (next_ + 1) % kLag;
    }
    return p;
  }
  bool step() noexcept { return view_.step(); }
  const void* base() const noexcept { return view_.base(); }

 private:
  static constexpr size_t kLag = 4;  // descents between asking for a node and reading it

  // The node's header and the key and value behind it.
  void fetch(uint64_t off) const noexcept {
    __builtin_prefetch(base_ + off);
    __builtin_prefetch(base_ + off + 64);
  }

  TrustedView view_;
  const char* base_;
  uint64_t asked_[kLag] = {};
  size_t next_ = 0;
  size_t queued_ = 0;
};

// Walks the key tree in order (recursing to the left, looping to the right) and emits every entry.
// Returns the number of entries written, or -1 when the emitter failed. Read lock held.
int64_t inorder_dump_walk(DumpEmitter& out, SlabPool* pool) noexcept {
  PrefetchingView view(pool);
  int64_t written = 0;
  bool complete = rbtree_walk_inorder(view, key_tree_of(pool), [&](const RbtreeNode* node, const uint8_t* key) {
    EntryResult r = emit_entry(out, node, key);
    if (r == EntryResult::kWritten) ++written;
    return r != EntryResult::kFailed;
  });
  return complete ? written : kFailed;
}

// The two comment lines that head the file. false after ERROR when the time cannot be formatted.
bool append_header(std::string& text) {
  char stamp[kTimestampSize];
  time_t now = time(nullptr);
  struct tm local;
  errno = 0;
  if (localtime_r(&now, &local) == nullptr || strftime(stamp, sizeof stamp, kTimestampFormat, &local) == 0) {
    log_msg(kLogError, "Could not produce a timestamp: %s", strerror(errno));
    return false;
  }
  text += kFirstLine;
  text += "# ";
  text += stamp;
  text += '\n';
  return true;
}

// What the text of the entries is likely to take: the bytes of the store's chunks in use (an entry's
// text is its key and value plus some 60 bytes of names, shorter than its chunk unless the emitter
// has to escape much). Reserved up front, the text is not copied as it grows; pages not written
// are never touched. Read lock held.
size_t text_size_hint(const SlabPool* pool) {
  const ClassStats* stats = class_stats_of(pool);
  const uint32_t min_shift = static_cast<uint32_t>(pool->min_chunk_shift);
  const uint64_t classes = slab_class_count(pool);
  uint64_t bytes = 0;
  for (uint64_t i = 0; i < classes; ++i) bytes += (uint64_t{1} << (min_shift + i)) * stats[i].used;
  return static_cast<size_t>(bytes);
}

// Produces the whole file text. Entry count, -1 or -3.
int64_t produce_dump_text(SlabPool* pool, std::string& text) {
  if (!append_header(text)) return kFailed;
  DumpEmitter out(&text);
  if (!out.ok()) {
    log_msg(kLogError, "YAML: failed to emit event %d: %s\n", 0, "could not set up the emitter");
    return kFailed;
  }
  if (!out.stream_start() || !out.document_start() || !out.mapping_start()) return kFailed;

  if (rwlock_rlock(&pool->lock) != kDone) {
    log_msg(kLogError, "rbtree_dump: could not get read lock");
    return kLockTimeout;
  }
  try {
    text.reserve(text.size() + text_size_hint(pool));
  } catch (const std::bad_alloc&) {
    // Only a hint: the text then grows as it goes (and the read lock is never left behind).
  }
  int64_t written = inorder_dump_walk(out, pool);
  if (rwlock_unlock(&pool->lock) != kDone) log_msg(kLogWarn, "rbtree_dump: could not remove read lock");
  if (written < 0) return kFailed;

  if (!out.mapping_end() || !out.document_end() || !out.stream_end()) return kFailed;
  return written;
}

}  // namespace

int64_t rbtree_dump(SlabPool* pool, const FileLocation& file) {
  const char* path = file.shown.c_str();
  std::string text;
  int64_t written;
  try {
    written = produce_dump_text(pool, text);
  } catch (const std::bad_alloc&) {
    log_msg(kLogError, "Could not dump to %s: %s", path, strerror(ENOMEM));
    return kFailed;
  }
  if (written < 0) return written;
  if (write_data_file(file, text, written) != kDone) return kFailed;
  return written;
}

int64_t dump_tree(SlabPool* pool, const FileLocation& file) {
  int64_t written = rbtree_dump(pool, file);
  if (written < 0) return written;
  log_msg(kLogInfo, "Dumped %ld entries to %s", static_cast<long>(written), file.shown.c_str());
  return kDone;
}

int64_t dump_tree(SlabPool* pool, const char* path) {
  if (path == nullptr) path = settings.data_path;
  if (path == nullptr) return kFailed;
  return dump_tree(pool, FileLocation::at_path(path));
}

}  // namespace quillmap
