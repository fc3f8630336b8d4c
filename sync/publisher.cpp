#include "sync/publisher.h"

#include <ctime>
#include <fstream>
#include <map>

#include "persist/data_file_reader.h"
#include "sync/etcd_kv.h"
#include "sync/key_mapping.h"

namespace quillmap::sync {
namespace {

constexpr size_t kMaxTxnOps = 128;

Result<LocalKey> local_key(bool address, const std::string& key) {
  if (!address) {
    std::string why;
    std::optional<LocalKey> k = map_etcd_key(std::string(kStringsDir) + key, &why);
    if (!k) return ClientError{key + ": " + why};
    return *k;
  }
  std::optional<std::string> canonical = canonical_address(key);
  if (!canonical) return ClientError{key + ": not an address key"};
  return LocalKey{*canonical, true};
}

Result<Change> put_change(const std::string& prefix, bool address, const std::string& key, std::string value,
                          int64_t lease) {
  Result<LocalKey> k = local_key(address, key);
  if (!k.ok()) return ClientError{k.error()};
  const std::string why = entry_refusal(k.value(), value);
  if (!why.empty()) return ClientError{key + ": " + why};
  return Change{prefix + etcd_key_of(k.value()), false, std::move(value), lease};
}

bool ends_with(const std::string& s, const char* tail) { return s.ends_with(tail); }

}  // namespace

Result<int64_t> publish_put(EtcdGateway& etcd, const std::string& prefix, bool address, const std::string& key,
                            const std::string& value, int64_t lease) {
  Result<Change> c = put_change(prefix, address, key, value, lease);
  if (!c.ok()) return ClientError{c.error()};
  return commit(etcd, {c.value()});
}

Result<int64_t> publish_delete(EtcdGateway& etcd, const std::string& prefix, bool address,
                               const std::string& key) {
  Result<LocalKey> k = local_key(address, key);
  if (!k.ok()) return ClientError{k.error()};
  return commit(etcd, {Change{prefix + etcd_key_of(k.value()), true, "", 0}});
}

Result<int64_t> publish_import(EtcdGateway& etcd, const std::string& prefix, bool address, const std::string& path) {
  std::vector<Change> changes;
  std::string error;
  if (ends_with(path, ".yaml") || ends_with(path, ".yml")) {
    const int64_t n = read_data_file(path.c_str(), time(nullptr), [&](const DataFileEntry& e) -> int64_t {
      Result<Change> c = put_change(prefix, e.is_address, std::string(e.key, e.key_len),
                                    std::string(e.value, e.value_len), 0);
      if (!c.ok()) {
        error = c.error();
        return -1;
      }
      changes.push_back(std::move(c.value()));
      return 0;
    });
    if (!error.empty()) return ClientError{path + ": " + error};
    if (n < 0) return ClientError{path + ": cannot read the data file"};
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) return ClientError{"cannot open " + path};
    int line_no = 0;
    for (std::string line; std::getline(in, line);) {
      ++line_no;
      if (line.empty()) continue;
      const size_t blank = line.find_first_of(" \t");
      std::string key = line.substr(0, blank);
      std::string value;
      if (blank != std::string::npos) {
        const size_t start = line.find_first_not_of(" \t", blank);
        if (start != std::string::npos) value = line.substr(start);
      }
      Result<Change> c = put_change(prefix, address, key, std::move(value), 0);
      if (!c.ok()) return ClientError{path + ":" + std::to_string(line_no) + ": " + c.error()};
      changes.push_back(std::move(c.value()));
    }
  }
  // etcd refuses a transaction that names one key twice; the last line of a key counts.
  std::map<std::string, size_t> last;
  for (size_t i = 0; i < changes.size(); ++i) last[changes[i].key] = i;
  std::vector<Change> unique;
  for (size_t i = 0; i < changes.size(); ++i) {
    if (last[changes[i].key] == i) unique.push_back(std::move(changes[i]));
  }
  changes = std::move(unique);
  for (size_t from = 0; from < changes.size(); from += kMaxTxnOps) {
    std::vector<Change> part(changes.begin() + static_cast<std::ptrdiff_t>(from),
                             changes.begin() + static_cast<std::ptrdiff_t>(std::min(changes.size(), from + kMaxTxnOps)));
    Result<int64_t> r = commit(etcd, part);
    if (!r.ok()) return ClientError{r.error()};
  }
  return static_cast<int64_t>(changes.size());
}

}  // namespace quillmap::sync
