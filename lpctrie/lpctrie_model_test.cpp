// Seeded model tests: random inserts and deletes of prefixes with lengths skewed like real tables,
// compared with a brute-force longest-prefix model and with the invariants checked after every step.
// Deleting everything must give the allocator back exactly what the trie took.
#include <gtest/gtest.h>

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

  // A random address: 7 in 8 fall into one of 16 regions (upper 12 bits shared), so that nodes grow
  // wide and deep.
  Key address(std::mt19937_64& rng) {
    if (regions_.empty())
      for (int i = 0; i < 16; ++i) regions_.push_back(random_key<Traits>(rng) & prefix_mask<Traits>(12));
    Key noise = random_key<Traits>(rng);
    if (rng() % 8 == 0) return noise;
    return regions_[rng() % regions_.size()] | (noise & ~prefix_mask<Traits>(12));
  }

  // One random change: insert (new, a longer prefix of a stored network, or a value replacement) or
  // delete (stored, or in one case of ten a random prefix that is probably not), then lookups.
  void random_step(std::mt19937_64& rng, unsigned insert_percent) {
    auto& model = this->model_;
    Key key;
    unsigned len;
    unsigned kind = rng() % 100;
    bool inserting = model.size() == 0 || rng() % 100 < insert_percent;
    if (model.size() > 0 && (inserting ? kind < 40 : kind >= 10)) {
      std::tie(key, len) = model.keys()[rng() % model.size()];
      if (inserting && kind >= 15 && len < K) len += 1 + rng() % (K - len);
    } else {
      len = random_length<Traits>(rng);
      key = address(rng) & prefix_mask<Traits>(len);
    }
    if (inserting) {
      ASSERT_NO_FATAL_FAILURE(this->put(key, len, next_value_++));
    } else {
      ASSERT_NO_FATAL_FAILURE(this->erase(key, len));
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

// Around a thousand prefixes that grow, churn and shrink, verified after every step.
TYPED_TEST(TrieModelTest, RandomChangesMatchTheModel) {
  const uint32_t first = testing::test_seed(1);
  for (uint32_t seed : {first, first + 1}) {
    SCOPED_TRACE(testing::seed_trace(seed));
    std::mt19937_64 rng(seed);
    this->regions_.clear();
    const int kSteps = 12000;
    for (int step = 0; step < kSteps; ++step) {
      unsigned insert_percent = step < kSteps / 3 ? 80 : step < 2 * kSteps / 3 ? 50 : 30;
      ASSERT_NO_FATAL_FAILURE(this->random_step(rng, insert_percent)) << "step " << step;
      ASSERT_EQ(this->verify(), "") << "step " << step;
      if (step % 1000 == 0) {
        ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "step " << step;
      }
    }
    ASSERT_NO_FATAL_FAILURE(this->expect_model());
    ASSERT_NO_FATAL_FAILURE(this->delete_everything(rng));
  }
}

// A large table, so that nodes grow wide and deep: loaded, checked, emptied in random order.
TYPED_TEST(TrieModelTest, LargeTableLoadsAndEmpties) {
  const uint32_t seed = testing::test_seed(3);
  SCOPED_TRACE(testing::seed_trace(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 30000; ++i) {
    ASSERT_NO_FATAL_FAILURE(this->random_step(rng, 100)) << "insert " << i;
    if (i % 5000 == 0) {
      ASSERT_NO_FATAL_FAILURE(this->expect_model()) << "insert " << i;
    }
  }
  ASSERT_NO_FATAL_FAILURE(this->expect_model());
  ASSERT_NO_FATAL_FAILURE(this->delete_everything(rng));
}

}  // namespace
}  // namespace quillmap
