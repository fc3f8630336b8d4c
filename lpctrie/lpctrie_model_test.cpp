// Seeded model tests: random inserts and deletes of prefixes with lengths skewed like real tables,
// compared with a brute-force longest-prefix model and with the invariants checked after every step.
// Deleting everything must give the allocator back exactly what the trie took.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <tuple>
#include <vector>

#include "lpctrie/testing/trie_fixture.h"
#include "util/testing/seed.h"

namespace quillmap {
namespace {

using testing::prefix_mask;
using testing::random_key;

// A prefix length as real tables have them: (percent of draws, shortest, count of lengths) rows.
template <class Traits>
unsigned random_length(std::mt19937_64& rng) {
  static constexpr unsigned kV4[][3] = {{50, 24, 1}, {12, 22, 2}, {18, 16, 6}, {10, 25, 8}, {7, 8, 8}, {3, 0, 8}};
  static constexpr unsigned kV6[][3] = {{50, 32, 17}, {15, 49, 16}, {7, 128, 1},
                                        {10, 65, 63}, {14, 16, 16}, {4, 0, 16}};
  unsigned r = rng() % 100;
  for (const auto& row : Traits::kKeyLength == 32 ? kV4 : kV6) {
    if (r < row[0]) return row[1] + rng() % row[2];
    r -= row[0];
  }
  return 0;
}

template <class Traits>
class TrieModelTest : public testing::TrieFixture<Traits, (64 << 20)> {
 protected:
  using Key = typename Traits::Key;
  static constexpr unsigned K = Traits::kKeyLength;

  // A key at the edges: each 32-bit word (64-bit half) 0, 1, 2, all ones, its top bit alone or all
  // ones but the last bit, so that keys differ in the first or last bit or in one half only.
  static Key edge_key(std::mt19937_64& rng) {
    auto word = [&rng](uint64_t ones) { return std::array<uint64_t, 6>{0, 1, 2, ones, ones ^ (ones >> 1), ones - 1}[rng() % 6]; };
    if constexpr (K == 32) {
      return static_cast<Key>(word(0xFFFFFFFFu));
    } else {
      return Traits::make(word(~uint64_t{0}), word(~uint64_t{0}));
    }
  }

  // A random address: 7 in 8 fall into one of 16 regions (upper 12 bits shared), so that nodes grow
  // wide and deep; one in 64 lies at the edges.
  Key address(std::mt19937_64& rng) {
    if (rng() % 64 == 0) return edge_key(rng);
    if (regions_.empty())
      for (int i = 0; i < 16; ++i) regions_.push_back(random_key<Traits>(rng) & prefix_mask<Traits>(12));
    Key noise = random_key<Traits>(rng);
    if (rng() % 8 == 0) return noise;
    return regions_[rng() % regions_.size()] | (noise & ~prefix_mask<Traits>(12));
  }

  // One random change: insert (new, a longer prefix of a stored network, a value replacement, or now
  // and then the default route or a host at the edges) or delete (stored, or in one case of ten a
  // random prefix that is probably not), then lookups. One change in four passes host bits below the
  // prefix length, which the trie ignores.
  void random_step(std::mt19937_64& rng, unsigned insert_percent) {
    auto& model = this->model_;
    Key key;
    unsigned len;
    unsigned kind = rng() % 100;
    bool inserting = model.size() == 0 || rng() % 100 < insert_percent;
    if (model.size() > 0 && (inserting ? kind < 40 : kind >= 10)) {
      std::tie(key, len) = model.keys()[rng() % model.size()];
      if (inserting && kind >= 15 && len < K) len += 1 + rng() % (K - len);
    } else if (rng() % 32 == 0) {
      len = std::array{0u, K / 2, K - 1, K, K}[rng() % 5];
      key = edge_key(rng) & prefix_mask<Traits>(len);
    } else {
      len = random_length<Traits>(rng);
      key = address(rng) & prefix_mask<Traits>(len);
    }
    const Key host = rng() % 4 == 0 ? random_key<Traits>(rng) & ~prefix_mask<Traits>(len) : 0;
    if (inserting) {
      ASSERT_EQ(this->insert(key | host, len, next_value_), kDone);
      model.put(key, len, next_value_++);
    } else {
      ASSERT_EQ(this->remove(key | host, len), model.contains(key, len) ? kDone : kNothingToDo);
      model.erase(key, len);
    }
    ASSERT_NO_FATAL_FAILURE(this->expect_lookup(key));
    for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(this->expect_lookup(address(rng)));
    if (model.size() == 0) return;
    std::tie(key, len) = model.keys()[rng() % model.size()];
    ASSERT_NO_FATAL_FAILURE(this->expect_lookup(testing::prefix_last<Traits>(key, len)));
  }

  std::vector<Key> regions_;
  uint64_t next_value_ = 1;
};

TYPED_TEST_SUITE(TrieModelTest, testing::TrieWidths);

// Around a thousand prefixes that grow, churn and shrink, verified after every step (two seeds); then
// a large table, only loaded, so that nodes grow wide and deep. Each run ends emptied in random order.
TYPED_TEST(TrieModelTest, RandomChangesMatchTheModel) {
  const uint32_t first = testing::test_seed(1);
  const struct {
    uint32_t seed;
    int steps;
    bool churn;
  } runs[] = {{first, 12000, true}, {first + 1, 12000, true}, {first + 2, 30000, false}};
  for (const auto& run : runs) {
    SCOPED_TRACE(testing::seed_trace(run.seed));
    std::mt19937_64 rng(run.seed);
    this->regions_.clear();
    for (int step = 0; step < run.steps; ++step) {
      unsigned insert_percent = !run.churn ? 100 : step < run.steps / 3 ? 80 : step < 2 * run.steps / 3 ? 50 : 30;
      ASSERT_NO_FATAL_FAILURE(this->random_step(rng, insert_percent)) << "step " << step;
      ASSERT_EQ(run.churn ? this->verify() : "", "") << "step " << step;
      if (step % (run.churn ? 1000 : 5000) == 0) {
        ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "step " << step;
      }
    }
    ASSERT_NO_FATAL_FAILURE(this->expect_model());
    ASSERT_NO_FATAL_FAILURE(this->delete_everything(rng));
  }
}

}  // namespace
}  // namespace quillmap
