// The dispatcher's batches against a reference map: random batches of every action (hits and misses,
// values that do and do not fit their entry's chunk, texts cut at a zero byte, absent fields, unknown
// actions and fields, an undecodable body now and then, LOAD and DUMP of the data file or of a client's
// path, allowed, refused, missing or unparsable, a dead writer's lock met by a request or by the
// answer) are framed, fed to the frame reader in random pieces and run by one RequestBatch each. After
// every batch: the answer's success, count, info and digest; the outcome and lock log lines, in order;
// the store's invariants; and every entry's key, value, expiry and kind against the map.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "client/wire_codec.h"
#include "entry/key_ops.h"
#include "entry/testing/entry_store.h"
#include "server/dispatcher.h"
#include "server/frame_reader.h"
#include "store/rwlock.h"
#include "store/sweeps.h"
#include "store/testing/log_capture.h"
#include "util/testing/seed.h"
#include "util/settings.h"

namespace quillmap {
namespace {

constexpr int kIpaddr = 2;

// One request as it goes on the wire; an absent optional leaves its field out.
struct WireRequest {
  int64_t action = 0;
  std::optional<std::string> key = {};
  std::optional<int> ktype = {};
  std::optional<std::string> value = {};
  std::optional<uint32_t> expires = {};
  int unknown_fields = 0;  // varint fields with a number the schema does not know
};

void put_varint(std::string* out, uint64_t v) {
  for (; v >= 0x80; v >>= 7) out->push_back(static_cast<char>(v | 0x80));
  out->push_back(static_cast<char>(v));
}

void put_text(std::string* out, int field, const std::string& text) {
  put_varint(out, static_cast<uint64_t>(field) << 3 | 2);
  put_varint(out, text.size());
  out->append(text);
}

std::string body_of(const WireRequest& r) {
  std::string b;
  put_varint(&b, 1 << 3);
  put_varint(&b, static_cast<uint64_t>(r.action));  // a negative enum goes as its 64-bit extension
  if (r.key) put_text(&b, 2, *r.key);
  if (r.ktype) put_varint(&b, 3 << 3), put_varint(&b, static_cast<uint64_t>(*r.ktype));
  if (r.value) put_text(&b, 4, *r.value);
  if (r.expires) put_varint(&b, 5 << 3), put_varint(&b, *r.expires);
  for (int i = 0; i < r.unknown_fields; ++i) put_varint(&b, static_cast<uint64_t>(16 + i % 50) << 3), put_varint(&b, i);
  return b;
}

void append_frame(std::string* stream, const std::string& body) {
  stream->push_back(static_cast<char>(body.size() >> 8));
  stream->push_back(static_cast<char>(body.size() & 0xff));
  stream->append(body);
}

struct Entry {
  std::string value;
  uint64_t expires;
  bool is_address;
  bool operator==(const Entry&) const = default;
};
using Model = std::map<std::string, Entry>;

std::string cut_at_nul(const std::string& s) { return s.substr(0, s.find('\0')); }

// What one batch should do: the model after it, the answer's count, whether INFO or HASH ran and the
// outcome lines it logs.
struct Expected {
  uint64_t affected = 0;
  uint64_t counted = 0;  // affected plus unaffected
  bool info = false;
  bool hash = false;
  std::vector<std::string> lines;
};

// The lines that name a request's outcome ("[LEVEL]: message"); other layers log at INFO too. A purge
// names its nodes in the tree's order, so each run of purge lines is sorted.
std::vector<std::string> outcome_lines(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    const bool info = l.rfind("[INFO]: ", 0) == 0;
    if ((info && (l.find("successfully") != std::string::npos || l.find(" is missing") != std::string::npos ||
                  l.find("Missing ") != std::string::npos || l.find("purging") != std::string::npos ||
                  l.rfind("[INFO]: Dumped ", 0) == 0 || l.rfind("[INFO]: Loaded ", 0) == 0)) ||
        l.rfind("[ERROR]: Unknown action", 0) == 0 || l == "[ERROR]: Could not process message. Skipped" ||
        l.rfind("[WARN]: Forcibly removing", 0) == 0 || l.rfind("[WARN]: Could not forcibly", 0) == 0 ||
        l.rfind("[WARN]: Refused the path", 0) == 0) {
      out.push_back(l);
    }
  }
  const auto purge = [](const std::string& l) { return l.find("Forcibly purging") != std::string::npos; };
  for (auto it = out.begin(); it != out.end();) {
    auto end = std::find_if_not(it, out.end(), purge);
    std::sort(it, end);
    it = end == it ? end + 1 : end;
  }
  return out;
}

class BatchModel {
 public:
  BatchModel(uint32_t seed, std::string dir) : rng_(seed), dir_(std::move(dir)) {}

