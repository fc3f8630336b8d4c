#include "persist/data_file_reader.h"

#include <yaml.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>

#include "persist/yaml_owners.h"
#include "util/io.h"
#include "store/layout.h"
#include "util/log.h"

namespace quillmap {
namespace {

constexpr uint64_t kMaxKeyLen = 0xFFFF;

enum class Member { kNone, kValue, kExpires, kIsAddress };

Member member_named(const char* text, size_t len) {
  auto is = [&](const char* name) { return len == strlen(name) && memcmp(text, name, len) == 0; };
  if (is("value")) return Member::kValue;
  if (is("expires")) return Member::kExpires;
  if (is("is_address")) return Member::kIsAddress;
  return Member::kNone;
}

const char* kind_word(bool is_address) { return is_address ? "Address" : "Key"; }

// Follows the parser's events and hands finished entries to the sink.
//
// Where the reader stands: outside any top mapping (kOutside), in a document's top mapping (kTop),
// or in an entry's mapping (kEntry). In a mapping, scalars alternate between the name slot (entry
// key, member name) and the value slot; a collection or alias that fills a slot is skipped whole
// (skip_depth counts the open collections being skipped) and then counts as that slot's content.
class EntryCollector {
 public:
  EntryCollector(time_t now, const DataFileSink& sink) : now_(now), sink_(sink) {}

  // 0 to go on, 1 at the stream's end, kTooDeep, or the sink's negative result.
  static constexpr int64_t kTooDeep = -100;
  int64_t on_event(const yaml_event_t& ev);
  int64_t handed() const { return handed_; }

 private:
  enum class Level { kOutside, kTop, kEntry };

  void slot_filled();
  void on_scalar(const char* text, size_t len);
  void on_collection_start(bool is_mapping);
  int64_t on_mapping_end();
  void begin_entry();
  int64_t finish_entry();

  const time_t now_;
  const DataFileSink& sink_;
  int64_t handed_ = 0;

  bool in_stream_ = false;
  bool in_document_ = false;
  int nesting_ = 0;  // collections open at this point of the stream
  Level level_ = Level::kOutside;
  int64_t skip_depth_ = 0;
  bool name_slot_ = true;  // the next scalar of the current mapping is a key/name, not a value

  bool has_key_ = false;
  std::string key_;
  bool has_value_ = false;
  std::string value_;
  uint64_t expires_ = 0;
  bool is_address_ = false;
  Member member_ = Member::kNone;
};

int64_t EntryCollector::on_event(const yaml_event_t& ev) {
  if (ev.type == YAML_MAPPING_START_EVENT || ev.type == YAML_SEQUENCE_START_EVENT) {
    if (++nesting_ > kMaxNesting) return kTooDeep;
  } else if (ev.type == YAML_MAPPING_END_EVENT || ev.type == YAML_SEQUENCE_END_EVENT) {
    --nesting_;
  }
  switch (ev.type) {
    case YAML_STREAM_START_EVENT:
      in_stream_ = true;
      return 0;
    case YAML_STREAM_END_EVENT:
      in_stream_ = false;
      return 1;
    case YAML_DOCUMENT_START_EVENT:
      if (in_stream_) in_document_ = true;
      level_ = Level::kOutside;
      skip_depth_ = 0;
      return 0;
    case YAML_DOCUMENT_END_EVENT:
      in_document_ = false;
      return 0;
    default:
      break;
  }
  if (!in_document_) return 0;

  if (skip_depth_ > 0) {
    if (ev.type == YAML_MAPPING_START_EVENT || ev.type == YAML_SEQUENCE_START_EVENT) {
      ++skip_depth_;
    } else if (ev.type == YAML_MAPPING_END_EVENT || ev.type == YAML_SEQUENCE_END_EVENT) {
      if (--skip_depth_ == 0) slot_filled();
    }
    return 0;
  }
  switch (ev.type) {
    case YAML_SCALAR_EVENT:
      on_scalar(reinterpret_cast<const char*>(ev.data.scalar.value), ev.data.scalar.length);
      return 0;
    case YAML_ALIAS_EVENT:
      slot_filled();
      return 0;
    case YAML_MAPPING_START_EVENT:
      on_collection_start(true);
      return 0;
    case YAML_SEQUENCE_START_EVENT:
      on_collection_start(false);
      return 0;
    case YAML_MAPPING_END_EVENT:
      return on_mapping_end();
    default:
      return 0;
  }
}

// The current slot got content this reader does not use.
void EntryCollector::slot_filled() {
  if (level_ == Level::kOutside) return;
  if (level_ == Level::kTop && name_slot_) has_key_ = false;  // a key that is not a text
  if (level_ == Level::kEntry && name_slot_) member_ = Member::kNone;
  name_slot_ = !name_slot_;
}

void EntryCollector::on_scalar(const char* text, size_t len) {
  // Texts reaching the store end at their first NUL byte.
  size_t text_len = strnlen(text, len);
  if (level_ == Level::kTop) {
    if (name_slot_) {
      key_.assign(text, text_len);
      has_key_ = true;
      name_slot_ = false;
    } else {
      name_slot_ = true;  // a member whose value is a plain scalar: not an entry
    }
    return;
  }
  if (level_ != Level::kEntry) return;
  if (name_slot_) {
    member_ = member_named(text, len);
    name_slot_ = false;
    return;
  }
  switch (member_) {
    case Member::kValue:
      value_.assign(text, text_len);
      has_value_ = true;
      break;
    case Member::kExpires:
      expires_ = strtoull(text, nullptr, 10);
      break;
    case Member::kIsAddress:
      is_address_ = len == 4 && memcmp(text, "true", 4) == 0;
      break;
    case Member::kNone:
      break;
  }
  member_ = Member::kNone;
  name_slot_ = true;
}

void EntryCollector::on_collection_start(bool is_mapping) {
  if (level_ == Level::kOutside && is_mapping) {
    level_ = Level::kTop;
    name_slot_ = true;
    has_key_ = false;
    return;
  }
  if (level_ == Level::kTop && !name_slot_ && is_mapping) {
    begin_entry();
    return;
  }
  skip_depth_ = 1;
}

int64_t EntryCollector::on_mapping_end() {
  if (level_ == Level::kTop) {
    level_ = Level::kOutside;
    return 0;
  }
  if (level_ != Level::kEntry) return 0;
  level_ = Level::kTop;
  name_slot_ = true;
  return finish_entry();
}

void EntryCollector::begin_entry() {
  level_ = Level::kEntry;
  name_slot_ = true;
  member_ = Member::kNone;
  has_value_ = false;
  value_.clear();
  expires_ = 0;
  is_address_ = false;
}

int64_t EntryCollector::finish_entry() {
  if (!has_key_) {
    log_msg(kLogWarn, "An entry whose key is not a text was not loaded");
    return 0;
  }
  has_key_ = false;
  const char* word = kind_word(is_address_);
  const int shown = static_cast<int>(key_.size() > kMaxKeyLen ? 64 : key_.size());
  if (expires_ != 0 && static_cast<uint64_t>(now_) > expires_) {
    log_msg(kLogInfo, "%s %.*s was not loaded as it was expired", word, shown, key_.c_str());
    return 0;
  }
  if (key_.size() > kMaxKeyLen) {
    log_msg(kLogWarn, "%s of %lu bytes starting with '%.64s' was not loaded: a key holds at most 65535 bytes", word,
            static_cast<unsigned long>(key_.size()), key_.c_str());
    return 0;
  }
  if (!has_value_) {
    log_msg(kLogWarn, "%s %.*s was not loaded as it has no value", word, shown, key_.c_str());
    return 0;
  }
  DataFileEntry entry{key_.data(), key_.size(), value_.data(), value_.size(), expires_, is_address_};
  int64_t r = sink_(entry);
  if (r < 0) return r;
  ++handed_;
  return 0;
}

}  // namespace

int64_t read_data_file(const FileLocation& location, time_t now, const DataFileSink& sink) {
  const char* path = location.shown.c_str();
  const int no_follow = location.no_follow ? O_NOFOLLOW : 0;
  UniqueFd fd(openat(location.dir_fd, location.name.c_str(), O_RDONLY | O_CLOEXEC | no_follow));
  UniqueFile file(fd ? fdopen(fd.get(), "rb") : nullptr);
  if (!file) {
    log_msg(kLogError, "Could not open %s for reading: %s\n", path, strerror(errno));
    return kFailed;
  }
  fd.release();  // the stream owns it now
  YamlParser parser;
  if (!parser.ok()) {
    log_msg(kLogError, "Failed to emit event %d: %s\n", 0, parser.problem());
    return kFailed;
  }
  yaml_parser_set_input_file(parser.get(), file.get());

  EntryCollector collector(now, sink);
  for (;;) {
    YamlEvent event;
    if (!yaml_parser_parse(parser.get(), event.get())) {
      log_msg(kLogError, "Failed to emit event %d: %s\n", static_cast<int>(event->type), parser.problem());
      return kFailed;
    }
    int64_t r = collector.on_event(*event);
    if (r == EntryCollector::kTooDeep) {
      log_msg(kLogError, "Could not load %s: collections nested deeper than %d levels", path, kMaxNesting);
      return kFailed;
    }
    if (r < 0) return r;
    if (r == 1) break;
  }
  return collector.handed();
}

}  // namespace quillmap
