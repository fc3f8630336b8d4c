#include "sync/daemon_feeder.h"

#include <map>

#include "client/dict_client.h"

namespace quillmap::sync {
namespace {

KeyType kind_of(const LocalKey& key) { return key.is_address ? KeyType::kAddress : KeyType::kString; }

Request request_of(const LocalChange& c) {
  return c.value ? make_set(c.key.text, *c.value, 0, kind_of(c.key)) : make_del(c.key.text, kind_of(c.key));
}

constexpr ClientOptions kFeedOptions{30000};

}  // namespace

FeedOutcome DaemonFeeder::apply(const std::vector<LocalChange>& changes) {
  FeedOutcome outcome;
  std::map<LocalKey, const LocalChange*> last;
  for (const LocalChange& c : changes) last[c.key] = &c;
  std::vector<const LocalChange*> deletes, sets;
  for (const auto& [key, change] : last) (change->value ? sets : deletes).push_back(change);
  outcome.deletes = deletes.size();
  outcome.sets = sets.size();

  for (const auto* group : {&deletes, &sets}) {
    for (size_t from = 0; from < group->size(); from += max_batch_) {
      const size_t to = std::min(group->size(), from + max_batch_);
      std::vector<Request> batch;
      for (size_t i = from; i < to; ++i) batch.push_back(request_of(*(*group)[i]));
      Result<Answer> answer = send_batch(socket_path_, batch, kFeedOptions);
      if (!answer.ok()) {
        outcome.error = answer.error();
        return outcome;
      }
      if (group == &deletes) continue;
      const uint64_t counted = answer.value().affected().value_or(0);
      if (counted >= batch.size() && !answer.value().cut_short) continue;
      for (size_t i = from; i < to; ++i) {
        Result<Answer> one = send_batch(socket_path_, {request_of(*sets[i])}, kFeedOptions);
        if (!one.ok()) {
          outcome.error = one.error();
          return outcome;
        }
        if (one.value().affected().value_or(0) == 0) outcome.refused.push_back(sets[i]->key);
      }
    }
  }
  outcome.delivered = true;
  return outcome;
}

std::optional<std::string> DaemonFeeder::hash(std::string* error) {
  Result<Answer> answer = send_batch(socket_path_, {make_simple(Action::kHash)}, kFeedOptions);
  if (!answer.ok()) {
    *error = answer.error();
    return std::nullopt;
  }
  if (!answer.value().hashsum) {
    *error = "the daemon's answer holds no digest";
    return std::nullopt;
  }
  return *answer.value().hashsum;
}

}  // namespace quillmap::sync