  // A random request; applies it to the model and to `expected` as the dispatcher should.
  WireRequest next(Expected* e) {
    const int pick = uniform(0, 99);
    if (pick < 22) return get(e);
    if (pick < 42) return change(e, 2);
    if (pick < 62) return change(e, 3);
    if (pick < 82) return del(e);
    if (pick < 86) return simple(e, 5);
    if (pick < 89) return simple(e, 6);
    if (pick < 90) return simple(e, 7);
    if (pick < 92) return simple(e, 9);
    if (pick < 94) return simple(e, 8);
    static constexpr int64_t kUnknown[] = {0, 10, -1, 1000};
    const int64_t action = kUnknown[uniform(0, 3)];
    e->lines.push_back("[ERROR]: Unknown action :" + std::to_string(action));
    return WireRequest{action, string_key(), {}, {}, {}, uniform(0, 3)};
  }

  // A string DEL met by a dead writer's lock: broken once per batch, then the request runs; a second
  // time the request is given up.
  WireRequest against_stuck_lock(Expected* e, bool* forced) {
    if (*forced) {
      e->lines.push_back("[WARN]: Could not forcibly remove a lock. Gave up.");
      return WireRequest{4, string_key()};
    }
    *forced = true;
    e->lines.push_back("[WARN]: Forcibly removing all locks and repeating");
    return del_of(e, string_key(), false);
  }

  const Model& model() const { return model_; }
  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

 private:
  std::string string_key() { return "k" + std::to_string(uniform(0, 29)); }
  int address_slot() { return uniform(0, 9); }
  static std::string address_key(int slot) { return "10.0." + std::to_string(slot) + ".0/24"; }

  // Lengths across several chunk classes, so that a SET sometimes fits the old chunk and sometimes not.
  std::string value() {
    static constexpr int kLengths[] = {0, 3, 7, 12, 30, 60, 100, 200, 400};
    std::string v(static_cast<size_t>(kLengths[uniform(0, 8)]) + static_cast<size_t>(uniform(0, 5)), 'a');
    for (char& c : v) c = static_cast<char>('a' + uniform(0, 25));
    if (!v.empty() && uniform(0, 9) == 0) v[static_cast<size_t>(uniform(0, static_cast<int>(v.size()) - 1))] = '\0';
    return v;
  }
  std::optional<uint32_t> expires() {
    switch (uniform(0, 2)) {
      case 0: return std::nullopt;
      case 1: return 0u;
      default: return 4000000000u + static_cast<uint32_t>(uniform(0, 1000));  // never reached by a load
    }
  }
  // A string key's kind on the wire: absent, STRING or a number that names no kind.
  std::optional<int> string_ktype() {
    switch (uniform(0, 3)) {
      case 0: return std::nullopt;
      case 1: return 7;
      default: return 1;
    }
  }
  void count(Expected* e, bool affected) {
    e->counted++;
    e->affected += affected;
  }
  static void line(Expected* e, bool address, const std::string& key, const std::string& outcome) {
    e->lines.push_back(std::string("[INFO]: ") + (address ? "Address " : "Key ") + key + outcome);
  }
  static void found(Expected* e, bool address, const std::string& key, bool hit) {
    line(e, address, key, hit ? " successfully found" : " is missing");
  }
  void purge(Expected* e) {
    std::vector<std::string> purged;
    for (const auto& kv : model_) purged.push_back("[INFO]: Forcibly purging node '" + kv.first + "'");
    std::sort(purged.begin(), purged.end());
    e->lines.insert(e->lines.end(), purged.begin(), purged.end());
  }

  WireRequest get(Expected* e) {
    const int kind = uniform(0, 9);
    if (kind < 2) {  // an address inside a stored /24, or not
      const int slot = address_slot();
      auto it = model_.find(address_key(slot));
      const bool hit = it != model_.end() && it->second.is_address;
      count(e, hit);
      const std::string address = "10.0." + std::to_string(slot) + "." + std::to_string(uniform(0, 255));
      found(e, true, address, hit);
      return WireRequest{1, address, kIpaddr};
    }
    if (kind == 2) return WireRequest{1, "10.0.0.300", kIpaddr};  // not an address: not counted
    if (kind == 3) {  // an address entry found by its text
      std::string key = address_key(address_slot());
      count(e, model_.count(key) != 0);
      found(e, false, key, model_.count(key) != 0);
      return WireRequest{1, key, string_ktype()};
    }
    std::string key = string_key();
    found(e, false, key, model_.count(key) != 0);
    if (kind == 4) key += std::string(1, '\0') + "tail";  // the key ends at the zero byte
    count(e, model_.count(cut_at_nul(key)) != 0);
    return WireRequest{1, key, string_ktype()};
  }

