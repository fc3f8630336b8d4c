#include "client/reader/reader_batch.h"

namespace quillmap {

ReadStatus Reader::get_many(const std::string_view* keys, size_t n, std::string* values, ReadStatus* statuses,
                            EntryInfo* infos) {
  if (n != 0 && (keys == nullptr || statuses == nullptr)) return ReadStatus::kBadArgument;
  return read_batch<KeyLookups>(
      *this, n, [&](size_t i) { return keys[i]; }, [&](size_t i, ReadStatus s) { statuses[i] = s; },
      [&](size_t i, const EntryView& e) {
        if (values != nullptr) values[i].assign(e.value);
        if (infos != nullptr) infos[i] = info_of(e);
        return ReadStatus::kOk;
      });
}

ReadStatus Reader::match_many(const std::string_view* addresses, size_t n, std::string* keys, std::string* values,
                              ReadStatus* statuses, EntryInfo* infos) {
  if (n != 0 && (addresses == nullptr || statuses == nullptr)) return ReadStatus::kBadArgument;
  return read_batch<AddressLookups>(
      *this, n, [&](size_t i) { return addresses[i]; }, [&](size_t i, ReadStatus s) { statuses[i] = s; },
      [&](size_t i, const EntryView& e) {
        if (keys != nullptr) keys[i].assign(e.key);
        if (values != nullptr) values[i].assign(e.value);
        if (infos != nullptr) infos[i] = info_of(e);
        return ReadStatus::kOk;
      });
}

}  // namespace quillmap
