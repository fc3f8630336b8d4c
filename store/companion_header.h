// The first fields every companion segment's header shares (the state segment's and the index
// segment's): magic, version, header size, and the identity of the dictionary segment it belongs to
// (its shmid and its creation time as IPC_STAT reports it). A companion whose identity does not match
// the attached dictionary says nothing about it.
#pragma once

#include <cstdint>
#include <cstring>

namespace quillmap {

struct DictIdentity {
  int64_t id = -1;
  int64_t ctime = 0;
};

template <class Header>
bool names_dictionary(const Header* h, uint64_t magic, uint32_t version, DictIdentity dict) noexcept {
  return __atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) == magic && h->version == version && h->dict_id == dict.id &&
         h->dict_ctime == dict.ctime;
}

// Zeroes the header and names `dict`; the magic is stored last, with release ordering.
template <class Header>
void init_companion_header(Header* h, uint64_t magic, uint32_t version, DictIdentity dict) noexcept {
  std::memset(static_cast<void*>(h), 0, sizeof *h);
  h->version = version;
  h->header_size = sizeof *h;
  h->dict_id = dict.id;
  h->dict_ctime = dict.ctime;
  __atomic_store_n(&h->magic, magic, __ATOMIC_RELEASE);
}

}  // namespace quillmap
