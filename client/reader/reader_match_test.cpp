// Longest-prefix matches through the reader agree with a brute-force scan of the stored prefixes,
// for IPv4 and IPv6, as text (with or without a length, which clears host bits) and as binary addresses,
// before and after deleting half of them; keys of full length are stored with or without "/len".
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "client/reader/quillmap_reader.hpp"
#include "client/reader/testing/keyed_store.h"
#include "entry/ipaddr_ops.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::KeyedStore;

template <size_t N>
struct Prefix {
  std::array<uint8_t, N> addr;  // network order, host bits clear
  unsigned len;
  bool operator<(const Prefix& o) const { return len != o.len ? len < o.len : addr < o.addr; }
};

template <size_t N>
bool covers(const Prefix<N>& p, const std::array<uint8_t, N>& a) {
  for (unsigned bit = 0; bit < p.len; ++bit) {
    const uint8_t m = static_cast<uint8_t>(0x80 >> (bit % 8));
    if ((p.addr[bit / 8] & m) != (a[bit / 8] & m)) return false;
  }
  return true;
}

template <size_t N>
std::string text_of(const std::array<uint8_t, N>& a) {
  char buf[INET6_ADDRSTRLEN];
  inet_ntop(N == 4 ? AF_INET : AF_INET6, a.data(), buf, sizeof buf);
  return buf;
}

template <size_t N>
class MatchModel {
 public:
  explicit MatchModel(unsigned seed) : rng_(seed) {}

  std::array<uint8_t, N> random_address() {
    std::array<uint8_t, N> a;
    for (auto& b : a) b = static_cast<uint8_t>(rng_());
    return a;
  }

