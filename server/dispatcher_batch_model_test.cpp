// The request service against a reference map: random batches of every action (hits, misses, values
// that do and do not fit their entry's chunk, texts cut at a zero byte, absent, unknown and undecodable
// fields, LOAD and DUMP of allowed, refused, missing or unparsable paths, a dead writer's lock), framed
// among over-long headers and maybe cut off, are fed to one RequestBatch in random pieces (down to
// single bytes) or served by handle_request over a socket pair whose client sometimes leaves early.
// After every batch: the answer, the outcome log lines in order, the store's invariants and contents.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <regex>
#include <thread>
#include <utility>

#include "client/wire_codec.h"
#include "entry/key_ops.h"
#include "persist/testing/persist_fixture.h"
#include "server/dispatcher.h"
#include "server/frame_reader.h"
#include "store/rwlock.h"
#include "store/sweeps.h"
#include "store/testing/log_capture.h"
#include "util/io.h"
#include "util/settings.h"
#include "util/signal_flags.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::DictImage;
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
void put_field(std::string* out, uint64_t field, uint64_t v) {
  put_varint(out, field << 3);
  put_varint(out, v);
}
void put_text(std::string* out, uint64_t field, const std::string& text) {
  put_varint(out, field << 3 | 2);
  put_varint(out, text.size());
  out->append(text);
}

std::string body_of(const WireRequest& r) {
  std::string b;
  put_field(&b, 1, static_cast<uint64_t>(r.action));  // a negative enum goes as its 64-bit extension
  if (r.key) put_text(&b, 2, *r.key);
  if (r.ktype) put_field(&b, 3, static_cast<uint64_t>(*r.ktype));
  if (r.value) put_text(&b, 4, *r.value);
  if (r.expires) put_field(&b, 5, *r.expires);
  for (int i = 0; i < r.unknown_fields; ++i) put_field(&b, 16 + i % 50, i);
  return b;
}

std::string frame(const std::string& body) { return std::string{char(body.size() >> 8), char(body.size() & 0xff)} + body; }

std::string cut_at_nul(const std::string& s) { return s.substr(0, s.find('\0')); }

// What one batch should do: the answer's count, whether INFO or HASH ran and the outcome lines it logs.
struct Expected {
  std::vector<bool> counted;  // one per counted request: whether it affected an entry
  bool info = false, hash = false;
  std::vector<std::string> lines;
};