  // ADD (2) or SET (3) of a string or an address key.
  WireRequest change(Expected* e, int action) {
    const bool address = uniform(0, 3) == 0;
    WireRequest r{action, address ? address_key(address_slot()) : string_key(), address ? std::optional<int>(kIpaddr) : string_ktype()};
    if (uniform(0, 9) != 0) r.value = value();
    r.expires = expires();
    if (uniform(0, 19) == 0) r.unknown_fields = uniform(100, 250);  // more than the arena's inline block
    const std::string key = cut_at_nul(*r.key);
    const bool present = model_.count(key) != 0;
    Entry entry{cut_at_nul(r.value.value_or("")), r.expires.value_or(0), address};
    if (action == 2) {
      count(e, !present);
      if (!present) model_[key] = entry, line(e, address, key, " successfully added");
    } else {
      count(e, true);
      model_[key] = entry;
      line(e, address, key, present ? " successfully updated" : " successfully added");
    }
    return r;
  }

  WireRequest del(Expected* e) {
    if (uniform(0, 3) == 0) {
      return del_of(e, address_key(address_slot()), true);
    }
    return del_of(e, string_key(), false);
  }
  WireRequest del_of(Expected* e, const std::string& key, bool address) {
    const bool hit = model_.erase(key) != 0;
    count(e, hit);
    if (hit) line(e, address, key, " successfully deleted");
    else e->lines.push_back("[INFO]: Missing " + std::string(address ? "Address " : "Key ") + key + " was not deleted but it is OK");
    return WireRequest{4, key, address ? std::optional<int>(kIpaddr) : string_ktype()};
  }

  // INFO (5), HASH (6), CLEAR (7), LOAD (8) and DUMP (9); the last two of the configured data file
  // (no path), of another file in its folder, of one outside it (refused) or of one that does not parse.
  WireRequest simple(Expected* e, int action) {
    WireRequest r{action};
    int where = action < 8 ? 0 : uniform(0, 5);
    if (action == 9 && where == 5) where = 3;  // the unparsable file stays so
    const std::string path = where < 3 ? dir_ + "/data.yaml" : where == 3 ? dir_ + "/other.yaml"
                             : where == 4 ? dir_ + "_outside.yaml" : dir_ + "/broken.yaml";
    if (where >= 2) r.value = path;
    if (where == 4) {  // refused before anything is opened
      e->lines.push_back("[WARN]: Refused the path " + path + " of client PID=" + std::to_string(getpid()) +
                         ": it is neither directly in the data file's folder nor under dump_dir");
      return r;
    }
    switch (action) {
      case 5: e->info = true, count(e, false); break;
      case 6: e->hash = true, count(e, false); break;
      case 7: purge(e), model_.clear(), count(e, true); break;
      case 9:
        files_[path] = model_, count(e, true);
        e->lines.push_back("[INFO]: Dumped " + std::to_string(model_.size()) + " entries to " + path);
        break;
      case 8:
        if (files_.count(path) == 0) break;  // missing or unparsable: fails, uncounted, purges nothing
        purge(e), model_ = files_[path], count(e, true);
        e->lines.push_back("[INFO]: Loaded " + std::to_string(model_.size()) + " entries from " + path);
        break;
    }
    return r;
  }