  // Adds a random prefix whose key text may carry host bits (the stored prefix has them cleared).
  void add_random(KeyedStore& store) {
    Prefix<N> p{random_address(), static_cast<unsigned>(rng_() % 4 == 0 ? rng_() % (N * 8 + 1)
                                                                          : N * 8 / 2 + rng_() % (N * 8 / 2 + 1))};
    const std::string key = text_of(p.addr) + (p.len == N * 8 && rng_() % 2 ? "" : "/" + std::to_string(p.len));
    for (unsigned bit = p.len; bit < N * 8; ++bit) p.addr[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    if (text_of(p.addr) == "255.255.255.255" || prefixes_.count(p) != 0) return;
    const std::string value = "value of " + key;
    ASSERT_EQ(add_ipaddr(store.pool(), key.data(), key.size(), value.data(), value.size(), p.len), kDone) << key;
    prefixes_[p] = key;
  }

  void delete_half(KeyedStore& store) {
    for (auto it = prefixes_.begin(); it != prefixes_.end();) {
      if (rng_() % 2 == 0) {
        ++it;
        continue;
      }
      ASSERT_EQ(delete_ipaddr(store.pool(), it->second.data(), it->second.size()), kDone);
      it = prefixes_.erase(it);
    }
  }

  // An address near a stored prefix (its host bits random) or anywhere.
  std::array<uint8_t, N> probe() {
    std::array<uint8_t, N> a = random_address();
    if (prefixes_.empty() || rng_() % 4 == 0) return a;
    auto it = prefixes_.begin();
    std::advance(it, rng_() % prefixes_.size());
    const Prefix<N>& p = it->first;
    for (unsigned bit = 0; bit < p.len; ++bit) {
      const uint8_t m = static_cast<uint8_t>(0x80 >> (bit % 8));
      a[bit / 8] = static_cast<uint8_t>((a[bit / 8] & ~m) | (p.addr[bit / 8] & m));
    }
    return a;
  }

  // The key text of the longest stored prefix covering `a`, or "" when none does.
  std::string brute_force(const std::array<uint8_t, N>& a) const {
    const std::string* best = nullptr;
    unsigned best_len = 0;
    for (const auto& [p, key] : prefixes_) {
      if (covers(p, a) && (best == nullptr || p.len > best_len)) {
        best = &key;
        best_len = p.len;
      }
    }
    return best == nullptr ? "" : *best;
  }

  void check(Reader& reader, int probes) {
    std::string key, value;
    EntryInfo info;
    ReadGuard guard(reader);
    ASSERT_EQ(guard.status(), ReadStatus::kOk);
    int found = 0;
    for (int i = 0; i < probes; ++i) {
      std::array<uint8_t, N> a = probe();
      std::string text = text_of(a);
      if (i % 16 == 1) {  // a length in the text clears the host bits below it
        const unsigned len = rng_() % (N * 8 + 1);
        text += "/" + std::to_string(len);
        for (unsigned bit = len; bit < N * 8; ++bit) a[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
      }
      const std::string want = brute_force(a);
      EntryView e;
      ReadStatus s = guard.match(text, &e);
      if (want.empty()) {
        ASSERT_EQ(s, ReadStatus::kNotFound) << text;
      } else {
        ++found;
        ASSERT_EQ(s, ReadStatus::kOk) << text;
        ASSERT_EQ(e.key, want) << text;
        ASSERT_EQ(e.value, "value of " + want);
        ASSERT_TRUE(e.is_address);
      }
      if (i % 16 == 0) {  // the binary form and the one-shot call give the same answer
        EntryView b;
        ASSERT_EQ(guard.match_binary(a.data(), N, &b), s);
        if (s == ReadStatus::kOk) {
          ASSERT_EQ(b.key, want);
        }
      }
    }
    if (!prefixes_.empty()) {
      EXPECT_GT(found, probes / 2) << "probes mostly fall inside stored prefixes";
    }
    guard.release();
    const std::array<uint8_t, N> a = probe();
    const std::string want = brute_force(a);
    ASSERT_EQ(reader.match(text_of(a), &key, &value, &info), want.empty() ? ReadStatus::kNotFound : ReadStatus::kOk);
    if (!want.empty()) {
      ASSERT_EQ(key, want);
      ASSERT_EQ(reader.get(want, &value, &info), ReadStatus::kOk) << "an exact lookup of an address key";
      ASSERT_TRUE(info.is_address);
    }
    // A batch answers each address as the brute force does.
    std::vector<std::array<uint8_t, N>> batch(100);
    std::vector<std::string_view> addresses;
    for (auto& b : batch) {
      b = probe();
      addresses.emplace_back(reinterpret_cast<const char*>(b.data()), N);
    }
    std::vector<std::string> keys(batch.size()), values(batch.size());
    std::vector<ReadStatus> statuses(batch.size());
    ASSERT_EQ(reader.match_many(addresses.data(), addresses.size(), keys.data(), values.data(), statuses.data()),
              ReadStatus::kOk);
    for (size_t i = 0; i < batch.size(); ++i) {
      const std::string w = brute_force(batch[i]);
      ASSERT_EQ(statuses[i], w.empty() ? ReadStatus::kNotFound : ReadStatus::kOk) << text_of(batch[i]);
      if (!w.empty()) {
        ASSERT_EQ(keys[i], w);
        ASSERT_EQ(values[i], "value of " + w);
      }
    }
  }

 private:
  std::mt19937 rng_;
  std::map<Prefix<N>, std::string> prefixes_;
};

template <class T>
class ReaderMatchTest : public ::testing::Test {};
using Widths = ::testing::Types<std::integral_constant<size_t, 4>, std::integral_constant<size_t, 16>>;
TYPED_TEST_SUITE(ReaderMatchTest, Widths);

TYPED_TEST(ReaderMatchTest, AgreesWithBruteForce) {
  constexpr size_t N = TypeParam::value;
  const uint32_t seed = testing::test_seed(20261207);
  SCOPED_TRACE(testing::seed_trace(seed));
  KeyedStore store(16 << 20);
  Reader reader;
  ASSERT_EQ(Reader::open(store.data_path(), &reader), ReadStatus::kOk);
  MatchModel<N> model(seed);
  model.check(reader, 100);  // empty trie
  std::string key;
  EXPECT_EQ(reader.match(N == 4 ? "10.0.0.256" : "2001:db8::1::1", &key, nullptr), ReadStatus::kBadArgument);
  EXPECT_EQ(reader.match_binary("abc", 3, &key, nullptr), ReadStatus::kBadArgument);
  for (int i = 0; i < 1500; ++i) ASSERT_NO_FATAL_FAILURE(model.add_random(store));
  ASSERT_NO_FATAL_FAILURE(model.check(reader, 3000));
  ASSERT_NO_FATAL_FAILURE(model.delete_half(store));
  ASSERT_NO_FATAL_FAILURE(model.check(reader, 3000));
  // The plain walk (the index given up, as with index=0) answers alike.
  const uint64_t valid = store.index()->valid;
  EXPECT_EQ(valid & (kIndexPrefix4Valid | kIndexPrefix6Valid), kIndexPrefix4Valid | kIndexPrefix6Valid);
  store.index()->valid = 0;
  ASSERT_NO_FATAL_FAILURE(model.check(reader, 1000));
  store.index()->valid = valid;
}

}  // namespace
}  // namespace quillmap