// The lines that name a request's outcome ("[LEVEL]: message"); other layers log at INFO too. A purge
// names its nodes in the tree's order, so each run of purge lines is sorted.
std::vector<std::string> outcome_lines(const std::vector<std::string>& lines) {
  static const std::regex outcome(
      R"(\[INFO\]: (.*(successfully|is missing|was not deleted but it is OK|Forcibly purging).*|(Dumped|Loaded) .*))"
      R"(|\[ERROR\]: (Unknown action|Could not process message).*)"
      R"(|\[WARN\]: (Forcibly removing|Could not forcibly|Refused the path|Could not write answer).*)");
  std::vector<std::string> out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out), [](auto& l) { return std::regex_match(l, outcome); });
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
    if (pick < 62) return change(e, pick < 42 ? 2 : 3);
    if (pick < 82) return del_of(e, uniform(0, 3) == 0);
    if (pick < 94) return simple(e, pick < 86 ? 5 : pick < 89 ? 6 : pick < 90 ? 7 : pick < 92 ? 9 : 8);
    const int64_t action = std::array<int64_t, 4>{0, 10, -1, 1000}[uniform(0, 3)];
    e->lines.push_back("[ERROR]: Unknown action :" + std::to_string(action));
    return WireRequest{action, string_key(), {}, {}, {}, uniform(0, 3)};
  }

  // A string DEL met by a dead writer's lock: broken once per batch, then the request runs; a second
  // time the request is given up.
  WireRequest against_stuck_lock(Expected* e, bool* forced) {
    e->lines.push_back(*forced ? "[WARN]: Could not forcibly remove a lock. Gave up."
                               : "[WARN]: Forcibly removing all locks and repeating");
    if (std::exchange(*forced, true)) return WireRequest{4, string_key()};
    return del_of(e, false);
  }

  const DictImage& model() const { return model_; }
  int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

 private:
  std::string string_key() { return "k" + std::to_string(uniform(0, 29)); }
  std::string address_key() { return "10.0." + std::to_string(uniform(0, 9)) + ".0/24"; }
  // Lengths across several chunk classes, so that a SET sometimes fits the old chunk and sometimes not.
  std::string value() {
    std::string v(static_cast<size_t>(std::array{0, 3, 7, 12, 30, 60, 100, 200, 400}[uniform(0, 8)] + uniform(0, 5)), 'a');
    for (char& c : v) c = static_cast<char>('a' + uniform(0, 25));
    if (!v.empty() && uniform(0, 9) == 0) v[static_cast<size_t>(uniform(0, static_cast<int>(v.size()) - 1))] = '\0';
    return v;
  }
  // A string key's kind on the wire: absent, STRING or a number that names no kind.
  std::optional<int> string_ktype() { return std::array<std::optional<int>, 3>{std::nullopt, 7, 1}[uniform(0, 2)]; }
  static void line(Expected* e, bool address, const std::string& key, const std::string& outcome) {
    e->lines.push_back(std::string("[INFO]: ") + (address ? "Address " : "Key ") + key + outcome);
  }
  void purge(Expected* e) {  // in key order, which these keys keep when quoted
    for (const auto& kv : model_) e->lines.push_back("[INFO]: Forcibly purging node '" + kv.first + "'");
    model_.clear();
  }

  WireRequest get(Expected* e) {
    const int kind = uniform(0, 9);
    if (kind == 2) return WireRequest{1, "10.0.0.300", kIpaddr};  // not an address: not counted
    // An address inside a stored /24 or not, or a key text (an address entry is found by its text too).
    const bool address = kind < 2;
    const std::string net = address_key();
    std::string key = address     ? net.substr(0, net.size() - 4) + std::to_string(uniform(0, 255))
                      : kind == 3 ? net
                                  : string_key();
    const bool hit = address ? model_.count(net) != 0 && model_.at(net).is_address : model_.count(key) != 0;
    e->counted.push_back(hit);
    line(e, address, key, hit ? " successfully found" : " is missing");
    if (kind == 4) key += std::string(1, '\0') + "tail";  // the key ends at the zero byte
    return WireRequest{1, key, address ? std::optional<int>(kIpaddr) : string_ktype()};
  }

  // ADD (2) or SET (3) of a string or an address key.
  WireRequest change(Expected* e, int action) {
    const bool address = uniform(0, 3) == 0;
    WireRequest r{action, address ? address_key() : string_key(), address ? std::optional<int>(kIpaddr) : string_ktype()};
    if (uniform(0, 9) != 0) r.value = value();
    r.expires = std::array<std::optional<uint32_t>, 3>{std::nullopt, 0u, 4000000000u + uniform(0, 1000)}[uniform(0, 2)];
    if (uniform(0, 19) == 0) r.unknown_fields = uniform(100, 250);  // more than the arena's inline block
    if (uniform(0, 29) == 0) {  // a body of exactly the longest length a frame may have
      r.value = std::string(2000, 'L');
      r.value->resize(2000 + FrameReader::kMaxBody - body_of(r).size(), 'L');
    }
    const std::string key = cut_at_nul(*r.key);
    const bool present = model_.count(key) != 0;
    e->counted.push_back(action == 3 || !present);
    if (action == 2 && present) return r;
    model_[key] = {cut_at_nul(r.value.value_or("")), r.expires.value_or(0), address};
    line(e, address, key, present ? " successfully updated" : " successfully added");
    return r;
  }

  WireRequest del_of(Expected* e, bool address) {
    const std::string key = address ? address_key() : string_key();
    const bool hit = model_.erase(key) != 0;
    e->counted.push_back(hit);
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
    e->info |= action == 5;
    e->hash |= action == 6;
    const bool loads = action == 8 && files_.count(path) != 0;  // a missing or unparsable file fails, uncounted
    if (action == 7 || loads) purge(e);
    if (loads) model_ = files_[path];
    if (action == 9) files_[path] = model_;
    const std::string size = std::to_string(model_.size());
    if (loads) e->lines.push_back("[INFO]: Loaded " + size + " entries from " + path);
    if (action == 9) e->lines.push_back("[INFO]: Dumped " + size + " entries to " + path);
    if (action != 8 || loads) e->counted.push_back(action >= 7);
    return r;
  }

  std::mt19937 rng_;
  std::string dir_;
  DictImage model_;
  std::map<std::string, DictImage> files_;  // what each dumped file holds
};

