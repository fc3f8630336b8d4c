// Enum fields of the wire messages as the integers they carry. protobuf-c stores whatever varint a
// peer sent in an enum field, so a decoded field may hold a value no enumerator names (-1, 10, ...);
// C++ must not load or store such a value through the enum type. These helpers move the 32 bits as
// an int instead.
#pragma once

#include <cstring>
#include <type_traits>

namespace quillmap {

template <class E>
int wire_enum_value(const E& field) noexcept {
  static_assert(std::is_enum_v<E> && sizeof(E) == sizeof(int));
  int v;
  std::memcpy(&v, &field, sizeof v);
  return v;
}

template <class E>
void set_wire_enum(E* field, int value) noexcept {
  static_assert(std::is_enum_v<E> && sizeof(E) == sizeof(int));
  std::memcpy(field, &value, sizeof value);
}

}  // namespace quillmap
