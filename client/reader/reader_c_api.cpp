// The C interface: a handle around a Reader, with at most one open read section.
#include <cstring>
#include <new>
#include <optional>

#include "client/reader/quillmap_reader.h"
#include "client/reader/quillmap_reader.hpp"
#include "client/reader/reader_batch.h"
#include "client/reader/reader_lookup.h"
#include "client/reader/reader_one_shot.h"
#include "client/reader/reader_state.h"

struct quillmap_reader {
  quillmap::Reader reader;
  std::optional<quillmap::ReadGuard> section;
};

namespace {

using quillmap::EntryInfo;
using quillmap::EntryView;
using quillmap::ReadStatus;

int code(ReadStatus s) { return static_cast<int>(s); }

void to_info(const EntryInfo& i, quillmap_reader_info* out) {
  if (out == nullptr) return;
  out->key_len = i.key_len;
  out->value_len = i.value_len;
  out->expires = i.expires;
  out->is_address = i.is_address ? 1 : 0;
}

void to_entry(const EntryView& e, quillmap_reader_entry* out) {
  out->key = e.key.data();
  out->key_len = e.key.size();
  out->value = e.value.data();
  out->value_len = e.value.size();
  out->expires = e.expires;
  out->is_address = e.is_address ? 1 : 0;
}

quillmap::ReaderOptions options_of(int flags) {
  quillmap::ReaderOptions o;
  o.hide_expired = (flags & QUILLMAP_READER_HIDE_EXPIRED) != 0;
  return o;
}

int open_with(int flags, quillmap_reader** out, ReadStatus (*open)(const std::string&, quillmap::Reader*,
                                                                     quillmap::ReaderOptions),
              const char* path) {
  if (out == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  *out = nullptr;
  if (path == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  auto* handle = new (std::nothrow) quillmap_reader;
  if (handle == nullptr) return QUILLMAP_READER_E_SYSTEM;
  ReadStatus s = open(path, &handle->reader, options_of(flags));
  if (s != ReadStatus::kOk) {
    delete handle;
    return code(s);
  }
  *out = handle;
  return QUILLMAP_READER_OK;
}

// Copies an entry found by a lookup into the caller's buffers; both must fit or nothing is copied.
struct MatchCopy {
  char* key_buf;
  size_t key_cap;
  void* value_buf;
  size_t value_cap;
};

// One-shot match through the handle's reader, copying key and value without allocating; both must
// fit or nothing is copied.
template <class Indexed, class Lookup>
int match_copy(quillmap_reader* r, Indexed&& indexed, Lookup&& lookup, const MatchCopy& c, quillmap_reader_info* info) {
  if (r == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  if (r->section) return QUILLMAP_READER_E_STATE;
  EntryInfo inf;
  const ReadStatus s = quillmap::one_shot(r->reader, indexed, lookup, [&](const EntryView& e) {
    inf = EntryInfo{e.key.size(), e.value.size(), e.expires, e.is_address};
    if (e.key.size() > c.key_cap || e.value.size() > c.value_cap) return ReadStatus::kNoSpace;
    if (!e.key.empty()) std::memcpy(c.key_buf, e.key.data(), e.key.size());
    if (!e.value.empty()) std::memcpy(c.value_buf, e.value.data(), e.value.size());
    return ReadStatus::kOk;
  });
  if (s == ReadStatus::kOk || s == ReadStatus::kNoSpace) to_info(inf, info);
  return code(s);
}

}  // namespace

extern "C" {

int quillmap_reader_open(const char* data_path, int flags, quillmap_reader** out) {
  return open_with(flags, out, &quillmap::Reader::open, data_path);
}

int quillmap_reader_open_config(const char* config_path, int flags, quillmap_reader** out) {
  return open_with(flags, out, &quillmap::Reader::open_config, config_path);
}

void quillmap_reader_close(quillmap_reader* reader) { delete reader; }

int quillmap_reader_refresh(quillmap_reader* reader) {
  if (reader == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  return code(reader->reader.refresh());
}

int quillmap_reader_get(quillmap_reader* reader, const char* key, size_t key_len, void* value_buf,
                        size_t value_cap, quillmap_reader_info* info) {
  if (reader == nullptr || (key == nullptr && key_len != 0)) return QUILLMAP_READER_E_ARGUMENT;
  if (reader->section) return QUILLMAP_READER_E_STATE;
  EntryInfo i;
  ReadStatus s = reader->reader.get(std::string_view(key == nullptr ? "" : key, key_len), value_buf,
                                    value_buf == nullptr ? 0 : value_cap, &i);
  if (s == ReadStatus::kOk || s == ReadStatus::kNoSpace) to_info(i, info);
  return code(s);
}

int quillmap_reader_match(quillmap_reader* reader, const char* address, size_t address_len, char* key_buf,
                          size_t key_cap, void* value_buf, size_t value_cap, quillmap_reader_info* info) {
  if (address == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  std::string_view text(address, address_len);
  return match_copy(
      reader,
      [&](const quillmap::SegmentGeometry& g, const quillmap::IndexHeader& index, uint64_t index_bytes, bool hide,
          EntryView* e) { return quillmap::lookup_text_lock_free(g, index, index_bytes, hide, text, e); },
      [&](const quillmap::SegmentGeometry& g, bool hide, EntryView* e) { return quillmap::lookup_text(g, hide, text, e); },
      MatchCopy{key_buf, key_buf == nullptr ? 0 : key_cap, value_buf, value_buf == nullptr ? 0 : value_cap}, info);
}

int quillmap_reader_match_binary(quillmap_reader* reader, const void* address, size_t address_len,
                                 char* key_buf, size_t key_cap, void* value_buf, size_t value_cap,
                                 quillmap_reader_info* info) {
  return match_copy(
      reader,
      [&](const quillmap::SegmentGeometry& g, const quillmap::IndexHeader& index, uint64_t index_bytes, bool hide,
          EntryView* e) { return quillmap::lookup_address_lock_free(g, index, index_bytes, hide, address, address_len, e); },
      [&](const quillmap::SegmentGeometry& g, bool hide, EntryView* e) {
        return quillmap::lookup_address(g, hide, address, address_len, e);
      },
      MatchCopy{key_buf, key_buf == nullptr ? 0 : key_cap, value_buf, value_buf == nullptr ? 0 : value_cap}, info);
}

int quillmap_reader_get_many(quillmap_reader* reader, quillmap_reader_get_item* items, size_t n) {
  if (reader == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  if (reader->section) return QUILLMAP_READER_E_STATE;
  if (n != 0 && items == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  for (size_t i = 0; i < n; ++i) {
    if (items[i].key == nullptr && items[i].key_len != 0) return QUILLMAP_READER_E_ARGUMENT;
  }
  return code(quillmap::read_batch<quillmap::KeyLookups>(
      reader->reader, n,
      [&](size_t i) { return std::string_view(items[i].key == nullptr ? "" : items[i].key, items[i].key_len); },
      [&](size_t i, ReadStatus s) { items[i].status = static_cast<int>(s); },
      [&](size_t i, const EntryView& e) {
        quillmap_reader_get_item& it = items[i];
        it.info = quillmap_reader_info{e.key.size(), e.value.size(), e.expires, e.is_address ? 1 : 0};
        if (e.value.size() > (it.value_buf == nullptr ? 0 : it.value_cap)) return ReadStatus::kNoSpace;
        if (!e.value.empty()) std::memcpy(it.value_buf, e.value.data(), e.value.size());
        return ReadStatus::kOk;
      }));
}

int quillmap_reader_match_many(quillmap_reader* reader, quillmap_reader_match_item* items, size_t n) {
  if (reader == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  if (reader->section) return QUILLMAP_READER_E_STATE;
  if (n != 0 && items == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  for (size_t i = 0; i < n; ++i) {
    if (items[i].address == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  }
  return code(quillmap::read_batch<quillmap::AddressLookups>(
      reader->reader, n,
      [&](size_t i) { return std::string_view(static_cast<const char*>(items[i].address), items[i].address_len); },
      [&](size_t i, ReadStatus s) { items[i].status = static_cast<int>(s); },
      [&](size_t i, const EntryView& e) {
        quillmap_reader_match_item& it = items[i];
        it.info = quillmap_reader_info{e.key.size(), e.value.size(), e.expires, e.is_address ? 1 : 0};
        const size_t key_cap = it.key_buf == nullptr ? 0 : it.key_cap;
        const size_t value_cap = it.value_buf == nullptr ? 0 : it.value_cap;
        if (e.key.size() > key_cap || e.value.size() > value_cap) return ReadStatus::kNoSpace;
        if (!e.key.empty()) std::memcpy(it.key_buf, e.key.data(), e.key.size());
        if (!e.value.empty()) std::memcpy(it.value_buf, e.value.data(), e.value.size());
        return ReadStatus::kOk;
      }));
}

int quillmap_reader_for_each(quillmap_reader* reader, int (*fn)(const quillmap_reader_entry* entry, void* arg),
                             void* arg) {
  if (reader == nullptr || fn == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  if (reader->section) return QUILLMAP_READER_E_STATE;
  struct Callback {
    int (*fn)(const quillmap_reader_entry*, void*);
    void* arg;
  } cb{fn, arg};
  return code(reader->reader.for_each(
      [](const EntryView& e, void* p) {
        auto* c = static_cast<Callback*>(p);
        quillmap_reader_entry entry;
        to_entry(e, &entry);
        return c->fn(&entry, c->arg) == 0;
      },
      &cb));
}

int quillmap_reader_begin(quillmap_reader* reader) {
  if (reader == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  if (reader->section) return QUILLMAP_READER_E_STATE;
  reader->section.emplace(reader->reader);
  ReadStatus s = reader->section->status();
  if (s != ReadStatus::kOk) reader->section.reset();
  return code(s);
}

int quillmap_reader_get_view(quillmap_reader* reader, const char* key, size_t key_len, quillmap_reader_entry* out) {
  if (reader == nullptr || out == nullptr || (key == nullptr && key_len != 0)) return QUILLMAP_READER_E_ARGUMENT;
  if (!reader->section) return QUILLMAP_READER_E_STATE;
  EntryView e;
  ReadStatus s = reader->section->get(std::string_view(key == nullptr ? "" : key, key_len), &e);
  if (s == ReadStatus::kOk) to_entry(e, out);
  return code(s);
}

int quillmap_reader_match_view(quillmap_reader* reader, const char* address, size_t address_len,
                               quillmap_reader_entry* out) {
  if (reader == nullptr || out == nullptr || address == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  if (!reader->section) return QUILLMAP_READER_E_STATE;
  EntryView e;
  ReadStatus s = reader->section->match(std::string_view(address, address_len), &e);
  if (s == ReadStatus::kOk) to_entry(e, out);
  return code(s);
}

int quillmap_reader_validate(quillmap_reader* reader) {
  if (reader == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  if (!reader->section) return QUILLMAP_READER_E_STATE;
  return code(reader->section->validate());
}

int quillmap_reader_end(quillmap_reader* reader) {
  if (reader == nullptr) return QUILLMAP_READER_E_ARGUMENT;
  if (!reader->section) return QUILLMAP_READER_E_STATE;
  reader->section.reset();
  return QUILLMAP_READER_OK;
}

const char* quillmap_reader_strerror(int c) { return quillmap::read_status_text(static_cast<ReadStatus>(c)); }

}  // extern "C"
