#include "client/reader/reader_batch.h"

namespace quillmap {

ReadStatus Reader::get_many(const std::string_view* keys, size_t n, std::string* values, ReadStatus* statuses,
                            EntryInfo* infos) {
  if (n != 0 && (keys == nullptr || statuses == nullptr)) return ReadStatus::kBadArgument;
  return get_batch(
      *this, n, [&](size_t i) { return keys[i]; }, [&](size_t i, ReadStatus s) { statuses[i] = s; },
      [&](size_t i, const EntryView& e) {
        if (values != nullptr) values[i].assign(e.value);
        if (infos != nullptr) infos[i] = info_of(e);
        return ReadStatus::kOk;
      });
}

}  // namespace quillmap
