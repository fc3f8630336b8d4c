#include "sync/agent.h"

#include <time.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sync/etcd_kv.h"
#include "sync/local_store.h"
#include "util/log.h"

namespace quillmap::sync {
namespace {

constexpr size_t kRefusedNamesKept = 1000;

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

Agent::Agent(SyncConfig config)
    : config_(std::move(config)), etcd_(config_.etcd), feeder_(config_.socket_path) {}

void Agent::note_error(const std::string& text) {
  ++figures_.errors;
  figures_.last_error = text;
  log_msg(kLogError, "%s", text.c_str());
}

bool Agent::sleep_backoff() {
  const int64_t delay = std::min<int64_t>(5000, 100LL << std::min(failures_, 6));
  ++failures_;
  for (int64_t slept = 0; slept < delay && !stopping(); slept += 50) usleep(50000);
  return !stopping();
}

bool Agent::wait_for_daemon() {
  bool said = false;
  while (!stopping()) {
    if (!daemon_identity(config_.data_path, config_.socket_path).empty()) {
      if (said) log_msg(kLogInfo, "The local daemon serves again at %s", config_.socket_path.c_str());
      return true;
    }
    if (!said) {
      log_msg(kLogWarn, "Waiting for the local daemon (%s, %s)", config_.data_path.c_str(),
              config_.socket_path.c_str());
      said = true;
    }
    for (int i = 0; i < 4 && !stopping(); ++i) usleep(50000);
    write_status();
  }
  return false;
}

// The local key of an etcd key-value, or nothing when the agent does not hold it (recorded as refused,
// with a WARN the first time it is refused for that reason).
std::optional<LocalKey> Agent::accept(const KeyValue& kv, bool is_delete) {
  std::string why;
  std::optional<LocalKey> key = map_etcd_key(std::string_view(kv.key).substr(config_.prefix.size()), &why);
  if (key && !is_delete) why = entry_refusal(*key, kv.value);
  if (why.empty() || is_delete) {
    figures_.refused.erase(kv.key);
    return key;
  }
  auto [it, fresh] = figures_.refused.try_emplace(kv.key, why);
  if (fresh || it->second != why) {
    it->second = why;
    log_msg(kLogWarn, "Refused %s: %s", kv.key.c_str(), why.c_str());
  }
  if (figures_.refused.size() > kRefusedNamesKept) figures_.refused.erase(std::prev(figures_.refused.end()));
  return std::nullopt;
}

bool Agent::feed(const std::vector<LocalChange>& changes) {
  std::vector<LocalKey> added, removed;
  for (const LocalChange& c : changes) (c.value ? added : removed).push_back(c.key);
  if (!journal_.add(added)) note_error("Could not append to " + config_.keys_path());
  FeedOutcome out = feeder_.apply(changes);
  if (!out.delivered) {
    note_error("Could not feed the local daemon: " + out.error);
    daemon_lost_ = true;
    return false;
  }
  std::set<LocalKey> refused(out.refused.begin(), out.refused.end());
  for (const LocalKey& k : refused) {
    const std::string name = config_.prefix + etcd_key_of(k);
    figures_.refused[name] = "the daemon did not store it";
    log_msg(kLogWarn, "Refused %s: the daemon did not store it", name.c_str());
  }
  // A removal counts only when no later set of the same key is in the batch.
  std::set<LocalKey> set_later(added.begin(), added.end());
  std::vector<LocalKey> gone;
  for (const LocalKey& k : removed) {
    if (!set_later.contains(k)) gone.push_back(k);
  }
  if (!journal_.remove(gone)) note_error("Could not append to " + config_.keys_path());
  return true;
}

bool Agent::full_read(const std::string& reason) {
  const std::string identity = daemon_identity(config_.data_path, config_.socket_path);
  const int64_t started = now_ms();
  Result<PrefixSnapshot> snap = read_prefix(etcd_, config_.prefix);
  const int64_t etcd_read = now_ms();
  if (!snap.ok()) {
    note_error(snap.error());
    return false;
  }
  LocalEntries local;
  std::string error;
  if (!read_local_entries(config_.data_path, &local, &error)) {
    note_error(error);
    daemon_lost_ = true;
    return false;
  }
  const int64_t local_read = now_ms();
  log_msg(kLogInfo, "Re-reading the whole prefix %s at revision %lld: %s", config_.prefix.c_str(),
          static_cast<long long>(snap.value().revision), reason.c_str());
  figures_.refused.clear();
  std::vector<LocalChange> changes;
  std::set<LocalKey> wanted;
  for (const KeyValue& kv : snap.value().kvs) {
    std::optional<LocalKey> key = accept(kv, false);
    if (!key) continue;
    wanted.insert(*key);
    auto it = local.find(key->text);
    if (it != local.end() && it->second.is_address != key->is_address) {
      changes.push_back({LocalKey{key->text, it->second.is_address}, std::nullopt});
    }
    if (it == local.end() || it->second.is_address != key->is_address || it->second.value != kv.value ||
        it->second.expires != 0) {
      changes.push_back({*key, kv.value});
    }
  }
  for (const auto& [text, entry] : local) {
    LocalKey key{text, entry.is_address};
    if (journal_.keys().contains(key) && !wanted.contains(key)) changes.push_back({key, std::nullopt});
  }
  if (!feed(changes)) return false;
  if (!journal_.rewrite(wanted)) note_error("Could not write " + config_.keys_path());
  state_ = {snap.value().revision, identity};
  have_state_ = true;
  if (!save_state(config_.state_path, state_)) note_error("Could not write " + config_.state_path);
  ++figures_.full_reads;
  figures_.applied_revision = state_.revision;
  log_msg(kLogInfo, "Applied revision %lld: %zu keys, %zu changes, %zu refused (etcd read %lld ms, local read %lld ms, diff and feed %lld ms)",
          static_cast<long long>(state_.revision), wanted.size(), changes.size(), figures_.refused.size(),
          static_cast<long long>(etcd_read - started), static_cast<long long>(local_read - etcd_read),
          static_cast<long long>(now_ms() - local_read));
  write_status();
  return true;
}

bool Agent::apply_events(std::vector<WatchEvent>& events) {
  std::vector<LocalChange> changes;
  changes.reserve(events.size());
  for (WatchEvent& e : events) {
    std::optional<LocalKey> key = accept(e.kv, e.is_delete);
    if (key) {
      changes.push_back({std::move(*key), e.is_delete ? std::nullopt : std::optional(std::move(e.kv.value))});
    } else if (!e.is_delete) {
      // A value the daemon cannot hold replaces one it may hold: the old one must not stay.
      std::string why;
      std::optional<LocalKey> old = map_etcd_key(std::string_view(e.kv.key).substr(config_.prefix.size()), &why);
      if (old) changes.push_back({std::move(*old), std::nullopt});
    }
  }
  if (!feed(changes)) return false;
  figures_.events_applied += events.size();
  state_.revision = std::max(state_.revision, events.back().kv.mod_revision);
  figures_.applied_revision = state_.revision;
  if (!save_state(config_.state_path, state_)) note_error("Could not write " + config_.state_path);
  failures_ = 0;
  return tick();
}

bool Agent::tick() {
  if (stopping()) return false;
  const int64_t now = now_ms();
  if (now < next_check_ms_) return true;
  next_check_ms_ = now + 500;
  write_status();
  const std::string identity = daemon_identity(config_.data_path, config_.socket_path);
  if (identity != state_.daemon) {
    reread_reason_ = identity.empty() ? "the local daemon stopped" : "the local daemon was restarted";
    daemon_lost_ = identity.empty();
    return false;
  }
  return true;
}

Agent::FollowEnd Agent::follow() {
  reread_reason_.clear();
  daemon_lost_ = false;
  log_msg(kLogInfo, "Watching %s from revision %lld at %s", config_.prefix.c_str(),
          static_cast<long long>(state_.revision + 1), etcd_.endpoint().c_str());
  WatchResult w = etcd_.watch(
      config_.prefix, state_.revision + 1, [this](std::vector<WatchEvent>& e) { return apply_events(e); },
      [this] { return tick(); });
  if (stopping()) return FollowEnd::kStopped;
  switch (w.end) {
    case WatchEnd::kCompacted:
      reread_reason_ = "etcd has compacted past revision " + std::to_string(state_.revision);
      return FollowEnd::kReRead;
    case WatchEnd::kAborted:
      if (daemon_lost_) return FollowEnd::kRetry;
      return reread_reason_.empty() ? FollowEnd::kRetry : FollowEnd::kReRead;
    case WatchEnd::kBroken:
    case WatchEnd::kRefused:
      note_error("Watch at " + etcd_.endpoint() + " ended: " + w.error);
      return FollowEnd::kRetry;
  }
  return FollowEnd::kRetry;
}

int Agent::run(const volatile std::sig_atomic_t* stop) {
  stop_ = stop;
  std::string error;
  if (!journal_.open(config_.keys_path(), &error)) {
    log_msg(kLogCrit, "%s", error.c_str());
    return 1;
  }
  if (std::optional<AgentState> s = load_state(config_.state_path)) {
    state_ = *s;
    have_state_ = true;
    figures_.applied_revision = state_.revision;
  }
  log_msg(kLogInfo, "quillmap-sync started: prefix %s, %zu etcd endpoints, daemon socket %s",
          config_.prefix.c_str(), config_.etcd.endpoints.size(), config_.socket_path.c_str());
  std::string reason = have_state_ ? "" : "no state file";
  while (!stopping()) {
    if (!wait_for_daemon()) break;
    const std::string identity = daemon_identity(config_.data_path, config_.socket_path);
    if (reason.empty() && identity != state_.daemon) {
      reason = "the local daemon is not the one the state file names (restarted since)";
    }
    if (!reason.empty()) {
      if (!full_read(reason)) {
        if (!sleep_backoff()) break;
        continue;
      }
      reason.clear();
      failures_ = 0;
    }
    const FollowEnd end = follow();
    if (end == FollowEnd::kStopped) break;
    if (end == FollowEnd::kReRead) {
      reason = reread_reason_;
      log_msg(kLogWarn, "Re-reading the prefix: %s", reason.c_str());
      continue;
    }
    // A broken watch is opened at once on the next endpoint; repeated failures back off.
    if (failures_ > 0 && !sleep_backoff()) break;
    if (failures_ == 0) ++failures_;
  }
  write_status();
  log_msg(kLogInfo, "quillmap-sync stopped at revision %lld", static_cast<long long>(state_.revision));
  return 0;
}

void Agent::write_status() {
  nlohmann::json j = {{"applied_revision", figures_.applied_revision},
                      {"events_applied", figures_.events_applied},
                      {"errors", figures_.errors},
                      {"full_reads", figures_.full_reads},
                      {"last_error", figures_.last_error},
                      {"endpoint", etcd_.endpoint()},
                      {"pid", getpid()},
                      {"updated", static_cast<int64_t>(time(nullptr))}};
  nlohmann::json refused = nlohmann::json::object();
  for (const auto& [k, why] : figures_.refused) refused[k] = why;
  j["refused"] = refused;
  replace_file(config_.status_path(), j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

std::optional<AgentFigures> read_status_file(const std::string& path, std::string* updated) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  AgentFigures f;
  f.applied_revision = j.value("applied_revision", int64_t{0});
  f.events_applied = j.value("events_applied", uint64_t{0});
  f.errors = j.value("errors", uint64_t{0});
  f.full_reads = j.value("full_reads", uint64_t{0});
  f.last_error = j.value("last_error", std::string());
  if (j.contains("refused")) {
    for (auto& [k, v] : j["refused"].items()) f.refused[k] = v.get<std::string>();
  }
  if (updated) *updated = std::to_string(j.value("updated", int64_t{0}));
  return f;
}

}  // namespace quillmap::sync
