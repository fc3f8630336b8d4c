// How etcd keys under the agent's prefix become dictionary entries, and which entries the daemon
// could not hold.
//
// The key after the prefix starts with a sub-prefix that gives the kind: "strings/" then any key text,
// "addresses/" then an address key in canonical text only (the network address with no host bits,
// in inet_ntop's shortest form, "/len" only when shorter than the full address), so that every host's
// tries hold the same texts for the same prefix. A string key that is itself a canonical address text
// is refused as well: string and address entries share one key space in the dictionary, so it would
// meet the address entry of the same text.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

namespace quillmap::sync {

inline constexpr std::string_view kStringsDir = "strings/";
inline constexpr std::string_view kAddressesDir = "addresses/";

struct LocalKey {
  std::string text;
  bool is_address = false;
  auto operator<=>(const LocalKey&) const = default;
};

// The local key of `etcd_key` (the part after the agent's prefix); nothing, with the reason in
// `refusal`, when it names no entry the agent may hold.
std::optional<LocalKey> map_etcd_key(std::string_view etcd_key, std::string* refusal);

// The part after the prefix that names `key` (the inverse of map_etcd_key).
std::string etcd_key_of(const LocalKey& key);

// The canonical text of an address key, whatever form it was written in; nothing when `text` is not
// an address key.
std::optional<std::string> canonical_address(std::string_view text);

// Why the daemon could not hold `value` under `key` ("" when it can): key or value not UTF-8 text,
// a NUL byte, or a request over the frame limit.
std::string entry_refusal(const LocalKey& key, std::string_view value);

}  // namespace quillmap::sync
