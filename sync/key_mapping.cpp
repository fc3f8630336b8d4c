#include "sync/key_mapping.h"

#include <arpa/inet.h>

#include "client/wire_codec.h"
#include "lpctrie/cidr.h"
#include "util/utf8.h"

namespace quillmap::sync {
namespace {

int prefix_length(const uint8_t* mask, size_t bytes) {
  int n = 0;
  for (size_t i = 0; i < bytes; ++i) n += __builtin_popcount(mask[i]);
  return n;
}

}  // namespace

std::optional<std::string> canonical_address(std::string_view text) {
  Cidr cidr{};
  if (str_to_cidr(text.data(), text.size(), &cidr) == -1) return std::nullopt;
  char buf[INET6_ADDRSTRLEN + 8];
  int len = 0;
  int full = 0;
  if (cidr.family == kFamilyInet6) {
    inet_ntop(AF_INET6, cidr.addr6, buf, sizeof buf);
    len = prefix_length(cidr.mask6, 16);
    full = 128;
  } else {
    inet_ntop(AF_INET, &cidr.addr4, buf, sizeof buf);
    len = prefix_length(reinterpret_cast<const uint8_t*>(&cidr.mask4), 4);
    full = 32;
  }
  std::string out = buf;
  if (len != full) out += "/" + std::to_string(len);
  return out;
}

std::optional<LocalKey> map_etcd_key(std::string_view etcd_key, std::string* refusal) {
  if (etcd_key.starts_with(kStringsDir)) {
    std::string_view text = etcd_key.substr(kStringsDir.size());
    std::optional<std::string> canonical = canonical_address(text);
    if (canonical && *canonical == text) {
      *refusal = "string key is an address text";
      return std::nullopt;
    }
    return LocalKey{std::string(text), false};
  }
  if (etcd_key.starts_with(kAddressesDir)) {
    std::string_view text = etcd_key.substr(kAddressesDir.size());
    std::optional<std::string> canonical = canonical_address(text);
    if (!canonical) {
      *refusal = "not an address key";
      return std::nullopt;
    }
    if (*canonical != text) {
      *refusal = "address not in canonical form (" + *canonical + ")";
      return std::nullopt;
    }
    return LocalKey{std::string(text), true};
  }
  *refusal = "neither under strings/ nor addresses/";
  return std::nullopt;
}

std::string etcd_key_of(const LocalKey& key) {
  return std::string(key.is_address ? kAddressesDir : kStringsDir) + key.text;
}

std::string entry_refusal(const LocalKey& key, std::string_view value) {
  if (!is_valid_utf8(key.text.data(), key.text.size())) return "key is not UTF-8 text";
  if (!is_valid_utf8(value.data(), value.size())) return "value is not UTF-8 text";
  std::string frame;
  Status s = append_request_frame(
      make_set(key.text, std::string(value), 0, key.is_address ? KeyType::kAddress : KeyType::kString), frame);
  if (!s.ok()) return s.error();
  return "";
}

}  // namespace quillmap::sync