// Serves `stream` with handle_request over a socket pair whose client ends its sending direction, or
// (`leave`) closes its end, once all is written; what the client received.
std::string serve_over_socket(SlabPool* pool, const std::string& stream, bool leave) {
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::thread client([&] {
    shm_writen(sv[1], stream.data(), stream.size());  // fails once the server stopped reading early
    leave ? close(sv[1]) : shutdown(sv[1], SHUT_WR);
  });
  signal_flags.got_pipe = 0;
  handle_request(sv[0], pool);
  client.join();
  if (fcntl(sv[0], F_GETFD) != -1) {
    ADD_FAILURE() << "the connection is closed on every path";
    close(sv[0]);  // so that the read below ends
  }
  std::string answer;
  char buf[4096];
  for (ssize_t n; !leave && (n = read(sv[1], buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
  if (!leave) close(sv[1]);
  return answer;
}

TEST(DispatcherBatchModelTest, RandomBatchesAgreeWithAReferenceMap) {
  const uint32_t seed = testing::test_seed(20261207u);
  SCOPED_TRACE(testing::seed_trace(seed));
  testing::EntryStore store(16 << 20);
  testing::ScratchDir scratch;
  const std::string dir = scratch.path();
  std::string data_path = dir + "/data.yaml";
  testing::write_file(dir + "/broken.yaml", "---\nx:\n  value: 1\n  expires: 0\n  is_address: false\n\"unterminated: [\n");
  const Settings saved = settings;
  settings.data_path = data_path.data();
  ASSERT_EQ(init_signals(), 0);  // the daemon's dispositions: a write to a closed socket sets got_pipe

  testing::LogCapture log;
  BatchModel gen(seed, dir);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("batch " + std::to_string(round));
    Expected expected;
    std::string stream;
    // One batch meets a dead writer's lock at two of its requests and again at the answer.
    const bool stuck_batch = round == 5, over_socket = round % 4 == 0;
    const int size = stuck_batch ? gen.uniform(60, 120) : gen.uniform(0, 9) == 0 ? gen.uniform(0, 3) : gen.uniform(1, 120);
    const int undecodable_at = !stuck_batch && gen.uniform(0, 9) == 0 ? gen.uniform(0, size) : -1;
    const int stuck1 = stuck_batch ? gen.uniform(0, size / 2 - 1) : -1, stuck2 = stuck_batch ? gen.uniform(size / 2, size - 1) : -1;
    bool forced = false, stopped = false;
    for (int i = 0; i < size; ++i) {
      if (gen.uniform(0, 19) == 0) stream += {static_cast<char>(gen.uniform(9, 255)), static_cast<char>(gen.uniform(0, 255))};
      if (i == stuck1 || i == stuck2) {
        stream += frame(body_of(gen.against_stuck_lock(&expected, &forced)));
      } else if (i == undecodable_at) {
        // A truncated varint (or an empty body, which lacks the required action): the batch ends here.
        stream += frame(gen.uniform(0, 1) ? std::string("\x08\x80", 2) : std::string());
        expected.lines.push_back("[ERROR]: Could not process message. Skipped");
        stopped = true;
        break;
      } else {
        stream += frame(body_of(gen.next(&expected)));
      }
    }
    const std::string never_run = frame(body_of(WireRequest{2, "never-run", 1, "v"}));
    if (stopped) stream += never_run;
    else if (gen.uniform(0, 4) == 0) stream += never_run.substr(0, gen.uniform(1, static_cast<int>(never_run.size()) - 1));
    const bool leave = over_socket && !stopped && gen.uniform(0, 4) == 0;
    if (leave) expected.lines.push_back("[WARN]: Could not write answer: socket closed");

    std::string answer_bytes;
    if (over_socket) {
      answer_bytes = serve_over_socket(store.pool(), stream, leave);
    } else {
      RequestBatch batch(store.pool(), PeerIdentity{getpid(), geteuid(), getegid()});
      FrameReader reader;
      int body_index = 0;
      auto run = [&](std::span<const uint8_t> body) {
        if (const int i = body_index++; i == stuck1 || i == stuck2) store.pool()->lock = kLockWriter;
        const bool more = batch.run_body(body);
        store.pool()->lock = 0;  // a request given up leaves the dead writer's word
        return more;
      };
      const int most = round % 4 == 1 ? 2 : 3000;  // byte by byte (every header split), or random pieces
      for (size_t at = 0, piece; at < stream.size(); at += piece) {
        piece = std::min(stream.size() - at, static_cast<size_t>(gen.uniform(1, most)));
        reader.feed({reinterpret_cast<const uint8_t*>(stream.data()) + at, piece}, run);
      }
      if (stuck_batch) {
        store.pool()->lock = kLockWriter;  // INFO or HASH breaks it to answer
        if (expected.info || expected.hash) expected.lines.push_back("[WARN]: Forcibly removing all locks and repeating");
      }
      const std::vector<uint8_t> packed = batch.answer_frame();
      store.pool()->lock = 0;
      answer_bytes.assign(packed.begin(), packed.end());
    }
    ASSERT_EQ(outcome_lines(log.take()), expected.lines);
    if (!leave) {
      Result<Answer> answer = decode_answer_stream(answer_bytes);
      ASSERT_TRUE(answer.ok()) << answer.error();
      const Answer& a = answer.value();
      const auto affected = static_cast<uint64_t>(std::ranges::count(expected.counted, true));
      ASSERT_EQ(a.success, !expected.counted.empty());
      ASSERT_EQ(a.affected(), expected.counted.empty() ? std::nullopt : std::optional(affected));
      StatRecord st{};
      char digest[41] = {};
      ASSERT_EQ(get_stat(store.pool(), &st) + rbtree_get_hashsum(store.pool(), digest), 0);
      const InfoFigures figures{st.pages_total, st.pages_free, st.bytes_total, st.bytes_alloc, st.bytes_used};
      ASSERT_EQ(a.info, expected.info ? std::optional(figures) : std::nullopt);  // the figures after the batch
      ASSERT_EQ(a.hashsum, expected.hash ? std::optional<std::string>(digest) : std::nullopt);
    }
    ASSERT_EQ(testing::entry_store_check(store.pool()), "");
    ASSERT_EQ(store.image(), gen.model());
  }
  settings = saved;
  EXPECT_NE(access((dir + "_outside.yaml").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace quillmap