  std::mt19937 rng_;
  std::string dir_;
  Model model_;
  std::map<std::string, Model> files_;  // what each dumped file holds
};

Model store_contents(SlabPool* pool) {
  Model out;
  TrustedView view(pool);
  rbtree_walk_inorder(view, key_tree_of(pool), [&](const RbtreeNode* n) {
    std::string key(reinterpret_cast<const char*>(node_key(n)), n->key_len);
    out[key] = Entry{std::string(reinterpret_cast<const char*>(node_value(n)), n->value_len), n->expires, n->is_address != 0};
    return true;
  });
  return out;
}

TEST(DispatcherBatchModelTest, RandomBatchesAgreeWithAReferenceMap) {
  const uint32_t seed = testing::test_seed(20261207u);
  SCOPED_TRACE(testing::seed_trace(seed));
  testing::EntryStore store(16 << 20);
  std::string dir = "/tmp/qm_batch_model_XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string data_path = dir + "/data.yaml";
  std::ofstream(dir + "/broken.yaml") << "---\nx:\n  value: 1\n  expires: 0\n  is_address: false\n\"unterminated: [\n";
  const Settings saved = settings;
  settings.data_path = data_path.data();

  testing::LogCapture log;
  BatchModel gen(seed, dir);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("batch " + std::to_string(round));
    Expected expected;
    std::string stream;
    // One batch meets a dead writer's lock at two of its requests and again at the answer.
    const bool stuck_batch = round == 5;
    const int size = stuck_batch ? gen.uniform(60, 120) : gen.uniform(0, 9) == 0 ? gen.uniform(0, 3) : gen.uniform(1, 120);
    const int undecodable_at = !stuck_batch && gen.uniform(0, 9) == 0 ? gen.uniform(0, size) : -1;
    const int stuck1 = stuck_batch ? gen.uniform(0, size / 2 - 1) : -1, stuck2 = stuck_batch ? gen.uniform(size / 2, size - 1) : -1;
    bool forced = false;
    for (int i = 0; i < size; ++i) {
      if (i == stuck1 || i == stuck2) {
        append_frame(&stream, body_of(gen.against_stuck_lock(&expected, &forced)));
        continue;
      }
      if (i == undecodable_at) {
        // A truncated varint (or an empty body, which lacks the required action): the batch ends here.
        append_frame(&stream, gen.uniform(0, 1) ? std::string("\x08\x80", 2) : std::string());
        expected.lines.push_back("[ERROR]: Could not process message. Skipped");
        append_frame(&stream, body_of(WireRequest{2, "never-run", 1, "v"}));
        break;
      }
      append_frame(&stream, body_of(gen.next(&expected)));
    }

    RequestBatch batch(store.pool(), PeerIdentity{getpid(), geteuid(), getegid()});
    FrameReader reader;
    int body_index = 0;
    auto run = [&](std::span<const uint8_t> body) {
      const bool stuck = body_index == stuck1 || body_index == stuck2;
      ++body_index;
      if (stuck) store.pool()->lock = kLockWriter;
      const bool more = batch.run_body(body);
      store.pool()->lock = 0;  // a request given up leaves the dead writer's word
      return more;
    };
    for (size_t at = 0; at < stream.size();) {
      const size_t piece = std::min(stream.size() - at, static_cast<size_t>(gen.uniform(1, 3000)));
      reader.feed({reinterpret_cast<const uint8_t*>(stream.data()) + at, piece}, run);
      at += piece;
    }
    if (stuck_batch) {
      store.pool()->lock = kLockWriter;  // INFO or HASH breaks it to answer
      if (expected.info || expected.hash) expected.lines.push_back("[WARN]: Forcibly removing all locks and repeating");
    }
    const std::vector<uint8_t> frame = batch.answer_frame();
    store.pool()->lock = 0;
    Result<Answer> answer = decode_answer_stream(std::string(frame.begin(), frame.end()));
    ASSERT_TRUE(answer.ok()) << answer.error();
    const Answer& a = answer.value();
    ASSERT_EQ(a.success, expected.counted != 0);
    ASSERT_EQ(a.affected(), expected.counted != 0 ? std::optional<uint64_t>(expected.affected) : std::nullopt);
    ASSERT_EQ(a.info.has_value(), expected.info);
    ASSERT_EQ(a.hashsum.has_value(), expected.hash);
    ASSERT_EQ(outcome_lines(log.take()), expected.lines);
    if (expected.info) {  // the figures after the batch, each in its own field
      StatRecord st{};
      ASSERT_EQ(get_stat(store.pool(), &st), 0);
      ASSERT_EQ(*a.info, (InfoFigures{st.pages_total, st.pages_free, st.bytes_total, st.bytes_alloc, st.bytes_used}));
    }
    if (expected.hash) {
      char digest[41] = {};
      ASSERT_EQ(rbtree_get_hashsum(store.pool(), digest), 0);
      ASSERT_EQ(*a.hashsum, digest);
    }

    uint64_t entries = 0;
    ASSERT_EQ(testing::entry_store_check(store.pool(), &entries), "");
    ASSERT_EQ(entries, gen.model().size());
    ASSERT_EQ(store_contents(store.pool()), gen.model());
  }
  settings = saved;
  EXPECT_FALSE(std::filesystem::exists(dir + "_outside.yaml"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillmap
